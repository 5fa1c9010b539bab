#include "midi/OtherSenders.h"

#include "midi/MIDI.h"

#include <QRegularExpression>

#ifdef CORVANE_HAVE_JACK
#include <jack/jack.h>
#endif
#ifdef CORVANE_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <cerrno>
#include <cstring>

#include <unistd.h>

class OtherSenders::Service
{
public:
    virtual ~Service() = default;
    // The links into the instrument's input, this process's own left out.
    virtual std::vector<Link> links() = 0;
    // Empty when done, else why not.
    virtual QString disconnect(const Link &link) = 0;
    virtual QString connect(const Link &link) = 0;
};

namespace
{

#ifdef CORVANE_HAVE_JACK
// A client of its own, without ports: RtMidi does not give its clients away.
class JackService : public OtherSenders::Service
{
public:
    explicit JackService(const QString &port) : instrument(port.toUtf8())
    {
        client = jack_client_open("Corvane Uploader", JackNoStartServer, nullptr);
    }
    ~JackService() override
    {
        if (client)
            jack_client_close(client);
    }

    std::vector<OtherSenders::Link> links() override
    {
        std::vector<OtherSenders::Link> found;
        jack_port_t *port = client ? jack_port_by_name(client, instrument.constData()) : nullptr;
        const char **names = port ? jack_port_get_all_connections(client, port) : nullptr;
        for (const char **name = names; name && *name; ++name) {
            const QString sender = QString::fromUtf8(*name);
            // This program's own output, and any Corvane updater's, which the port lock keeps out.
            if (!MIDI::OwnPort(sender))
                found.push_back({sender});
        }
        jack_free(names);
        return found;
    }
    QString disconnect(const OtherSenders::Link &link) override
    {
        const QByteArray sender = link.name.toUtf8();
        return said(client ? jack_disconnect(client, sender.constData(), instrument.constData())
                           : -1,
                    sender);
    }
    QString connect(const OtherSenders::Link &link) override
    {
        const QByteArray sender = link.name.toUtf8();
        const int result =
            client ? jack_connect(client, sender.constData(), instrument.constData()) : -1;
        return result == EEXIST ? QString() : said(result, sender);
    }

private:
    QString said(int result, const QByteArray &sender)
    {
        if (result == 0)
            return QString();
        if (!client)
            return QStringLiteral("no JACK server answers");
        if (!jack_port_by_name(client, instrument.constData()))
            return QStringLiteral("the instrument's port has gone");
        if (!jack_port_by_name(client, sender.constData()))
            return QStringLiteral("the sender's port has gone");
        return QStringLiteral("JACK refused it (error %1)").arg(result);
    }

    QByteArray instrument;
    jack_client_t *client = nullptr;
};
#endif

#ifdef CORVANE_HAVE_ALSA
// The sequencer's subscriptions: the instrument's input port is "client:port C:P" in RtMidi's
// list, and every program that subscribed its port to it writes there.
class AlsaService : public OtherSenders::Service
{
public:
    explicit AlsaService(const QString &port)
    {
        const QRegularExpressionMatch address =
            QRegularExpression(QStringLiteral(" ([0-9]+):([0-9]+)$")).match(port);
        if (!address.hasMatch() ||
            snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            seq = nullptr;
            return;
        }
        snd_seq_set_client_name(seq, "Corvane Uploader");
        dest.client = static_cast<unsigned char>(address.captured(1).toInt());
        dest.port = static_cast<unsigned char>(address.captured(2).toInt());
    }
    ~AlsaService() override
    {
        if (seq)
            snd_seq_close(seq);
    }

