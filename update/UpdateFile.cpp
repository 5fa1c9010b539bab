#include "update/UpdateFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr unsigned char SysExStart = 0xF0;
constexpr unsigned char SysExEnd = 0xF7;
// A large file is read in pieces, so a stop asked for meanwhile is seen soon.
constexpr qint64 ReadPiece = qint64(4) * 1024 * 1024;

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO (named pipe)");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("no regular file");
}

QString hexByte(unsigned char b)
{
    return QString::number(b, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

} // namespace

UpdateFile::~UpdateFile()
{
    close();
}

void UpdateFile::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool UpdateFile::fail(Problem problem)
{
    Fault = problem;
    close();
    return false;
}

bool UpdateFile::Open(const QString &path)
{
    // The name as the file system stores it, so a path beyond ASCII is found as well.
    return Open(QFile::encodeName(path));
}

bool UpdateFile::Open(const QByteArray &name)
{
    close();
    Fault = Problem::None;
    size = -1;
    struct stat info = {};
    if (name.isEmpty() || ::stat(name.constData(), &info) != 0) {
        SystemError = QString::fromLocal8Bit(std::strerror(name.isEmpty() ? ENOENT : errno));
        return fail(Problem::CannotOpen);
    }
    // Looked at before it is opened: opening a FIFO waits for a writer, and a device may be
    // somebody's instrument.
    if (!S_ISREG(info.st_mode)) {
        Kind = kindOf(info.st_mode);
        return fail(Problem::NotRegular);
    }
    fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        SystemError = QString::fromLocal8Bit(std::strerror(errno));
        return fail(Problem::CannotOpen);
    }
    // What was opened may have been put there after the look above.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        Kind = kindOf(info.st_mode);
        return fail(Problem::NotRegular);
    }
    size = qint64(info.st_size);
    modified = info.st_mtim;
    if (size > MaxBytes)
        return fail(Problem::TooLarge);
    return true;
}

bool UpdateFile::Read(unsigned char *buf, qint64 len, const std::function<bool()> &cancelled)
{
    if (fd < 0 || len < 0 || len > size)
        return false;
    qint64 got = 0;
    while (got < len) {
        if (cancelled && cancelled())
            return fail(Problem::Interrupted);
        const qint64 n = readSome(buf + got, std::min(len - got, ReadPiece));
        if (n < 0)
            return fail(Problem::CannotRead);
        if (n == 0) // cut short since its size was taken
            return fail(Problem::Changed);
        got += n;
    }
    if (len == size && !unchanged())
        return false;
    close();
    return true;
}

qint64 UpdateFile::readSome(unsigned char *to, qint64 n)
{
    ssize_t got;
    do
        got = ::read(fd, to, size_t(n));
    while (got < 0 && errno == EINTR);
    if (got < 0)
        SystemError = QString::fromLocal8Bit(std::strerror(errno));
    return qint64(got);
}

bool UpdateFile::unchanged()
{
    // A byte past the size is asked for even where the size grew: a network file system may
    // still report the old one.
    unsigned char more;
    const qint64 n = readSome(&more, 1);
    if (n < 0)
        return fail(Problem::CannotRead);
    // Files under /proc and /sys say they are empty and are made as they are read.
    if (n > 0 && size == 0) {
        Kind = QStringLiteral("a file that the system makes as it is read");
        return fail(Problem::NotRegular);
    }
    if (n > 0)
        return fail(Problem::Changed);
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        SystemError = QString::fromLocal8Bit(std::strerror(errno));
        return fail(Problem::CannotRead);
    }
    // Bytes rewritten in place keep the size but move the time.
    if (qint64(info.st_size) != size || info.st_mtim.tv_sec != modified.tv_sec ||
        info.st_mtim.tv_nsec != modified.tv_nsec)
        return fail(Problem::Changed);
    return true;
}

