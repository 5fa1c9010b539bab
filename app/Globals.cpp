// The process-wide objects, defined in one file so that their start-up order is fixed:
// the MIDI port manager, then the reply parser, then the resources.
#include "midi/MIDI.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"

#include <QtGlobal>

RtMidiIn *midiin = nullptr;
RtMidiOut *midiout = nullptr;
HandleSys *oHandleSys = nullptr;

MIDI gMIDI;
MIDIsysParser gMIDIsysParser;

static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

static void cleanupResources()
{
    Q_CLEANUP_RESOURCE(resources);
}

namespace
{
// Registered last, so its clean-up runs first at exit.
struct ResourceRegistration {
    ResourceRegistration() { initResources(); }
    ~ResourceRegistration() { cleanupResources(); }
} resourceRegistration;
} // namespace
