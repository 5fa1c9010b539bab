#include "cli/TerminalTransfer.h"

#include "cli/Console.h"
#include "midi/MIDI.h"
#include "update/MIDIsysParser.h"
#include "update/UpdateTexts.h"

#include <QJsonArray>
#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace
{

// Written by the signal handler and the MIDI input thread, read by the main thread's waits.
int wakeFd = -1;
std::atomic<bool> interrupted{false};
// Once held, SIGINT and SIGTERM are blocked in every thread and let in only inside the main
// thread's waits, with this mask: never in the middle of a send, and never in a thread of the MIDI
// libraries.
sigset_t waitMask;
bool held = false;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

void wake()
{
    const std::uint64_t one = 1;
    // A full counter already wakes the reader; nothing else can go wrong worth a word here.
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void onSignal(int)
{
    const int saved = errno;
    interrupted.store(true);
    wake();
    errno = saved;
}

// Waits for a wake-up (or `fd` readable, when given) up to ms milliseconds; true when `fd` is
// readable.
bool waitFor(int ms, int fd = -1)
{
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    timespec limit{ms / 1000, (ms % 1000) * 1000000L};
    const int n =
        ::ppoll(fds, fd >= 0 ? 2 : 1, ms < 0 ? nullptr : &limit, held ? &waitMask : nullptr);
    if (n > 0 && (fds[0].revents & POLLIN)) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t got = ::read(wakeFd, &count, sizeof count);
    }
    return n > 0 && fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP));
}

QString duration(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

TerminalTransfer::TerminalTransfer(const QString &path, Console &console, Answer answer,
                                   const QByteArray &nativePath)
    : UpdateTransfer(path, nativePath), console(console), answer(answer)
{
}

bool TerminalTransfer::CatchSignals()
{
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0)
        return false;
    gMIDIsysParser.ReplyWaker.store(wake, std::memory_order_release);
    return true;
}

bool TerminalTransfer::HoldSignals()
{
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    if (::pthread_sigmask(SIG_BLOCK, &block, &waitMask) != 0)
        return false;
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    held = true;
    return true;
}

bool TerminalTransfer::Interrupted()
{
    // A signal that came while it was blocked is let in now.
    if (wakeFd >= 0 && !interrupted.load())
        waitFor(0);
    return interrupted.load();
}

void TerminalTransfer::Sleep(int ms)
{
    if (!Interrupted())
        waitFor(ms);
}

void TerminalTransfer::idle()
{
    // A reply raises the flag before the MIDI input thread wakes this wait, and the wake-up is
    // counted, so one that comes between the flag's check and this sleep is never missed. The
    // timeout only paces the notes and the port check.
    if (!interrupted.load())
        waitFor(200);
    if (interrupted.load())
        ExitFlag = true;
}

bool TerminalTransfer::readAnswer(QString *line)
{
    QByteArray bytes;
    for (;;) {
        if (Interrupted())
            return false;
        if (!waitFor(-1, STDIN_FILENO))
            continue;
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            break;
        bytes += c;
    }
    *line = QString::fromLocal8Bit(bytes).trimmed();
    return true;
}

bool TerminalTransfer::confirmReplace()
{
    Device = DeviceVersion();
    const QString file = FileVersionText();
    console.Event({{QStringLiteral("event"), QStringLiteral("version")},
                   {QStringLiteral("version"), file},
                   {QStringLiteral("device_version"), Device}});
    const QString question = QStringLiteral("Replace version %1 with %2? [y/N]")
                                 .arg(Console::Printable(Device), Console::Printable(file));
    if (SkipCurrent && Device == file) {
        AlreadyCurrent = true;
        console.Line(question + QStringLiteral(" no: it has that version (--skip-current)"));
        return false;
    }
    if (answer == Answer::Yes || answer == Answer::No) {
        console.Line(question + (answer == Answer::Yes ? QStringLiteral(" yes (--yes)")
                                                       : QStringLiteral(" no (--no)")));
        return answer == Answer::Yes;
    }
    if (!::isatty(STDIN_FILENO)) {
        NoTerminal = true;
        return false;
    }
    console.Prompt(question + QLatin1Char(' '));
    QString reply;
    const qint64 asked = now();
    const bool read = readAnswer(&reply);
    QuestionMs = now() - asked;
    if (!read) {
        if (Interrupted())
            ExitFlag = InterruptedAtQuestion = true;
        return false;
    }
    console.Answered();
    const QString word = reply.toLower();
    return word == QLatin1String("y") || word == QLatin1String("yes");
}

bool TerminalTransfer::goOnUnasked()
{
    // Without a yes nothing beyond the header is written, whether or not the instrument said
    // which version it has.
    if (answer == Answer::No)
        return false;
    if (answer == Answer::Ask && !::isatty(STDIN_FILENO)) {
        NoTerminal = true;
        return false;
    }
    return true;
}

