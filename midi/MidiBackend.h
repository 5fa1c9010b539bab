// Creates RtMidi objects without letting an exception escape: the default API first, then each
// compiled API in the library's order, keeping the first that really reaches a MIDI service.
#pragma once

#include <string>

class RtMidiIn;
class RtMidiOut;

namespace MidiBackend {

// apiName: "" for the library's default followed by the fallbacks, or "alsa"/"jack" to force one.
// On failure returns null and puts the library's reasons in *reason.
RtMidiIn *openInput(const std::string &clientName, unsigned int queueLimit, std::string *reason,
                    const std::string &apiName = std::string());
// Prefers the API of `sameAs` when given, so input and output talk to the same service.
RtMidiOut *openOutput(const std::string &clientName, std::string *reason, const RtMidiIn *sameAs,
                      const std::string &apiName = std::string());

} // namespace MidiBackend
