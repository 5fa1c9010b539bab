// One writer per instrument: an exclusive lock on a MIDI output port, shared by every Corvane
// updater of this user. Two updates sent to one instrument at once would reach it as a mix of
// both files, while each sender saw its own acknowledgements and reported success.
#pragma once

#include <QString>

class PortLock
{
public:
    enum State {
        Held,        // this object holds the port
        Busy,        // another holder has it: holder() says who
        Unavailable, // no lock file could be used (error() says why): the update goes on unlocked
        Released     // held until release()
    };

    // Tries once, without waiting. `service` is the MIDI service as RtMidi names it ("ALSA",
    // "Jack"); `portName` the output port as the service lists it.
    PortLock(const QString &service, const QString &portName);
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    State state() const { return state_; }
    // Who holds the port when Busy, as the holder described itself, e.g. "corvane-upload
    // (process 1234)"; "another Corvane updater" when it has not said yet.
    QString holder() const { return holder_; }
    // Why no lock file could be used; when Held, why the holder could not be described in it.
    QString error() const { return error_; }
    // Lets the port go (the system does so too when the process ends, however it ends).
    void release();

    // The folder of the lock files, made when missing: $XDG_RUNTIME_DIR/corvane-uploader, else
    // /tmp/corvane-uploader-<uid>. Empty, with *error saying why, when neither can be used.
    static QString directory(QString *error = nullptr);

private:
    int fd_ = -1;
    State state_ = Unavailable;
    QString holder_;
    QString error_;
};
