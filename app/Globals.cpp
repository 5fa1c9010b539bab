// The process-wide objects of both programs, defined in one file so that their start-up order is
// fixed: the MIDI port manager, then the reply parser. The window's resources are registered with
// the window (ui/MainWindow.cpp).
#include "midi/MIDI.h"
#include "update/MIDIsysParser.h"

RtMidiIn *midiin = nullptr;
RtMidiOut *midiout = nullptr;

MIDI gMIDI;
MIDIsysParser gMIDIsysParser;
