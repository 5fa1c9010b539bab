#include "update/MIDIsysParser.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

char y[1000];

namespace
{

// Both replies come from the one device number; nothing makes it configurable.
constexpr unsigned char DeviceNumber = 0x10;
constexpr int VersionPayloadPosition = 13;
constexpr int MaxVersionChars = int(sizeof(MIDIsysParser::CurVersion)) - 1;
// The first version word holds the length, the others the text.
constexpr int VersionTextWords =
    int(sizeof(MIDIsysParser::VersionWords) / sizeof(MIDIsysParser::VersionWords[0])) - 1;
static_assert(VersionTextWords * 8 >= MaxVersionChars, "the version words hold the whole text");
constexpr int MaxRevisionChars = int(sizeof(MIDIsysParser::FwRev)) - 1;

// Writes the characters one by one, each followed by a zero, so the field stays terminated
// even if the text is cut; no characters leave the field as it was.
void setRevision(char *field, const unsigned char *text, int n)
{
    // A part longer than the field keeps its first 19 characters.
    if (n > MaxRevisionChars)
        n = MaxRevisionChars;
    for (int i = 0; i < n; ++i) {
        field[i] = char(text[i]);
        field[i + 1] = '\0';
    }
}

} // namespace

MIDIsysParser::MIDIsysParser() : WorkBuf(new unsigned char[300])
{
    AckFlag.store(false, std::memory_order_relaxed);
}

void MIDIsysParser::AnalyzeSys(unsigned char *msg)
{
    // Clearing publishes nothing, but it acquires: a version reply below overwrites CurVersion,
    // which the GUI thread may have read after an earlier Ack(). The Ack() calls it made since
    // (release) order that read before this write; without the acquire only the device's
    // round trip would, which the language's rules do not count.
    AckFlag.exchange(false, std::memory_order_acquire);

    const bool ours = msg[0] == 0xF0 && msg[1] == 0x7E && msg[2] == DeviceNumber;
    if (ours && msg[3] == 0x7F && msg[4] == 0x00 && msg[5] == 0xF7) {
        AckFlag.store(true, std::memory_order_release);
        return;
    }
    static const unsigned char versionHeader[6] = {0x07, 0x02, 0x76, 0x65, 0x72, 0x2E};
    if (!ours || std::memcmp(msg + 3, versionHeader, sizeof versionHeader) != 0) {
        // The message ends at its F7; 8 bytes tell whether it goes on past the 7 recorded.
        int n = 1;
        while (n < 8 && msg[n - 1] != 0xF7)
            ++n;
        RecordOther(msg, n);
        return;
    }

    const qint64 len = from28Bits(msg + 9);

    // Only payload that stands before the message's own F7 is copied: behind it the receive
    // buffer holds the F7 and stale bytes of earlier messages, which are no version text. The
    // search stays within the bytes that may be copied (position 34 at most), since no length
    // comes with msg. An F7 among the length bytes means no payload at all.
    int copy = len > MaxVersionChars ? MaxVersionChars : int(len);
    for (int i = 9; i < VersionPayloadPosition; ++i)
        if (msg[i] == 0xF7)
            copy = 0;
    for (int i = 0; i < copy; ++i) {
        if (msg[VersionPayloadPosition + i] == 0xF7) {
            copy = i;
            break;
        }
    }
    // The announced length, even when less arrived.
    StoreVersion(msg + VersionPayloadPosition, copy, len);
    AckFlag.store(true, std::memory_order_release);
}

void MIDIsysParser::StoreVersion(const unsigned char *text, int n, qint64 length)
{
    n = std::max(0, std::min(n, MaxVersionChars));
    std::memcpy(CurVersion, text, size_t(n));
    CurVersion[n] = '\0';
    CurVersionLen = length;

    quint64 words[VersionTextWords + 1] = {quint64(length)};
    for (int i = 0; i < n && text[i] != 0; ++i)
        words[1 + i / 8] |= quint64(text[i]) << (8 * (i % 8));

    // One writer, so the count needs no read-modify-write.
    const quint32 seq = VersionSeq.load(std::memory_order_relaxed);
    VersionSeq.store(seq + 1, std::memory_order_relaxed);
    // Each word is released (rather than one fence, which ThreadSanitizer cannot follow): a
    // reader that takes any of them (acquire) also sees the odd count stored before it.
    for (int i = 0; i <= VersionTextWords; ++i)
        VersionWords[i].store(words[i], std::memory_order_release);
    // Publishes the words: a reader that sees this count (acquire) sees all of them.
    VersionSeq.store(seq + 2, std::memory_order_release);
}

