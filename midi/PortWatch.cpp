#include "midi/PortWatch.h"

#include "midi/MIDI.h"

#ifdef CORVANE_HAVE_JACK
#include <jack/jack.h>
#endif
#ifdef CORVANE_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <cstdint>
#include <mutex>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

struct PortWatch::Service {
    virtual ~Service() = default;
    virtual void drain() = 0;
    std::mutex lock; // the JACK callbacks' thread adds, the caller takes
    QStringList gone;
};

namespace
{

#ifdef CORVANE_HAVE_JACK
void wakeUp(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

// JACK calls back on a thread of its own, and only an active client: it wakes the descriptor.
struct JackService : PortWatch::Service {
    jack_client_t *client = nullptr;
    int wake = -1;

    JackService()
    {
        wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        client = jack_client_open("Corvane Uploader", JackNoStartServer, nullptr);
        if (!client || wake < 0)
            return;
        jack_set_port_registration_callback(client, registered, this);
        jack_set_port_rename_callback(
            client,
            [](jack_port_id_t, const char *, const char *, void *watch) {
                wakeUp(static_cast<JackService *>(watch)->wake);
            },
            this);
        jack_activate(client);
    }
    ~JackService() override
    {
        if (client)
            jack_client_close(client);
        if (wake >= 0)
            close(wake);
    }
    void drain() override
    {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = read(wake, &count, sizeof count);
    }
    // The port is still named while its going is told. The updaters' own ports (each unit's)
    // change nothing worth a look.
    static void registered(jack_port_id_t id, int on, void *data)
    {
        auto *watch = static_cast<JackService *>(data);
        jack_port_t *port = jack_port_by_id(watch->client, id);
        const QString name = port ? QString::fromUtf8(jack_port_name(port)) : QString();
        if (MIDI::OwnPort(name))
            return;
        if (!on && port) {
            std::lock_guard<std::mutex> hold(watch->lock);
            watch->gone << name;
        }
        wakeUp(watch->wake);
    }
};
#endif

#ifdef CORVANE_HAVE_ALSA
// A port of its own, subscribed to the system's announce port: the sequencer sends it an event
// for every client and port that starts, changes or exits.
struct AlsaService : PortWatch::Service {
    snd_seq_t *seq = nullptr;
    int fd = -1;

    AlsaService()
    {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
            seq = nullptr;
            return;
        }
        snd_seq_set_client_name(seq, "Corvane Uploader");
        const int port = snd_seq_create_simple_port(
            seq, "Port watch", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
            SND_SEQ_PORT_TYPE_APPLICATION);
        pollfd descriptor{};
        if (port < 0 ||
            snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) <
                0 ||
            snd_seq_poll_descriptors(seq, &descriptor, 1, POLLIN) != 1)
            return;
        fd = descriptor.fd;
    }
    ~AlsaService() override
    {
        if (seq)
            snd_seq_close(seq);
    }
    void drain() override
    {
        snd_seq_event_t *event;
        while (seq && snd_seq_event_input(seq, &event) >= 0)
            if (event->type == SND_SEQ_EVENT_PORT_EXIT)
                gone << QStringLiteral(" %1:%2")
                            .arg(event->data.addr.client)
                            .arg(event->data.addr.port);
    }
};
#endif

} // namespace

PortWatch::PortWatch(const QString &serviceName)
{
#ifdef CORVANE_HAVE_JACK
    if (serviceName.compare(QLatin1String("jack"), Qt::CaseInsensitive) == 0) {
        auto *jack = new JackService;
        service = jack;
        if (jack->client)
            fd = jack->wake;
    }
#endif
#ifdef CORVANE_HAVE_ALSA
    if (serviceName.compare(QLatin1String("alsa"), Qt::CaseInsensitive) == 0) {
        auto *alsa = new AlsaService;
        service = alsa;
        fd = alsa->fd;
    }
#endif
    (void)serviceName;
}

PortWatch::~PortWatch()
{
    delete service;
}

void PortWatch::Drain()
{
    if (service)
        service->drain();
}

QStringList PortWatch::Gone()
{
    if (!service)
        return QStringList();
    std::lock_guard<std::mutex> hold(service->lock);
    QStringList gone;
    gone.swap(service->gone);
    return gone;
}
