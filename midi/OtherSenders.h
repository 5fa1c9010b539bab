// The other programs whose MIDI reaches the instrument's input port: the connections to it under
// JACK (and PipeWire's JACK), the write subscriptions to it under the ALSA sequencer, which is how
// DAWs, aconnect, PipeWire's bridge and patchbays route MIDI. Their messages would mix with the
// update, and the instrument's answers to them would count as acknowledgements. A program that
// writes to a raw MIDI device itself, or sends to a port without subscribing, is not seen.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class OtherSenders
{
public:
    // `service` as RtMidi names it ("ALSA", "Jack"); `port` the instrument's input port as the
    // service lists it (the port the update goes to).
    OtherSenders(const QString &service, const QString &port);
    ~OtherSenders();
    OtherSenders(const OtherSenders &) = delete;
    OtherSenders &operator=(const OtherSenders &) = delete;

    // The other senders' ports, by name, this process's own left out; none when they cannot be
    // listed.
    QStringList List();
    // Disconnects every other sender connected now, to connect it again on Restore; returns the
    // ones it disconnected, and adds "name (reason)" to *failures for those it could not.
    QStringList Disconnect(QStringList *failures);
    // Connects again every sender that Disconnect took away; "name (reason)" for each that could
    // not be. With `cannot`, the service is not asked, and that is the reason.
    QStringList Restore(const QString &cannot = QString());

    // One connection to the instrument's input, as the service describes it.
    struct Link {
        QString name; // the sender's port as the service lists it
        int client = -1, port = -1, queue = 0;
        bool exclusive = false, timeUpdate = false, timeReal = false;
    };
    // The service's side: JACK or the ALSA sequencer.
    class Service;

private:
    std::unique_ptr<Service> service;
    std::vector<Link> taken;
};