void TerminalTransfer::started()
{
    console.Line(QStringLiteral("Updating to version %1: %2, %3.")
                     .arg(Console::Printable(FileVersionText()),
                          Console::Count(MessageCount, QStringLiteral("message")),
                          Console::Count(FileLen, QStringLiteral("byte"))));
}

void TerminalTransfer::progress(int percent)
{
    const auto event = [this](int tenths) {
        console.Event({{QStringLiteral("event"), QStringLiteral("progress")},
                       {QStringLiteral("percent"), tenths * 10},
                       {QStringLiteral("acknowledged"), Acknowledged},
                       {QStringLiteral("messages"), MessageCount},
                       {QStringLiteral("acknowledged_bytes"), BytesAcknowledged},
                       {QStringLiteral("size"), FileLen}});
    };
    if (lastTenth < 0) {
        // The header's acknowledgement: started() tells people; scripts get their 0 %.
        lastTenth = 0;
        event(0);
        return;
    }
    const qint64 t = now();
    const qint64 bytes = BytesAcknowledged;
    // The rate counts from the header's acknowledgement: the device may answer that one slowly
    // (a question, an erase).
    if (Acknowledged <= 1) {
        rateStartMs = t;
        rateStartBytes = bytes;
    }
    const bool done = Acknowledged == MessageCount;
    const bool redraw = console.Tty && (done || lastRedrawMs < 0 || t - lastRedrawMs >= 100);
    const int tenth = percent / 10;
    // This runs between an acknowledgement and the next message, and making the text takes longer
    // than all the rest of that step: it is made only when it is shown.
    if (!redraw && tenth == lastTenth)
        return;
    QString rate = QStringLiteral("- kB/s");
    QString left = QStringLiteral("-:--");
    if (t > rateStartMs && bytes > rateStartBytes) {
        const double perSecond = double(bytes - rateStartBytes) * 1000.0 / double(t - rateStartMs);
        rate = QStringLiteral("%1 kB/s").arg(perSecond / 1000.0, 0, 'f', 1);
        left = duration(qint64(double(FileLen - bytes) / perSecond + 0.5));
    }
    const QString text = QStringLiteral("%1 %  message %2 of %3  %4 of %5 bytes  %6  %7 left")
                             .arg(percent, 3)
                             .arg(Console::Count(Acknowledged), Console::Count(MessageCount),
                                  Console::Count(bytes), Console::Count(FileLen), rate, left);
    if (redraw) {
        lastRedrawMs = t;
        console.Redraw(text);
    }
    if (tenth == lastTenth)
        return;
    if (!console.Tty)
        console.Line(text);
    // A script waits for 10, 20, ..., 100: one message may pass several tenths (a long one, or a
    // short file), and each tenth gets its event all the same.
    while (lastTenth < tenth)
        event(++lastTenth);
}

bool TerminalTransfer::sendFailed(qint64 message, qint64 messages)
{
    Q_UNUSED(message);
    Q_UNUSED(messages);
    // A message that did not go out is never acknowledged: the outcome says it at once.
    return true;
}

bool TerminalTransfer::serviceGone(const QString &reason, qint64 message, qint64 messages)
{
    Q_UNUSED(message);
    Q_UNUSED(messages);
    GoneService = reason;
    return true;
}

bool TerminalTransfer::portGone(const QString &port, qint64 message, qint64 messages)
{
    Q_UNUSED(message);
    Q_UNUSED(messages);
    // A script must not wait for an instrument that is no longer there: the outcome says it.
    GonePort = port;
    return true;
}

void TerminalTransfer::waiting(qint64 ms, qint64 message, qint64 messages, int others,
                               const QString &lastOther, bool advise)
{
    const qint64 seconds = ms / 1000;
    const QString text = UpdateTexts::Waiting(message, messages, seconds, others, lastOther, advise,
                                              UpdateTexts::Face::Terminal);
    // Whole, however narrow the terminal: its end says how to stop.
    if (console.Tty) {
        console.Redraw(text, true);
        return;
    }
    // In a log, a line now and then: on the first note, then every ten seconds, once each
    // however many other messages the device sends meanwhile.
    if ((seconds * 1000 != NoteAfterMs && seconds % 10 != 0) || seconds == lastNoteSecond)
        return;
    lastNoteSecond = seconds;
    console.Line(text);
    console.Event({{QStringLiteral("event"), QStringLiteral("waiting")},
                   {QStringLiteral("message"), message},
                   {QStringLiteral("messages"), messages},
                   {QStringLiteral("seconds"), seconds},
                   {QStringLiteral("others"), others}});
}

void TerminalTransfer::othersJoined(const QStringList &senders, bool disconnected)
{
    console.Line(UpdateTexts::OthersJoined(senders, disconnected));
    console.Event({{QStringLiteral("event"), QStringLiteral("other_senders")},
                   {QStringLiteral("senders"), QJsonArray::fromStringList(senders)},
                   {QStringLiteral("disconnected"), disconnected}});
}

void TerminalTransfer::waitOver()
{
    lastRedrawMs = -1;
    lastNoteSecond = -1;
}
