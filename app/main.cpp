// Corvane Uploader: streams a firmware update file to a MIDI device.
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication a(argc, argv);
    RunUpdater();
    // Leaves the MIDI service in order: a JACK server would otherwise find out only later that
    // this process has gone, and hold its other clients meanwhile.
    gMIDI.EndService();
    return 0;
}
