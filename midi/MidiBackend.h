// Creates RtMidi objects without letting an exception escape: the default API first, then each
// compiled API in the library's order, keeping the first that really reaches a MIDI service.
#pragma once

#include <memory>
#include <string>
#include <vector>

class RtMidiIn;
class RtMidiOut;

namespace MidiBackend
{

// apiName: "" for the library's default followed by the fallbacks, or "alsa"/"jack" to force one.
// On failure returns null and puts the library's reasons in *reason.
RtMidiIn *openInput(const std::string &clientName, unsigned int queueLimit, std::string *reason,
                    const std::string &apiName = std::string());
// Prefers the API of `sameAs` when given, so input and output talk to the same service.
RtMidiOut *openOutput(const std::string &clientName, std::string *reason, const RtMidiIn *sameAs,
                      const std::string &apiName = std::string());

// Deletes an output safely. RtMidi's JACK output frees its ring buffer while its process thread
// may still be in a cycle that began before the port closed, and reads it there (crashes seen on
// a loaded machine): the port is closed first, and the cycle given time to end.
struct CloseOutput {
    void operator()(RtMidiOut *out) const;
};
using OutputPtr = std::unique_ptr<RtMidiOut, CloseOutput>;

// Under JACK, waits until each of `peers` (full port names) is listed as connected to a port whose
// name begins with `clientName`, and the graph has then run two cycles: PipeWire's JACK finishes a
// link after jack_connect has returned, and MIDI written before the link carries data is lost
// without an error (an update's first message, sent at once). Gives up after `limitMs`, or at once
// when no JACK server answers. Under jackd the wait is the two cycles.
void awaitJackLinks(const std::vector<std::string> &peers, const std::string &clientName,
                    int limitMs);

// Stops libjack from printing its own lines on standard error (for a program that says in its
// own words what went wrong, as when a server is killed mid-update).
void silenceJack();

} // namespace MidiBackend
