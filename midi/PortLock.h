// One writer per instrument: an exclusive lock on a MIDI output port, seen by every Corvane updater
// of every user on this machine, whatever its environment. Two updates sent to one instrument at
// once would reach it as a mix of both files, while each sender saw its own acknowledgements and
// reported success.
#pragma once

#include <QString>

class PortLock
{
public:
    enum State {
        Held,        // this object holds the port
        Busy,        // another holder has it: holder() says who
        Unavailable, // the lock cannot be taken (error() says why): nobody can tell who else sends
        Released     // was held, and release() has let it go
    };

    // Where every lock file is: the system's lock folder, which every program of every user sees
    // and may create files in (sticky and world-writable).
    static const char *const Folder;

    // Tries once, without waiting. `service` is the MIDI service as RtMidi names it ("ALSA",
    // "Jack"); `portName` the output port as the service lists it.
    PortLock(const QString &service, const QString &portName);
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    State state() const { return state_; }
    // Who holds the port when Busy: its program, process and user, e.g. "corvane-upload (process
    // 1234, user alice)"; "another Corvane updater" when that cannot be found out.
    QString holder() const { return holder_; }
    // Why the lock cannot be taken when Unavailable.
    QString error() const { return error_; }
    // Lets the port go (the system does so too when the process ends, however it ends).
    void release();

    // The lock file of one port of one MIDI service.
    static QString Path(const QString &service, const QString &portName);

private:
    bool open(const QString &path);
    void describe();

    int fd_ = -1;
    bool writable_ = false;
    State state_ = Unavailable;
    QString holder_;
    QString error_;
};
