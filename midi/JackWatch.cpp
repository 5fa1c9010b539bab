#include "midi/JackWatch.h"

#ifdef CORVANE_HAVE_JACK
#include <jack/jack.h>
#endif

struct JackWatch::Client {
#ifdef CORVANE_HAVE_JACK
    jack_client_t *handle = nullptr;
#endif
};

#ifdef CORVANE_HAVE_JACK
namespace
{
// Called on libjack's own thread when the server goes: only the flag is touched there.
void onShutdown(jack_status_t, const char *, void *watch)
{
    static_cast<std::atomic<bool> *>(watch)->store(true, std::memory_order_release);
}
} // namespace
#endif

JackWatch::JackWatch(const std::string &clientName) : client(std::make_unique<Client>())
{
#ifdef CORVANE_HAVE_JACK
    client->handle = jack_client_open(clientName.c_str(), JackNoStartServer, nullptr);
    if (!client->handle)
        return;
    jack_on_info_shutdown(client->handle, onShutdown, &shutDown);
    // PipeWire tells its cycles only to an active client, jackd to every client: a client of
    // jackd stays out of the graph, where a synchronous server would wait for it in every cycle.
    if (jack_last_frame_time(client->handle) == 0)
        jack_activate(client->handle);
#else
    (void)clientName;
#endif
}

JackWatch::~JackWatch()
{
#ifdef CORVANE_HAVE_JACK
    if (client->handle)
        jack_client_close(client->handle);
#endif
}

QString JackWatch::Gone(qint64 nowMs)
{
#ifdef CORVANE_HAVE_JACK
    if (!client->handle)
        return QString();
    if (shutDown.load(std::memory_order_acquire))
        return QStringLiteral("The JACK server has shut down");
    const quint32 frame = jack_last_frame_time(client->handle);
    if (frame != lastFrame || sameSinceMs < 0) {
        lastFrame = frame;
        sameSinceMs = nowMs;
        return QString();
    }
    if (nowMs - sameSinceMs < StallMs)
        return QString();
    return QStringLiteral("The JACK server has run no cycle for %1 s: it has stopped, or a "
                          "program connected to it has stopped answering")
        .arg(double(nowMs - sameSinceMs) / 1000.0, 0, 'f', 1);
#else
    (void)nowMs;
    return QString();
#endif
}
