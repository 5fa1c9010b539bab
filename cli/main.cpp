// corvane-upload: sends a firmware update file to a MIDI instrument from a terminal or a script.
#include "cli/UploadCommand.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return UploadCommand().Run(QCoreApplication::arguments());
}
