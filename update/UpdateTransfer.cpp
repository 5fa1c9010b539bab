#include "update/UpdateTransfer.h"

#include "midi/MIDI.h"
#include "update/MIDIsysParser.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>

namespace
{

// F0 7E 10 07 02: SysEx start, universal non-real-time, device 10, file dump, data packet.
const unsigned char HeaderStart[] = {0xF0, 0x7E, 0x10, 0x07, 0x02};
constexpr qint64 FixedBytes = qint64(sizeof HeaderStart);
constexpr qint64 ParameterBytes = 4;
constexpr qint64 VersionPosition = FixedBytes + 7 * ParameterBytes; // byte 33
constexpr qint64 MaxVersionChars = qint64(sizeof(UpdateTransfer::NewVersion)) - 1;

// Longest file version text the replacement question shows; a longer one is cut and marked.
constexpr int MaxQuestionChars = 64;
// Bytes that hold more than MaxQuestionChars characters however they are encoded in UTF-8.
constexpr qint64 MaxQuestionBytes = 4 * MaxQuestionChars + 4;

// The header's version text: from byte 33 up to the first 00 or, when it holds none, up to the
// header's F7, never into the messages after it; and never more than `limit` bytes of it, so a
// long header costs no more than a short one. Empty when the header ends before byte 33.
QByteArray headerVersionText(const unsigned char *buf, qint64 len, qint64 limit)
{
    if (!buf || len <= VersionPosition || std::memchr(buf, 0xF7, size_t(VersionPosition)))
        return QByteArray();
    const auto *start = reinterpret_cast<const char *>(buf + VersionPosition);
    const qint64 avail = std::min(len - VersionPosition, limit);
    qint64 n = 0;
    while (n < avail && start[n] != '\0' && uchar(start[n]) != 0xF7)
        ++n;
    return QByteArray(start, int(n));
}

// The file's version text as the question shows it: a text longer than MaxQuestionChars is cut
// there and ends in an ellipsis, so the question keeps a size a person can read.
QString questionVersionText(const unsigned char *buf, qint64 len)
{
    const QByteArray bytes = headerVersionText(buf, len, MaxQuestionBytes);
    const QString text = QString::fromUtf8(bytes);
    if (bytes.size() < MaxQuestionBytes && text.size() <= MaxQuestionChars)
        return text;
    const int keep =
        text.at(MaxQuestionChars - 1).isHighSurrogate() ? MaxQuestionChars - 1 : MaxQuestionChars;
    return text.left(keep) + QChar(0x2026);
}

} // namespace

UpdateTransfer::UpdateTransfer(QString path, const QByteArray &nativePath) : FileName(path)
{
    ExitFlag = false;
    // -1 when its size cannot be taken; a file refused for its size keeps it, for the reason.
    File.Open(nativePath.isEmpty() ? QFile::encodeName(path) : nativePath);
    FileLen = File.Size();
    allocate();
    FirstMessage = true;
}

void UpdateTransfer::allocate()
{
    delete[] FileBuf;
    FileBuf = nullptr;
    if (!File.IsOpen() || FileLen < 0 || quint64(FileLen) > std::numeric_limits<size_t>::max())
        return;
    // Larger than memory leaves FileBuf null, and the load then reports the file.
    try {
        FileBuf = new (std::nothrow) unsigned char[size_t(FileLen)];
    } catch (const std::bad_alloc &) { // a count beyond what new[] can express
        FileBuf = nullptr;
    }
}

UpdateTransfer::~UpdateTransfer()
{
    delete[] FileBuf;
}

bool UpdateTransfer::Load(const QString &path)
{
    MessageCount = LongestNumber = LongestLength = 0;
    // The file was opened when the transfer was made; another path is opened now.
    if (path != FileName) {
        File.Open(path);
        FileLen = File.Size();
        allocate();
    }
    if (!File.IsOpen())
        return false;
    if (!FileBuf && FileLen > 0) {
        File.SystemError = QString::fromLocal8Bit(std::strerror(ENOMEM));
        File.Fault = UpdateFile::Problem::CannotRead;
        return false;
    }
    if (!File.Read(FileBuf, FileLen, [this] { return cancelled(); }) ||
        !File.Check(FileBuf, FileLen))
        return false;
    MessageCount = File.MessageCount;
    LongestNumber = File.LongestNumber;
    LongestLength = File.LongestLength;
    getParameters();
    return true;
}

