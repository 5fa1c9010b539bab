// Recognises the device's replies (ACK and version) and offers the protocol's codec operations.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cwchar>

class MIDIsysParser
{
public:
    MIDIsysParser();

    void AnalyzeSys(unsigned char *msg);
    bool Ack();
    // The announced length of the last version reply (0 before any), with its text in *text (at
    // most 22 bytes, up to the first zero, as CurVersion holds it), both from one reply. Any
    // thread, any time: unlike CurVersion, it is never read half-written.
    qint64 ReadVersion(QByteArray *text) const;
    // Records a version reply: CurVersion, CurVersionLen and what ReadVersion returns. Only the
    // thread that receives replies may call it (or another one while none is delivered).
    void StoreVersion(const unsigned char *text, int n, qint64 length);
    void DebugSys(unsigned char *msg);

    void OpenStr(int n);
    int make7(unsigned char *src, char *dst, int n);
    int make8(char *src, unsigned char *dst, int n);
    void GetFileVersion(unsigned char *msg, int n);
    void DisplayVersion();
    int CheckVersion();
    qint64 GetFileName(char *name);
    int CheckFileName(char *name);
    unsigned char CheckHeader(int *pos, unsigned char *msg);
    qint64 for42long(char *p);

    // No initialisers: the one instance lives in static storage, which starts zeroed, and its
    // constructor runs when the port manager has already started the MIDI input thread. Writing
    // the fields that thread uses again there would be plain writes that only the MIDI service's
    // own scheduling orders before the thread's first use.
    unsigned char *WorkBuf;
    int FileNumber;
    qint64 FileAddress;
    int StrIndex;
    int StrSize;
    int OutCount;
    int PacketCount;
    int PacketNumber;
    char FwRev[20];
    char DataRev[20];
    // Raised (release) on the MIDI input thread, taken (acquire) on the GUI thread; it publishes
    // CurVersion and CurVersionLen written before it.
    std::atomic<bool> AckFlag;
    char CurVersion[23];
    qint64 CurVersionLen;
    // The same reply for ReadVersion, behind a sequence count that is odd while StoreVersion
    // writes: the length, then the text's 22 bytes, zero-padded, 8 to a word. Atomics, so that a
    // reader that overlaps a write reads stale or new words but no undefined values, and retries.
    std::atomic<quint32> VersionSeq;
    std::atomic<quint64> VersionWords[4];
    // What came from the device that was no acknowledgement, so that a device that answers
    // "no" can be told from a silent one. Written on the MIDI input thread only: the count of
    // such messages (release), after the last one's first bytes (see RecordOther).
    std::atomic<quint32> OtherCount;
    std::atomic<quint64> OtherStart;

    // When set, called on the MIDI input thread after each message from the device has been
    // handled, so a waiting thread can sleep until a reply instead of polling. It must not block.
    std::atomic<void (*)()> ReplyWaker;

    // Records one message that is no reply: up to its first 7 bytes.
    void RecordOther(const unsigned char *bytes, int n);
};

// The bytes that OtherStart holds, in hexadecimal ("F0 7E 10 7F 01 F7"), with "…" when the
// message went on.
QString otherStartText(quint64 packed);

extern MIDIsysParser gMIDIsysParser;
extern char y[1000];

// A number of 28 bits carried in four 7-bit bytes, the most significant first: the one decoder of
// the file's header parameters, the device's record addresses and its version length.
qint64 from28Bits(const unsigned char *p);
int xatoi(char *text, int n);
int xstrncmp(char *a, char *b, int n);
int strcmp(char *a, char *b);
int strcmp(const char *a, char *b);
int strcmp(const wchar_t *a, char *b);
char *strcpy(char *dst, const wchar_t *src);
