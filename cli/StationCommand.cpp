#include "cli/StationCommand.h"

#include "midi/MIDI.h"
#include "midi/PortWatch.h"
#include "midi/UsbSerial.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
    errno = saved;
}

// A unit's run in a process group of its own, so that a Ctrl-C at the terminal reaches the
// station alone: the first one lets running units finish.
class UnitProcess : public QProcess
{
public:
    UnitProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    }

protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
    }
#endif
};

} // namespace

struct StationCommand::Unit {
    QString port;
    QString serial;
    std::unique_ptr<UnitProcess> process;
    QDateTime started;
    QElapsedTimer clock;
    QByteArray pending; // its output after the last whole line
    QString deviceVersion;
    int percent = -1;
    QJsonObject outcome;
    bool over = false;
};

StationCommand::StationCommand(Console &console, Settings settings)
    : console(console), settings(std::move(settings))
{
}

StationCommand::~StationCommand()
{
    for (auto &unit : units)
        if (unit->process && unit->process->state() != QProcess::NotRunning) {
            unit->process->kill();
            unit->process->waitForFinished(1000);
        }
    if (fileFd >= 0)
        ::close(fileFd);
}

// The file's checked bytes in memory, which every unit reads through /proc: a file rewritten on
// disk meanwhile changes no unit's update.
bool StationCommand::prepare(const QByteArray &file)
{
    fileFd = ::memfd_create("corvane-station.cvn", MFD_CLOEXEC);
    if (fileFd < 0 || ::write(fileFd, file.constData(), size_t(file.size())) != file.size())
        return false;
    filePath = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(fileFd);
    if (!settings.log.isEmpty()) {
        log = std::make_unique<QFile>(settings.log);
        if (!log->open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
    }
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A hang-up never cuts a running unit: its runs inherit this.
    std::signal(SIGHUP, SIG_IGN);
    return true;
}

int StationCommand::Run(const QByteArray &file)
{
    if (!prepare(file)) {
        console.Error(QStringLiteral("corvane-upload: the station cannot start: %1.")
                          .arg(log && !log->isOpen() ? log->errorString()
                                                     : QString::fromLocal8Bit(strerror(errno))));
        return 1;
    }
    signalNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(signalNotifier, &QSocketNotifier::activated, this, &StationCommand::signalled);
    settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(SettleMs);
    connect(settle, &QTimer::timeout, this, &StationCommand::look);
    watch = std::make_unique<PortWatch>(gMIDI.ApiName());
    if (watch->Fd() >= 0) {
        watchNotifier = new QSocketNotifier(watch->Fd(), QSocketNotifier::Read, this);
        connect(watchNotifier, &QSocketNotifier::activated, this, [this] {
            watch->Drain();
            settle->start();
        });
    }
    // A service that tells nothing is asked now and then.
    if (watch->Fd() < 0) {
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, &StationCommand::look);
        poll->start(250);
    }
    console.Event({{QStringLiteral("event"), QStringLiteral("station")},
                   {QStringLiteral("pattern"), settings.pattern},
                   {QStringLiteral("file"), settings.path},
                   {QStringLiteral("version"), settings.version}});
    console.Line(QStringLiteral("Updating every instrument whose port contains \"%1\" to version "
                                "%2 (%3) as it is plugged in; Ctrl-C stops.")
                     .arg(Console::Printable(settings.pattern),
                          Console::Printable(settings.version), Console::Printable(settings.path)));
    look();
    return QCoreApplication::exec();
}