UpdateTransfer::Outcome UpdateTransfer::Send()
{
    // A message longer than a MIDI interface takes whole never reaches an instrument behind one,
    // and the device would wait for it forever: such a file is refused before its first byte.
    if (gMIDI.MessageLimit > 0 && LongestLength > gMIDI.MessageLimit)
        return Outcome::TooLong;
    Disconnected.clear();
    NotDisconnected.clear();
    NotRestored.clear();
    othersSeen = gMIDI.OthersSending();
    if (gMIDI.DisconnectOtherSenders) {
        Disconnected = gMIDI.DisconnectOthers(&NotDisconnected);
        if (!NotDisconnected.isEmpty()) {
            NotRestored = gMIDI.RestoreOthers();
            return Outcome::OthersConnected;
        }
    }
    nextOthersCheck = now() + PortCheckMs;
    const Outcome outcome = sendAll();
    restoreOthers(outcome);
    return outcome;
}

void UpdateTransfer::restoreOthers(Outcome outcome)
{
    // Nobody to connect them to: the service, or the instrument, is gone.
    const QString cannot =
        outcome == Outcome::ServiceGone ? QStringLiteral("the MIDI service has stopped")
        : outcome == Outcome::PortGone  ? QStringLiteral("the instrument's port has gone")
                                        : QString();
    NotRestored = gMIDI.RestoreOthers(cannot);
}

void UpdateTransfer::watchOthers(qint64 t)
{
    if (t < nextOthersCheck)
        return;
    nextOthersCheck = t + PortCheckMs;
    const QStringList sending = gMIDI.OthersSending();
    QStringList joined; // each said once
    for (const QString &sender : sending)
        if (!othersSeen.contains(sender))
            joined << sender;
    othersSeen += joined;
    // A sender that connects again (a patchbay that restores its routes) is taken away again.
    bool disconnected = false;
    if (gMIDI.DisconnectOtherSenders && !sending.isEmpty()) {
        QStringList failed;
        for (const QString &sender : gMIDI.DisconnectOthers(&failed))
            if (!Disconnected.contains(sender))
                Disconnected << sender;
        disconnected = failed.isEmpty();
    }
    if (!joined.isEmpty())
        othersJoined(joined, disconnected);
}

UpdateTransfer::Outcome UpdateTransfer::sendAll()
{
    const qint64 messages = MessageCount;
    Message = Acknowledged = BytesAcknowledged = 0;
    qint64 pos = 0;
    while (pos < FileLen) {
        // Taken before the send: a reply may come before the send returns.
        const quint32 othersBefore = gMIDIsysParser.OtherCount.load(std::memory_order_acquire);
        const qint64 n = gMIDI.SendSys(FileBuf + pos, FileLen - pos);
        if (n <= 0) // cannot happen for a file that ends with F7; never loop on it
            break;
        ++Message;
        const bool failed = !gMIDI.SendError.isEmpty();
        if (failed && sendFailed(Message, messages))
            return Outcome::SendFailed;
        const Outcome waited = waitForAck(Message, messages, failed, othersBefore);
        if (waited != Outcome::Complete)
            return waited;
        Acknowledged = Message;
        BytesAcknowledged = pos + n;
        if (watching())
            watchOthers(now());

        if (FirstMessage) {
            QByteArray version;
            const bool reported = gMIDIsysParser.ReadVersion(&version) != 0;
            if (reported ? !confirmReplace() : !goOnUnasked()) {
                // A stop asked for while the question was open is a stop, not an answer.
                const Outcome outcome = ExitFlag ? Outcome::Stopped : Outcome::Declined;
                ExitFlag = true;
                return outcome;
            }
            FirstMessage = false;
            progress(0);
            started();
        }

        pos += n;
        progress(int(pos * 100 / FileLen));
    }
    return Outcome::Complete;
}

void UpdateTransfer::idle()
{
    delay(1);
}