bool UpdateFile::Check(const unsigned char *buf, qint64 len)
{
    MessageCount = LongestNumber = LongestLength = 0;
    if (!buf || len <= 0)
        return fail(Problem::Empty);
    qint64 pos = 0;
    while (pos < len) {
        BadMessage = MessageCount + 1;
        MessageOffset = BadOffset = pos;
        BadByte = buf[pos];
        if (buf[pos] != SysExStart)
            return fail(Problem::OutsideByte);
        // Data bytes up to the F7: eight at a time where none has its top bit set.
        qint64 i = pos + 1;
        for (quint64 word; i + 8 <= len; i += 8) {
            std::memcpy(&word, buf + i, 8);
            if (word & 0x8080808080808080ULL)
                break;
        }
        while (i < len && buf[i] < 0x80)
            ++i;
        if (i == len)
            return fail(Problem::Unterminated);
        BadOffset = i;
        BadByte = buf[i];
        if (buf[i] != SysExEnd)
            return fail(Problem::DataByte);
        ++MessageCount;
        if (i + 1 - pos > LongestLength) {
            LongestNumber = MessageCount;
            LongestLength = i + 1 - pos;
        }
        pos = i + 1;
    }
    BadMessage = BadOffset = MessageOffset = 0;
    Fault = Problem::None;
    return true;
}

QString UpdateFile::ProblemText(const QString &shownName) const
{
    const QString damaged = QStringLiteral("The file \"%1\" is damaged: %2. Download the update "
                                           "file again.");
    switch (Fault) {
    case Problem::None:
        return QString();
    case Problem::CannotOpen:
        return QStringLiteral("The file \"%1\" cannot be read (%2): check its name and that you "
                              "may read it.")
            .arg(shownName, SystemError);
    case Problem::NotRegular:
        return QStringLiteral("\"%1\" is %2, not an update file: choose the update file (.cvn) "
                              "itself.")
            .arg(shownName, Kind);
    case Problem::TooLarge:
        return QStringLiteral("The file \"%1\" is %2 bytes long, and an update file is at most %3 "
                              "bytes (256 MiB): it is no update file.")
            .arg(shownName, Grouped(size), Grouped(MaxBytes));
    case Problem::CannotRead:
        return QStringLiteral("The file \"%1\" cannot be read (%2).").arg(shownName, SystemError);
    case Problem::Changed:
        return QStringLiteral("The file \"%1\" changed while it was read: it is still being "
                              "written; try again when it is complete.")
            .arg(shownName);
    case Problem::Interrupted:
        return QStringLiteral("The file \"%1\" was not read to its end: the read was stopped.")
            .arg(shownName);
    case Problem::Empty:
        return QStringLiteral("The file \"%1\" holds no message: it is empty, so there is "
                              "nothing to send.")
            .arg(shownName);
    case Problem::OutsideByte:
        return damaged.arg(
            shownName,
            BadMessage == 1
                ? QStringLiteral("it begins with the byte %1 at byte offset 0, where its first "
                                 "message should begin with F0")
                      .arg(hexByte(BadByte))
                : QStringLiteral("message %1 should begin at byte offset %2, but the byte there "
                                 "is %3, not F0: it belongs to no message")
                      .arg(Grouped(BadMessage), Grouped(BadOffset), hexByte(BadByte)));
    case Problem::DataByte:
        return damaged.arg(
            shownName,
            BadByte == SysExStart
                ? QStringLiteral("message %1 (from byte offset %2) has lost its F7 and runs into "
                                 "the next message, whose F0 is at byte offset %3")
                      .arg(Grouped(BadMessage), Grouped(MessageOffset), Grouped(BadOffset))
                : QStringLiteral("message %1 (from byte offset %2) holds the byte %3 at byte "
                                 "offset %4, which no MIDI System Exclusive message carries")
                      .arg(Grouped(BadMessage), Grouped(MessageOffset), hexByte(BadByte),
                           Grouped(BadOffset)));
    case Problem::Unterminated:
        return damaged.arg(shownName,
                           QStringLiteral("message %1 (from byte offset %2) has no F7: the file "
                                          "was cut short")
                               .arg(Grouped(BadMessage), Grouped(MessageOffset)));
    }
    return QString();
}

QString UpdateFile::Grouped(qint64 n)
{
    QString digits = QString::number(n < 0 ? -n : n);
    for (int i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return n < 0 ? QLatin1Char('-') + digits : digits;
}
