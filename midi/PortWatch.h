// Tells when MIDI ports come or go, as the MIDI service itself announces it: the ALSA sequencer's
// announce port, JACK's port registration callback. Waiting on its descriptor takes a new port
// within milliseconds, where listing the ports again and again would take a poll's period.
#pragma once

#include <QString>
#include <QStringList>

class PortWatch
{
public:
    // `service` as RtMidi names it ("ALSA", "Jack").
    explicit PortWatch(const QString &service);
    ~PortWatch();
    PortWatch(const PortWatch &) = delete;
    PortWatch &operator=(const PortWatch &) = delete;

    // Readable once a port has come or gone since the last Drain; -1 when the service tells
    // nothing (then the caller lists the ports now and then).
    int Fd() const { return fd; }
    // Takes what the service said, so the descriptor waits for the next change.
    void Drain();
    // The ports that went since the last call, even when one of the same name has come since (an
    // instrument plugged in again): under JACK by name, under ALSA as " client:port", the end of
    // the name RtMidi gives it.
    QStringList Gone();

    struct Service;

private:
    Service *service = nullptr;
    int fd = -1;
};