qint64 UpdateTransfer::now() const
{
    if (Clock)
        return Clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

UpdateTransfer::Outcome UpdateTransfer::waitForAck(qint64 message, qint64 messages, bool sendFailed,
                                                   quint32 othersBefore)
{
    // The flag is not lowered before the send, so one left raised by an unclaimed earlier reply
    // ends this wait at once. No repeat, and no time limit unless one is set: a device may take
    // many seconds for one message (erasing its flash after the header, or 4 KB at 31,250 baud),
    // so the note stays neutral for a minute before it gives advice.
    const qint64 start = now();
    qint64 nextCheck = start + PortCheckMs;
    qint64 shownSeconds = 0;
    quint32 shownOthers = 0;
    bool noted = sendFailed;
    bool gone = false;
    while (!gMIDIsysParser.Ack()) {
        idle();
        if (ExitFlag)
            return Outcome::Stopped;
        if (!watching())
            continue;
        const qint64 t = now();
        if (AckTimeoutMs > 0 && t - start >= AckTimeoutMs)
            return Outcome::TimedOut;
        // Asked on every pass, as it costs a look at the service's shared memory: a stopped
        // service is a wait that nothing can end.
        if (!gone) {
            const QString service = gMIDI.ServiceGone(t);
            if (!service.isEmpty()) {
                gone = noted = true;
                if (serviceGone(service, message, messages))
                    return Outcome::ServiceGone;
            }
        }
        watchOthers(t);
        if (!gone && t >= nextCheck) {
            nextCheck = t + PortCheckMs;
            const QString port = gMIDI.GonePort();
            if (!port.isEmpty()) {
                gone = noted = true;
                if (portGone(port, message, messages))
                    return Outcome::PortGone;
            }
        }
        if (gone || sendFailed || t - start < NoteAfterMs)
            continue;
        // Read once per pass: the count with acquire, then the bytes it covers (or later ones).
        const quint32 others =
            gMIDIsysParser.OtherCount.load(std::memory_order_acquire) - othersBefore;
        const qint64 seconds = (t - start) / 1000;
        if (seconds == shownSeconds && others == shownOthers)
            continue;
        shownSeconds = seconds;
        shownOthers = others;
        noted = true;
        waiting(t - start, message, messages, int(others),
                others ? otherStartText(gMIDIsysParser.OtherStart.load(std::memory_order_relaxed))
                       : QString(),
                t - start >= AdviceAfterMs);
    }
    if (noted && watching())
        waitOver();
    return Outcome::Complete;
}

QString UpdateTransfer::DeviceVersion()
{
    // Taken whole from the MIDI input thread, even when a second version reply arrives meanwhile.
    QByteArray text;
    const qint64 announced = gMIDIsysParser.ReadVersion(&text);
    // Only 22 bytes are kept, and a reply may end before its announced length: the mark tells
    // that the device's version goes on.
    if (announced > text.size())
        return QString::fromUtf8(text) + QChar(0x2026);
    return QString::fromUtf8(text);
}

QString UpdateTransfer::FileVersionText() const
{
    // What getParameters decoded, so the question, the window and the terminal name one version.
    return NewVersionText;
}

void UpdateTransfer::getParameters()
{
    if (ChechHeader() != FixedBytes)
        return;
    // Every read below stays within the loaded bytes: a header that ends inside parameter 1
    // decodes nothing, one that ends inside parameters 2 to 7 decodes parameter 1 only.
    if (FileLen < FixedBytes + ParameterBytes)
        return;
    Param1 = iConvert(FileBuf + FixedBytes);
    if (Param1 != 0)
        return;
    if (FileLen < VersionPosition)
        return;
    Param2 = iConvert(FileBuf + 9);
    Param3 = iConvert(FileBuf + 13);
    Param4 = iConvert(FileBuf + 17);
    Param5 = iConvert(FileBuf + 21);
    Param6 = iConvert(FileBuf + 25);
    Param7 = iConvert(FileBuf + 29);

    // A longer text keeps its first 23 bytes, less a character that would be cut in two.
    const QByteArray version = headerVersionText(FileBuf, FileLen, MaxVersionChars + 1);
    int n = int(std::min<qint64>(version.size(), MaxVersionChars));
    if (version.size() > MaxVersionChars)
        for (int back = 0; back < 3 && n > 0 && (uchar(version.at(n)) & 0xC0) == 0x80; ++back)
            --n;
    std::memcpy(NewVersion, version.constData(), size_t(n));
    NewVersion[n] = '\0';
    NewVersionText = questionVersionText(FileBuf, FileLen);
}

int UpdateTransfer::ChechHeader()
{
    if (!FileBuf || FileLen < FixedBytes)
        return -1;
    return std::memcmp(FileBuf, HeaderStart, sizeof HeaderStart) == 0 ? int(FixedBytes) : -1;
}

qint64 UpdateTransfer::iConvert(unsigned char *p)
{
    return from28Bits(p);
}

qint64 UpdateTransfer::CalcSize(char *path)
{
    // Opened as the update itself is: a FIFO or a device is refused, never waited on.
    UpdateFile file;
    file.Open(QByteArray(path));
    return file.Size(); // a file too large to send still has its size
}

int UpdateTransfer::CaricaBuffer(char *path, long len)
{
    UpdateFile file;
    if (len < 0 || !file.Open(QByteArray(path)))
        return -1;
    // FileBuf holds FileLen bytes: a longer request reads only those and so fails.
    const qint64 room = FileBuf ? std::min({qint64(len), FileLen, file.Size()}) : 0;
    if (room > 0 && !file.Read(FileBuf, room))
        return -1;
    return room == qint64(len) ? 0 : -1;
}

void delay(int ms)
{
    // QElapsedTimer runs on the monotonic clock: a change of the wall clock does not stretch it.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
}
