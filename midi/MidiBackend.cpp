#include "midi/MidiBackend.h"

#include <RtMidi.h>

#ifdef CORVANE_HAVE_JACK
#include <jack/jack.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace
{

struct Probe {
    bool failed = false;
    std::string message;
};

void probeCallback(RtMidiError::Type type, const std::string &text, void *userData)
{
    auto *probe = static_cast<Probe *>(userData);
    // The JACK backend constructs fine without a server and only warns when asked for ports.
    if (type != RtMidiError::DEBUG_WARNING) {
        probe->failed = true;
        probe->message = text;
    }
}

template <class T> bool reachesService(T &midi, std::string *reason)
{
    Probe probe;
    midi.setErrorCallback(probeCallback, &probe);
    midi.getPortCount();
    midi.setErrorCallback(nullptr, nullptr);
    if (probe.failed && reason)
        *reason = probe.message;
    return !probe.failed;
}

// One plain sentence for a service that could not be reached, with the system's reason where
// there is one; each service once, however often it was tried.
void addReason(std::string *reasons, RtMidi::Api api, const std::string &why)
{
    if (!reasons)
        return;
    if (api == RtMidi::UNSPECIFIED) {
        // The library's default is the first API compiled in.
        std::vector<RtMidi::Api> compiled;
        RtMidi::getCompiledApi(compiled);
        if (!compiled.empty())
            api = compiled.front();
    }
    std::string sentence;
    if (api == RtMidi::LINUX_ALSA) {
        const int fd = ::open("/dev/snd/seq", O_RDWR | O_CLOEXEC | O_NONBLOCK);
        const int error = fd < 0 ? errno : 0;
        if (fd >= 0)
            ::close(fd);
        sentence = error ? std::string("The ALSA sequencer cannot be opened (/dev/snd/seq: ") +
                               std::strerror(error) + ")."
                         : "The ALSA sequencer refused a new client.";
    } else if (api == RtMidi::UNIX_JACK) {
        const char *server = std::getenv("JACK_DEFAULT_SERVER");
        sentence = server && *server
                       ? std::string("No JACK server named \"") + server + "\" is running."
                       : std::string("No JACK server is running.");
    } else {
        sentence = RtMidi::getApiDisplayName(api) + ": " + why;
    }
    if (reasons->find(sentence) != std::string::npos)
        return;
    if (!reasons->empty())
        *reasons += '\n';
    *reasons += sentence;
}

std::vector<RtMidi::Api> candidates(const std::string &apiName, RtMidi::Api preferred)
{
    std::vector<RtMidi::Api> order;
    if (!apiName.empty()) {
        order.push_back(RtMidi::getCompiledApiByName(apiName));
        return order;
    }
    // The output follows the input's service; otherwise the library's default comes first.
    order.push_back(preferred);
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    for (RtMidi::Api api : compiled)
        if (api != preferred)
            order.push_back(api);
    return order;
}

template <class T, class Make>
T *openFirst(const std::string &apiName, RtMidi::Api preferred, std::string *reason, Make make)
{
    if (!apiName.empty() && RtMidi::getCompiledApiByName(apiName) == RtMidi::UNSPECIFIED) {
        if (reason)
            *reason = "RtMidi has no API named \"" + apiName + "\"";
        return nullptr;
    }
    const std::vector<RtMidi::Api> order = candidates(apiName, preferred);
    std::string reasons;
    for (RtMidi::Api api : order) {
        try {
            std::unique_ptr<T> midi(make(api));
            std::string why;
            if (reachesService(*midi, &why))
                return midi.release();
            addReason(&reasons, midi->getCurrentApi(), why);
        } catch (const RtMidiError &e) {
            addReason(&reasons, api, e.getMessage());
        } catch (const std::exception &e) {
            addReason(&reasons, api, e.what());
        }
    }
    if (reason)
        *reason = reasons.empty() ? std::string("no MIDI API is compiled into RtMidi") : reasons;
    return nullptr;
}

} // namespace

namespace MidiBackend
{

RtMidiIn *openInput(const std::string &clientName, unsigned int queueLimit, std::string *reason,
                    const std::string &apiName)
{
    return openFirst<RtMidiIn>(apiName, RtMidi::UNSPECIFIED, reason, [&](RtMidi::Api api) {
        return new RtMidiIn(api, clientName, queueLimit);
    });
}

RtMidiOut *openOutput(const std::string &clientName, std::string *reason, const RtMidiIn *sameAs,
                      const std::string &apiName)
{
    const RtMidi::Api preferred =
        sameAs ? const_cast<RtMidiIn *>(sameAs)->getCurrentApi() : RtMidi::UNSPECIFIED;
    return openFirst<RtMidiOut>(apiName, preferred, reason,
                                [&](RtMidi::Api api) { return new RtMidiOut(api, clientName); });
}

void CloseOutput::operator()(RtMidiOut *out) const
{
    if (!out)
        return;
    if (out->getCurrentApi() == RtMidi::UNIX_JACK) {
        out->closePort();
        // A cycle takes microseconds; the client's JACK thread is realtime where JACK is.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    delete out;
}

void silenceJack()
{
#ifdef CORVANE_HAVE_JACK
    jack_set_error_function([](const char *) {});
    jack_set_info_function([](const char *) {});
#endif
}

void awaitJackLinks(const std::vector<std::string> &peers, const std::string &clientName,
                    int limitMs)
{
#ifdef CORVANE_HAVE_JACK
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    // A watcher of its own: RtMidi does not give its clients away. It has no ports and no process
    // callback, and lives for this wait only.
    jack_client_t *client = jack_client_open(clientName.c_str(), JackNoStartServer, nullptr);
    if (!client)
        return;
    const auto linked = [&](const std::string &peer) {
        jack_port_t *port = jack_port_by_name(client, peer.c_str());
        const char **names = port ? jack_port_get_all_connections(client, port) : nullptr;
        bool found = false;
        for (const char **name = names; name && *name && !found; ++name)
            found = std::string(*name).compare(0, clientName.size(), clientName) == 0;
        jack_free(names);
        return found;
    };
    bool listed = false;
    while (!(listed = std::all_of(peers.begin(), peers.end(), linked)) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Listed is not yet carrying: the link's buffers reach both clients a cycle or so later.
    const jack_nframes_t start = jack_frame_time(client);
    const jack_nframes_t cycles = 2 * jack_get_buffer_size(client);
    while (listed && jack_frame_time(client) - start < cycles && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    jack_client_close(client);
#else
    (void)peers;
    (void)clientName;
    (void)limitMs;
#endif
}

} // namespace MidiBackend
