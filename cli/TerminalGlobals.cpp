// The terminal program's process-wide objects. Linked from this library, they stand in for the
// window's (app/Globals.cpp), whose port manager starts a MIDI service before main: here the
// service starts when a command needs one, so --help and --check touch none.
#include "midi/MIDI.h"
#include "update/MIDIsysParser.h"

RtMidiIn *midiin = nullptr;
RtMidiOut *midiout = nullptr;

MIDI gMIDI(MIDI::StartLater);
MIDIsysParser gMIDIsysParser;
