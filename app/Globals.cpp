// The window program's process-wide objects, defined in one file so that their start-up order is
// fixed: the MIDI port manager, which starts the MIDI service before main as the window expects,
// then the reply parser. They are linked into the window program itself (and into the tests and
// benchmarks that run the window's code), never from a library; the terminal program has its own
// (cli/TerminalGlobals.cpp). The window's resources are registered with the window
// (ui/MainWindow.cpp).
#include "midi/MIDI.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"

RtMidiIn *midiin = nullptr;
RtMidiOut *midiout = nullptr;

MIDI gMIDI;
MIDIsysParser gMIDIsysParser;
HandleSys *oHandleSys = nullptr;
