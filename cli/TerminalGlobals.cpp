// The terminal program's process-wide objects, linked into it alone (and into the tests that need
// no MIDI service at start-up). Unlike the window's (app/Globals.cpp), its port manager starts no
// MIDI service before main: the service starts when a command needs one, so --help and --check
// touch none.
#include "midi/MIDI.h"
#include "update/MIDIsysParser.h"

RtMidiIn *midiin = nullptr;
RtMidiOut *midiout = nullptr;

MIDI gMIDI(MIDI::StartLater);
MIDIsysParser gMIDIsysParser;
