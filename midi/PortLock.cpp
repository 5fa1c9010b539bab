#include "midi/PortLock.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString systemError(const QString &what, int error)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(error)));
}

// A folder that only this user can change, made with mode 0700 when missing: whoever could replace
// the files in it could take or fake any lock.
bool privateFolder(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        *error = systemError(QStringLiteral("cannot make %1").arg(path), errno);
        return false;
    }
    struct stat st;
    if (lstat(native.constData(), &st) != 0) {
        *error = systemError(QStringLiteral("cannot reach %1").arg(path), errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
        *error = QStringLiteral("%1 is not a folder of this user's alone").arg(path);
        return false;
    }
    return true;
}

// The runtime folder the desktop session gives this user, when it is there and the user's.
QString runtimeFolder()
{
    const QString path = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    struct stat st;
    if (!path.startsWith(QLatin1Char('/')) || stat(QFile::encodeName(path).constData(), &st) != 0 ||
        !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return QString();
    return path;
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

// How a holder names itself to the program it keeps waiting: the program and its process number.
QString description()
{
    QString name;
    if (QCoreApplication::instance())
        name = QCoreApplication::applicationName();
    if (name.isEmpty()) {
        QFile comm(QStringLiteral("/proc/self/comm"));
        if (comm.open(QIODevice::ReadOnly))
            name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    }
    const QString process = QStringLiteral("process %1").arg(qint64(getpid()));
    return name.isEmpty() ? process : QStringLiteral("%1 (%2)").arg(name, process);
}

} // namespace

PortLock::PortLock(const QString &service, const QString &portName)
{
    const QString folder = directory(&error_);
    if (folder.isEmpty())
        return;
    // A hash, so that any port name makes a file name.
    const QByteArray key = (serviceKey(service) + QLatin1Char('\n') + portName).toUtf8();
    const QString path =
        folder + QLatin1Char('/') +
        QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex()) +
        QStringLiteral(".lock");
    fd_ =
        open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        error_ = systemError(QStringLiteral("cannot open %1").arg(path), errno);
        return;
    }
    int taken;
    do
        taken = flock(fd_, LOCK_EX | LOCK_NB);
    while (taken != 0 && errno == EINTR);
    if (taken == 0) {
        state_ = Held;
        // The description only names the holder to others: a file that cannot take it still locks.
        const QByteArray text = description().toUtf8() + '\n';
        if (ftruncate(fd_, 0) != 0 ||
            pwrite(fd_, text.constData(), size_t(text.size()), 0) != ssize_t(text.size()))
            error_ =
                systemError(QStringLiteral("cannot describe the holder in %1").arg(path), errno);
        return;
    }
    const int why = errno;
    if (why == EWOULDBLOCK) {
        state_ = Busy;
        // The holder may be between emptying the file and writing to it: then it is unnamed.
        char text[256];
        const ssize_t n = pread(fd_, text, sizeof text, 0);
        if (n > 0)
            holder_ = QString::fromUtf8(text, int(n)).section(QLatin1Char('\n'), 0, 0).trimmed();
        if (holder_.isEmpty())
            holder_ = QStringLiteral("another Corvane updater");
    } else {
        error_ = systemError(QStringLiteral("cannot lock %1").arg(path), why);
    }
    close(fd_);
    fd_ = -1;
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

QString PortLock::directory(QString *error)
{
    QString reason;
    const QString runtime = runtimeFolder();
    if (!runtime.isEmpty()) {
        const QString path = runtime + QStringLiteral("/corvane-uploader");
        if (privateFolder(path, &reason))
            return path;
    }
    const QString path = QStringLiteral("/tmp/corvane-uploader-%1").arg(qint64(geteuid()));
    if (privateFolder(path, &reason))
        return path;
    if (error)
        *error = reason;
    return QString();
}
