// Watches a JACK server while an update runs, for what RtMidi does not tell: that the server has
// gone. A killed server (jackd, or PipeWire's daemon) leaves its last list of ports in the shared
// memory that every client reads, so its ports seem to stay, and a synchronous server that waits
// for a killed client runs no cycle for seconds before it drops that client's ports.
#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <string>

class JackWatch
{
public:
    // A server that runs no cycle for this long is taken as stopped.
    static constexpr qint64 StallMs = 1500;

    // Opens a client of its own named `clientName` on the server that the library reaches; does
    // nothing where JACK is not built in or no server answers.
    explicit JackWatch(const std::string &clientName);
    ~JackWatch();
    JackWatch(const JackWatch &) = delete;
    JackWatch &operator=(const JackWatch &) = delete;

    // Why the server no longer serves, in a sentence without its full stop; empty while it runs.
    // `nowMs` is a steady clock's time: a stall counts from the first look that saw no new cycle.
    QString Gone(qint64 nowMs);

private:
    struct Client;
    std::unique_ptr<Client> client;
    std::atomic<bool> shutDown{false};
    quint32 lastFrame = 0;
    qint64 sameSinceMs = -1;
};
