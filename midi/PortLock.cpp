#include "midi/PortLock.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

const char *const PortLock::Folder = "/run/lock";

namespace
{

QString systemError(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// JACK servers run side by side, each with ports of its own under the same names: the server that
// the library reached (libjack takes JACK_DEFAULT_SERVER, else "default") belongs to the service.
QString serviceKey(const QString &service)
{
    if (service.compare(QLatin1String("jack"), Qt::CaseInsensitive) != 0)
        return service;
    const QString server = QString::fromLocal8Bit(qgetenv("JACK_DEFAULT_SERVER"));
    return service + QLatin1Char('/') + (server.isEmpty() ? QStringLiteral("default") : server);
}

QString userName(uid_t uid)
{
    char buffer[1024];
    passwd entry;
    passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(qint64(uid));
}

// A process as a person knows it: its program, its number and its user; empty when it has gone.
QString describeProcess(qint64 pid)
{
    const QString dir = QStringLiteral("/proc/%1").arg(pid);
    struct stat st;
    if (stat(QFile::encodeName(dir).constData(), &st) != 0)
        return QString();
    QFile cmdline(dir + QStringLiteral("/cmdline"));
    QString program;
    if (cmdline.open(QIODevice::ReadOnly))
        program = QFileInfo(QFile::decodeName(cmdline.readAll().split('\0').value(0))).fileName();
    const QString who = QStringLiteral("process %1, user %2").arg(pid).arg(userName(st.st_uid));
    return program.isEmpty() ? who : QStringLiteral("%1 (%2)").arg(program, who);
}

// The process that holds an flock on the file `st`, as the kernel lists it; 0 when none is listed
// (or it lives in another process namespace, where the kernel shows 0).
qint64 flockHolder(const struct stat &st)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": the device in hexadecimal.
    const QString file = QStringLiteral("%1:%2:%3")
                             .arg(major(st.st_dev), 2, 16, QLatin1Char('0'))
                             .arg(minor(st.st_dev), 2, 16, QLatin1Char('0'))
                             .arg(quint64(st.st_ino));
    while (!locks.atEnd()) {
        const QStringList fields =
            QString::fromLatin1(locks.readLine()).simplified().split(QLatin1Char(' '));
        if (fields.size() >= 6 && fields.at(1) == QLatin1String("FLOCK") && fields.at(5) == file)
            return fields.at(4).toLongLong();
    }
    return 0;
}

} // namespace

QString PortLock::Path(const QString &service, const QString &portName)
{
    // A hash, so that any port name makes a file name.
    const QByteArray key = (serviceKey(service) + QLatin1Char('\n') + portName).toUtf8();
    return QStringLiteral("%1/corvane-uploader-%2.lock")
        .arg(QString::fromLatin1(Folder),
             QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex()));
}

PortLock::PortLock(const QString &service, const QString &portName)
{
    const QString path = Path(service, portName);
    if (!open(path))
        return;
    int taken;
    do
        taken = flock(fd_, LOCK_EX | LOCK_NB);
    while (taken != 0 && errno == EINTR);
    if (taken == 0) {
        state_ = Held;
        describe();
        return;
    }
    const int why = errno;
    if (why == EWOULDBLOCK) {
        state_ = Busy;
        struct stat st;
        const qint64 pid = fstat(fd_, &st) == 0 ? flockHolder(st) : 0;
        holder_ = pid > 0 ? describeProcess(pid) : QString();
        if (holder_.isEmpty()) {
            // In another process namespace: the holder's own words, when it could write them.
            char text[256];
            const ssize_t n = pread(fd_, text, sizeof text, 0);
            if (n > 0)
                holder_ =
                    QString::fromUtf8(text, int(n)).section(QLatin1Char('\n'), 0, 0).trimmed();
        }
        if (holder_.isEmpty())
            holder_ = QStringLiteral("another Corvane updater");
    } else {
        error_ = QStringLiteral("%1 cannot be locked: %2").arg(path, systemError(why));
    }
    close(fd_);
    fd_ = -1;
}

// Opens the lock file, made when missing. Another user's file is opened for reading only, which
// is enough to lock it; never through a link, and never anything but a plain file, which could
// block the open or belong to somebody's device.
bool PortLock::open(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < 3 && fd_ < 0; ++attempt) {
        writable_ = true;
        fd_ = ::open(native.constData(), O_RDWR | flags);
        if (fd_ < 0 && errno == EACCES) {
            writable_ = false;
            fd_ = ::open(native.constData(), O_RDONLY | flags);
        }
        if (fd_ < 0 && errno == ENOENT) {
            writable_ = true;
            fd_ = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | flags, 0644);
            // Whatever this process's umask: every user must be able to open it to lock it.
            if (fd_ >= 0)
                fchmod(fd_, 0644);
            else if (errno == EEXIST)
                continue; // made by another updater meanwhile
        }
        if (fd_ < 0) {
            error_ = QStringLiteral("%1 cannot be opened: %2").arg(path, systemError(errno));
            return false;
        }
    }
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = QStringLiteral("%1 is no plain file").arg(path);
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

// Names the holder in the file too, for those who cannot see it in the kernel's list of locks
// (another process namespace). A file of another user's that this one cannot write still locks.
void PortLock::describe()
{
    if (!writable_)
        return;
    const QByteArray text = describeProcess(getpid()).toUtf8() + '\n';
    if (ftruncate(fd_, 0) != 0)
        return;
    [[maybe_unused]] const ssize_t n = pwrite(fd_, text.constData(), size_t(text.size()), 0);
}

PortLock::~PortLock()
{
    release();
}

void PortLock::release()
{
    if (fd_ < 0)
        return;
    close(fd_); // drops the lock; the file stays, as removing it would race with the next holder
    fd_ = -1;
    state_ = Released;
}
