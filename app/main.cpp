// Corvane Uploader: streams a firmware update file to a MIDI device.
#include "app/UpdaterFlow.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication a(argc, argv);
    RunUpdater();
    return 0;
}