void StationCommand::look()
{
    // A bench runs all day: the runs of finished units go (not from their own signals, so here).
    units.erase(std::remove_if(units.begin(), units.end(),
                               [](const std::unique_ptr<Unit> &unit) { return unit->over; }),
                units.end());
    gMIDI.GetMIDIPortListName();
    QStringList now;
    for (const QString &port : gMIDI.MIDIportList)
        if (port.contains(settings.pattern, Qt::CaseInsensitive))
            now << port;
    // A port that has gone ends its unit; when it comes again, it is a new one, also when it
    // came back before this look.
    watch->Drain();
    const QStringList gone = watch->Gone();
    for (const QString &port : QStringList(present)) {
        bool went = !now.contains(port);
        for (const QString &token : gone)
            went = went || port == token || port.endsWith(token);
        if (went)
            present.removeAll(port);
    }
    for (const QString &port : now) {
        if (present.contains(port) || stops > 0)
            continue;
        // Not yet when its paired output is not there: an instrument registers its ports one
        // after another.
        if (gMIDI.PairedOutput(port) < 0)
            continue;
        present << port;
        start(port);
    }
}

void StationCommand::start(const QString &port)
{
    auto unit = std::make_unique<Unit>();
    unit->port = port;
    unit->serial = UsbSerial::Of(gMIDI.ApiName(), port);
    unit->started = QDateTime::currentDateTime();
    unit->clock.start();
    unit->process = std::make_unique<UnitProcess>();
    Unit *u = unit.get();
    connect(unit->process.get(), &QProcess::readyReadStandardOutput, this, [this, u] { read(*u); });
    connect(unit->process.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            this, [this, u] { ended(*u); });
    unit->process->setStandardInputFile(QProcess::nullDevice());
    unit->process->setStandardErrorFile(QProcess::nullDevice()); // its outcome says it
    unit->process->start(QCoreApplication::applicationFilePath(),
                         settings.unitOptions +
                             QStringList{QStringLiteral("--port"), port, QStringLiteral("--yes"),
                                         QStringLiteral("--json"), QStringLiteral("--"), filePath});
    units.push_back(std::move(unit));
    redraw();
}

void StationCommand::read(Unit &unit)
{
    unit.pending += unit.process->readAllStandardOutput();
    int end;
    while ((end = unit.pending.indexOf('\n')) >= 0) {
        QJsonObject event = QJsonDocument::fromJson(unit.pending.left(end)).object();
        unit.pending.remove(0, end + 1);
        const QString name = event.value(QStringLiteral("event")).toString();
        if (name == QLatin1String("version"))
            unit.deviceVersion = event.value(QStringLiteral("device_version")).toString();
        else if (name == QLatin1String("outcome"))
            unit.outcome = event;
        if (name == QLatin1String("progress")) {
            unit.percent = event.value(QStringLiteral("percent")).toInt();
            event.insert(QStringLiteral("port"), unit.port);
            event.remove(QStringLiteral("schema"));
            console.Event(event);
        }
    }
    redraw();
}

void StationCommand::ended(Unit &unit)
{
    read(unit);
    unit.over = true;
    QJsonObject object{
        {QStringLiteral("event"), QStringLiteral("unit")},
        {QStringLiteral("port"), unit.port},
        {QStringLiteral("version"), settings.version},
        {QStringLiteral("started"),
         unit.started.toOffsetFromUtc(unit.started.offsetFromUtc()).toString(Qt::ISODate)},
        {QStringLiteral("seconds"), qRound64(double(unit.clock.elapsed()) / 100.0) / 10.0}};
    for (const char *key : {"status", "result", "error", "acknowledged", "messages"})
        if (unit.outcome.contains(QLatin1String(key)))
            object.insert(QLatin1String(key), unit.outcome.value(QLatin1String(key)));
    if (unit.outcome.isEmpty()) { // it ended without saying how
        object.insert(QStringLiteral("status"), unit.process->exitCode());
        object.insert(QStringLiteral("result"), QStringLiteral("internal"));
        object.insert(QStringLiteral("error"),
                      QStringLiteral("The unit's run ended without an outcome."));
    }
    if (!unit.deviceVersion.isEmpty())
        object.insert(QStringLiteral("device_version"), unit.deviceVersion);
    if (!unit.serial.isEmpty())
        object.insert(QStringLiteral("serial"), unit.serial);
    const QString result = object.value(QStringLiteral("result")).toString();
    if (result == QLatin1String("complete"))
        ++updated;
    else if (result == QLatin1String("already-current"))
        ++current;
    else
        ++failed;
    record(unit, object);
    stopWhenDone();
}

