// corvane-upload: sends a firmware update file to a MIDI instrument from a terminal or a script.
#include "cli/UploadCommand.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QByteArrayList native;
    for (int i = 0; i < argc; ++i)
        native << QByteArray(argv[i]);
    return UploadCommand().Run(QCoreApplication::arguments(), native);
}