    std::vector<OtherSenders::Link> links() override
    {
        std::vector<OtherSenders::Link> found;
        if (!seq)
            return found;
        snd_seq_query_subscribe_t *query;
        snd_seq_query_subscribe_alloca(&query);
        snd_seq_query_subscribe_set_root(query, &dest);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
        for (int i = 0;; ++i) {
            snd_seq_query_subscribe_set_index(query, i);
            if (snd_seq_query_port_subscribers(seq, query) < 0)
                break;
            const snd_seq_addr_t *from = snd_seq_query_subscribe_get_addr(query);
            OtherSenders::Link link;
            link.client = from->client;
            link.port = from->port;
            link.queue = snd_seq_query_subscribe_get_queue(query);
            link.exclusive = snd_seq_query_subscribe_get_exclusive(query);
            link.timeUpdate = snd_seq_query_subscribe_get_time_update(query);
            link.timeReal = snd_seq_query_subscribe_get_time_real(query);
            if (describe(&link))
                found.push_back(link);
        }
        return found;
    }
    QString disconnect(const OtherSenders::Link &link) override
    {
        return said(seq ? snd_seq_unsubscribe_port(seq, subscription(link)) : -ENODEV);
    }
    QString connect(const OtherSenders::Link &link) override
    {
        const int result = seq ? snd_seq_subscribe_port(seq, subscription(link)) : -ENODEV;
        return result == -EBUSY ? QString() : said(result); // connected again meanwhile
    }

private:
    // Names the link as RtMidi lists ports; false for this process's own subscription.
    bool describe(OtherSenders::Link *link)
    {
        snd_seq_client_info_t *client;
        snd_seq_port_info_t *port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        if (snd_seq_get_any_client_info(seq, link->client, client) < 0 ||
            snd_seq_get_any_port_info(seq, link->client, link->port, port) < 0)
            return false; // it has just gone
        if (snd_seq_client_info_get_pid(client) == getpid())
            return false;
        link->name = QStringLiteral("%1:%2 %3:%4")
                         .arg(QString::fromUtf8(snd_seq_client_info_get_name(client)),
                              QString::fromUtf8(snd_seq_port_info_get_name(port)))
                         .arg(link->client)
                         .arg(link->port);
        return true;
    }
    snd_seq_port_subscribe_t *subscription(const OtherSenders::Link &link)
    {
        snd_seq_port_subscribe_malloc(&subscribe);
        snd_seq_addr_t from{static_cast<unsigned char>(link.client),
                            static_cast<unsigned char>(link.port)};
        snd_seq_port_subscribe_set_sender(subscribe, &from);
        snd_seq_port_subscribe_set_dest(subscribe, &dest);
        snd_seq_port_subscribe_set_queue(subscribe, link.queue);
        snd_seq_port_subscribe_set_exclusive(subscribe, link.exclusive);
        snd_seq_port_subscribe_set_time_update(subscribe, link.timeUpdate);
        snd_seq_port_subscribe_set_time_real(subscribe, link.timeReal);
        return subscribe;
    }
    QString said(int result)
    {
        snd_seq_port_subscribe_free(subscribe);
        subscribe = nullptr;
        if (result >= 0)
            return QString();
        if (result == -ENOENT || result == -ENXIO || result == -EINVAL)
            return QStringLiteral("a port has gone");
        return QString::fromLocal8Bit(snd_strerror(result));
    }

    snd_seq_t *seq = nullptr;
    snd_seq_addr_t dest{};
    snd_seq_port_subscribe_t *subscribe = nullptr;
};
#endif

} // namespace

OtherSenders::OtherSenders(const QString &serviceName, const QString &port)
{
#ifdef CORVANE_HAVE_JACK
    if (serviceName.compare(QLatin1String("jack"), Qt::CaseInsensitive) == 0)
        service = std::make_unique<JackService>(port);
#endif
#ifdef CORVANE_HAVE_ALSA
    if (serviceName.compare(QLatin1String("alsa"), Qt::CaseInsensitive) == 0)
        service = std::make_unique<AlsaService>(port);
#endif
    (void)serviceName;
    (void)port;
}

OtherSenders::~OtherSenders() = default;

QStringList OtherSenders::List()
{
    QStringList names;
    if (service)
        for (const Link &link : service->links())
            names << link.name;
    return names;
}

QStringList OtherSenders::Disconnect(QStringList *failures)
{
    QStringList done;
    if (!service)
        return done;
    for (const Link &link : service->links()) {
        const QString why = service->disconnect(link);
        if (why.isEmpty()) {
            taken.push_back(link);
            done << link.name;
        } else if (failures) {
            *failures << QStringLiteral("%1 (%2)").arg(link.name, why);
        }
    }
    return done;
}

QStringList OtherSenders::Restore(const QString &cannot)
{
    QStringList failures;
    for (const Link &link : taken) {
        const QString why = cannot.isEmpty() ? service->connect(link) : cannot;
        if (!why.isEmpty())
            failures << QStringLiteral("%1 (%2)").arg(link.name, why);
    }
    taken.clear();
    return failures;
}