void StationCommand::record(const Unit &unit, const QJsonObject &object)
{
    if (log) {
        // Synced at once: a power cut loses at most the units still running.
        QJsonObject line = object;
        line.insert(QStringLiteral("schema"), Console::SchemaVersion);
        log->write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
        log->flush();
        ::fsync(log->handle());
    }
    console.Event(object);
    const QString serial =
        unit.serial.isEmpty() ? QString()
                              : QStringLiteral(" (serial %1)").arg(Console::Printable(unit.serial));
    const QString from =
        unit.deviceVersion.isEmpty() ? QStringLiteral("?") : Console::Printable(unit.deviceVersion);
    said(QStringLiteral("%1  %2%3  %4 \u2192 %5  %6 in %7 s")
             .arg(unit.started.time().toString(QStringLiteral("HH:mm:ss")),
                  Console::Printable(unit.port), serial, from, Console::Printable(settings.version),
                  object.value(QStringLiteral("result")).toString())
             .arg(object.value(QStringLiteral("seconds")).toDouble(), 0, 'f', 1));
}

void StationCommand::said(const QString &line)
{
    // In the place of the running units' lines, which come again below it.
    console.Clear();
    console.Line(line);
    redraw();
}

void StationCommand::redraw()
{
    QStringList lines;
    for (const auto &unit : units)
        if (!unit->over)
            lines << QStringLiteral("  %1  %2")
                         .arg(Console::Printable(unit->port),
                              unit->percent < 0 ? QStringLiteral("starting")
                                                : QStringLiteral("%1 %").arg(unit->percent));
    if (lines.isEmpty())
        console.Clear();
    else
        console.Redraw(lines.join(QLatin1Char('\n')));
}

void StationCommand::signalled()
{
    char c[16];
    while (::read(signalPipe[0], c, sizeof c) > 0)
        ++stops;
    if (stops == 1)
        said(QStringLiteral("Stopping: no new instrument is taken; the running updates finish "
                            "(Ctrl-C again interrupts them)."));
    if (stops >= 2)
        for (const auto &unit : units)
            if (!unit->over)
                ::kill(pid_t(unit->process->processId()), SIGINT);
    stopWhenDone();
}

void StationCommand::stopWhenDone()
{
    if (stops == 0)
        return;
    for (const auto &unit : units)
        if (!unit->over)
            return;
    console.Line(QStringLiteral("Updated %1, already current %2, failed %3.")
                     .arg(updated)
                     .arg(current)
                     .arg(failed));
    const int status = stops >= 2 ? 130 : failed > 0 ? UnitFailed : 0;
    console.Event({{QStringLiteral("event"), QStringLiteral("summary")},
                   {QStringLiteral("updated"), updated},
                   {QStringLiteral("already_current"), current},
                   {QStringLiteral("failed"), failed}});
    QJsonObject outcome{{QStringLiteral("event"), QStringLiteral("outcome")},
                        {QStringLiteral("status"), status},
                        {QStringLiteral("result"), status == 0 ? QStringLiteral("complete")
                                                   : status == 130
                                                       ? QStringLiteral("interrupted")
                                                       : QStringLiteral("units-failed")}};
    if (status != 0) {
        const QString error = status == 130
                                  ? QStringLiteral("Interrupted: the running updates were "
                                                   "interrupted and are not complete.")
                                  : QStringLiteral("%1 of the station's units failed: see their "
                                                   "records.")
                                        .arg(failed);
        outcome.insert(QStringLiteral("error"), error);
        console.Error(error);
    }
    console.Event(outcome);
    QCoreApplication::exit(status);
}