qint64 MIDIsysParser::ReadVersion(QByteArray *text) const
{
    quint64 words[VersionTextWords + 1];
    for (;;) {
        const quint32 before = VersionSeq.load(std::memory_order_acquire);
        if (before & 1) {
            std::this_thread::yield(); // a write is under way; it is short and never waits
            continue;
        }
        // Acquire: a word of a later write brings that write's odd count, so the second look
        // below sees a changed count; and no later load moves before these.
        for (int i = 0; i <= VersionTextWords; ++i)
            words[i] = VersionWords[i].load(std::memory_order_acquire);
        if (VersionSeq.load(std::memory_order_relaxed) == before)
            break;
    }
    if (text) {
        text->clear();
        for (int i = 0; i < MaxVersionChars; ++i) {
            const char c = char((words[1 + i / 8] >> (8 * (i % 8))) & 0xFF);
            if (c == 0)
                break;
            text->append(c);
        }
    }
    return qint64(words[0]);
}

void MIDIsysParser::RecordOther(const unsigned char *bytes, int n)
{
    // One word, so the GUI thread never reads the bytes of one message with the length of
    // another: 7 bytes, their number in bits 56-59, bit 63 when the message went on.
    quint64 packed = 0;
    const int shown = std::min(n, 7);
    for (int i = 0; i < shown; ++i)
        packed |= quint64(bytes[i]) << (8 * i);
    packed |= quint64(shown) << 56;
    if (n > 7)
        packed |= quint64(1) << 63;
    OtherStart.store(packed, std::memory_order_relaxed);
    // Whoever sees the new count (acquire) sees these bytes or a later message's.
    OtherCount.fetch_add(1, std::memory_order_release);
}

QString otherStartText(quint64 packed)
{
    const int shown = int((packed >> 56) & 0x0F);
    QByteArray bytes;
    for (int i = 0; i < shown && i < 7; ++i)
        bytes += char((packed >> (8 * i)) & 0xFF);
    QString text = QString::fromLatin1(bytes.toHex(' ').toUpper());
    if (packed >> 63)
        text += QStringLiteral(" \u2026");
    return text;
}

bool MIDIsysParser::Ack()
{
    return AckFlag.exchange(false, std::memory_order_acq_rel);
}

void MIDIsysParser::DebugSys(unsigned char *) {}

void MIDIsysParser::OpenStr(int n)
{
    StrIndex = 0;
    StrSize = n;
    OutCount = 0;
}

int MIDIsysParser::make7(unsigned char *src, char *dst, int n)
{
    for (int i = 0; i < n; i += 7) {
        const int slot = OutCount++;
        unsigned char group = 0;
        for (int t = 0; t < 7 && i + t < n; ++t) {
            const unsigned char b = src[i + t];
            dst[OutCount++] = char(b & 0x7F);
            if (b & 0x80)
                group |= 0x40 >> t;
        }
        dst[slot] = char(group);
    }
    return OutCount;
}

int MIDIsysParser::make8(char *src, unsigned char *dst, int n)
{
    int out = 0;
    for (int i = 0; i < n; i += 8) {
        const unsigned char group = static_cast<unsigned char>(src[i]);
        for (int t = 0; t < 7 && i + 1 + t < n; ++t) {
            unsigned char b = static_cast<unsigned char>(src[i + 1 + t]);
            if (group & (0x40 >> t))
                b |= 0x80;
            dst[out++] = b;
        }
    }
    return out;
}

void MIDIsysParser::GetFileVersion(unsigned char *msg, int n)
{
    if (n < 0)
        n = 0;
    int end = n + 3;
    while (msg[end] != 0xF7)
        ++end;
    const int c = end - 1;
    unsigned char sum = 0;
    for (int i = 1; i < c; ++i)
        sum ^= msg[i];

    PacketNumber = msg[n];
    PacketCount = msg[n + 1] + 1;
    if ((sum & 0x7F) != msg[c])
        return;

    // The count byte comes from outside: a count larger than the packet would unpack its
    // checksum, its F7 and whatever lies behind the message. Only the packed bytes in front of
    // the checksum are unpacked.
    const int packed = std::min(PacketCount, c - (n + 2));
    const int d = make8(reinterpret_cast<char *>(msg + n + 2), WorkBuf, packed);
    int sep = 0;
    while (sep < d && WorkBuf[sep] != ';')
        ++sep;
    // Without a ";" the whole text is taken as the firmware revision, and the data revision,
    // having nothing after a separator, keeps its text, as when the ";" ends the packet.
    setRevision(FwRev, WorkBuf, sep);
    if (sep < d)
        setRevision(DataRev, WorkBuf + sep + 1, d - sep - 1);

    DisplayVersion();
}

