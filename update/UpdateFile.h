// What both programs accept as an update file, and how they read it: a regular file, opened once,
// no larger than MaxBytes, read whole, and made of complete MIDI System Exclusive messages only.
// A damaged file is refused before its first byte goes out: an instrument that receives two
// messages run together, or a byte it cannot take, drops them and may end half-flashed.
#pragma once

#include <QString>
#include <QtGlobal>

#include <ctime>
#include <functional>

class UpdateFile
{
public:
    // Far above any instrument's firmware (a few MB take minutes over MIDI already), and low
    // enough that a wrong file is refused before it is read into memory.
    static constexpr qint64 MaxBytes = qint64(256) * 1024 * 1024;

    enum class Problem {
        None,
        CannotOpen,   // SystemError says why
        NotRegular,   // a folder, a FIFO, a device or a socket: Kind names it
        TooLarge,     // more than MaxBytes
        CannotRead,   // a read failed: SystemError says why
        Changed,      // grew, shrank or was rewritten while it was read: still being written
        Interrupted,  // the caller's cancel test stopped the read
        Empty,        // no message at all
        OutsideByte,  // a byte between two messages, or a message that does not begin with F0
        DataByte,     // a byte of 80 or above between a message's F0 and its F7
        Unterminated, // the last message has no F7
    };

    UpdateFile() = default;
    ~UpdateFile();
    UpdateFile(const UpdateFile &) = delete;
    UpdateFile &operator=(const UpdateFile &) = delete;

    // Opens `path` for reading and takes its size. Only a regular file is opened at all: a FIFO
    // would block and a device may answer for ever. False with the problem set.
    bool Open(const QString &path);
    // The same for a name as the file system stores it (any bytes but 00).
    bool Open(const QByteArray &name);
    bool IsOpen() const { return fd >= 0; }
    // The size taken by Open; -1 when it failed.
    qint64 Size() const { return size; }
    // Reads the open file's first `len` bytes (at most Size()) into `buf` and closes it.
    // `cancelled`, when given, is asked before each piece, so a person can stop the read of a
    // large file. Reading Size() bytes reads the file whole, and refuses it when it changed since
    // the open: a download cut at a message's end would otherwise pass for complete.
    bool Read(unsigned char *buf, qint64 len, const std::function<bool()> &cancelled = {});
    // Cuts `len` bytes into messages and checks each; counts them and finds the longest (the
    // first of equally long ones). False with the first bad message and its offset set.
    bool Check(const unsigned char *buf, qint64 len);

    // The sentence that says what is wrong, with the file named as `shownName`; empty without a
    // problem.
    QString ProblemText(const QString &shownName) const;

    // 1234567 as "1,234,567".
    static QString Grouped(qint64 n);

    Problem Fault = Problem::None;
    QString SystemError;
    QString Kind;
    qint64 BadMessage = 0; // 1-based
    qint64 BadOffset = 0;  // of the bad byte, from the file's start
    qint64 MessageOffset = 0;
    unsigned char BadByte = 0;

    qint64 MessageCount = 0;
    qint64 LongestNumber = 0;
    qint64 LongestLength = 0;

private:
    bool fail(Problem problem);
    void close();
    // read(2) once, again after a signal; -1 with SystemError set when it fails.
    qint64 readSome(unsigned char *to, qint64 n);
    // After a whole read: no byte beyond Size(), and the size and time taken at the open.
    bool unchanged();

    int fd = -1;
    qint64 size = -1;
    std::timespec modified = {};
};