void MIDIsysParser::DisplayVersion()
{
    // The precision keeps a field that lost its terminator from running into its neighbour.
    std::snprintf(y, sizeof y, "Firmware rev. %.19s\nData rev. %.19s", FwRev, DataRev);
}

int MIDIsysParser::CheckVersion()
{
    // Only the leading component decides, read in full as atoi would (so "0002.1" is 2, not a
    // 3-character "000"); further components, however many or long, do not matter. Without a
    // "." the whole text is that component, so "1" counts like "1.0". The reading never leaves
    // the field, and a value too big for an int stays big instead of wrapping round.
    const int size = int(sizeof DataRev);
    int i = 0;
    while (i < size && std::isspace(static_cast<unsigned char>(DataRev[i])))
        ++i;
    bool negative = false;
    if (i < size && (DataRev[i] == '+' || DataRev[i] == '-')) {
        negative = DataRev[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < size && DataRev[i] >= '0' && DataRev[i] <= '9'; ++i) {
        if (value <= INT_MAX)
            value = value * 10 + (DataRev[i] - '0');
    }
    if (negative)
        value = -value;
    return value == 0 || value == 1 ? 1 : -1;
}

qint64 MIDIsysParser::GetFileName(char *name)
{
    FileNumber = -1;
    FileAddress = -1;
    if (xstrncmp(name, const_cast<char *>("BIN "), 4) != 0)
        return -1;
    const qint64 address = for42long(name + 4);
    FileAddress = address;
    if (xstrncmp(name + 8, const_cast<char *>("VER"), 3) == 0)
        FileNumber = 0;
    else if (xstrncmp(name + 8, const_cast<char *>("MEM"), 3) == 0)
        FileNumber = xatoi(name + 11, 4);
    return address;
}

int MIDIsysParser::CheckFileName(char *name)
{
    if (xstrncmp(name, const_cast<char *>("BIN "), 4) != 0)
        return -1;
    // A record that is exactly "MEM" carries no digits, so its number reads as 0.
    if (xstrncmp(name + 4, const_cast<char *>("MEM"), 4) == 0)
        return xatoi(name + 4, 4);
    if (xstrncmp(name + 4, const_cast<char *>("VER"), 4) == 0)
        return 0;
    return -1;
}

unsigned char MIDIsysParser::CheckHeader(int *pos, unsigned char *msg)
{
    *pos = -1;
    if (msg[0] != 0xF0 || msg[1] != 0x7E || msg[2] != 0x01)
        return 0xFF;
    if (msg[3] == 0x07) {
        *pos = 5;
        return msg[4];
    }
    if (msg[3] >= 0x7B && msg[3] <= 0x7F)
        return msg[3];
    return 0xFF;
}

qint64 MIDIsysParser::for42long(char *p)
{
    return from28Bits(reinterpret_cast<unsigned char *>(p));
}

qint64 from28Bits(const unsigned char *p)
{
    return qint64(p[0]) << 21 | qint64(p[1]) << 14 | qint64(p[2]) << 7 | qint64(p[3]);
}

// A "MEM" record's number: its leading decimal digits, at most n of them, so "MEM0042" is 42.
// The reading stops at the first non-digit (the terminator included), so it never runs past the
// text; no digits, or n of 0 or less, give 0.
int xatoi(char *text, int n)
{
    int value = 0;
    for (int i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT_MAX - 9) / 10)
            break; // more digits than an int holds: keep the leading ones
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int xstrncmp(char *a, char *b, int n)
{
    // Stops at the first difference, so a shorter text ends the reading at its terminator.
    for (int i = 0; i < n; ++i)
        if (a[i] != b[i])
            return -1;
    return 0;
}

int strcmp(char *a, char *b)
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

int strcmp(const char *a, char *b)
{
    return std::strcmp(a, static_cast<const char *>(b));
}

int strcmp(const wchar_t *a, char *b)
{
    return std::strcmp(reinterpret_cast<const char *>(a), static_cast<const char *>(b));
}

char *strcpy(char *dst, const wchar_t *src)
{
    return std::strcpy(dst, reinterpret_cast<const char *>(src));
}
