// Helpers shared by the suites: the protocol's bytes and messages, update files on disk, and the
// receive path's global state.
#pragma once

#include "midi/SysExAssembler.h"
#include "update/MIDIsysParser.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

#ifdef MAKE_UPDATE_PATH
#include <QProcess>
#endif

#if defined(__SANITIZE_ADDRESS__) && defined(CORVANE_LARGER_THAN_MEMORY_CASES)
// An allocation larger than memory must come back as null, as it does without the sanitizer,
// instead of aborting the run: the oversized-file cases depend on it. Only the suites that have
// such cases ask for it; the others keep the sanitizer's report.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

// Bytes written as hexadecimal text; blanks between the bytes are skipped.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Four 7-bit bytes, most significant first.
inline QByteArray number28(qint64 v)
{
    QByteArray out;
    for (int shift = 21; shift >= 0; shift -= 7)
        out += char((v >> shift) & 0x7F);
    return out;
}

inline const QByteArray kAck = hex("F0 7E 10 7F 00 F7");
inline const QByteArray kIdentityRequest = hex("F0 7E 10 06 01 F7");

// A version reply carrying `payload` and announcing `announced` bytes (by default its size).
inline QByteArray versionReply(const QByteArray &payload, qint64 announced = -1)
{
    return hex("F0 7E 10 07 02 76 65 72 2E") +
           number28(announced < 0 ? payload.size() : announced) + payload + char(0xF7);
}

// A header message: the fixed bytes, parameter 1, parameters 2 to 7, the version text and its 00
// (unless left out), filler up to `size` bytes, then the F7.
inline QByteArray headerMessage(const QByteArray &version, qint64 param1 = 0,
                                const QList<qint64> &params = QList<qint64>{0, 0, 0, 0, 0, 0},
                                int size = 0, bool withNul = true)
{
    QByteArray m = hex("F0 7E 10 07 02") + number28(param1);
    for (qint64 p : params)
        m += number28(p);
    m += version;
    if (withNul)
        m += '\0';
    while (m.size() < size - 1)
        m += char(m.size() & 0x7F);
    return m + char(0xF7);
}

// Bytes cut as the updater cuts a file: each message ends at the first F7; bytes after the last
// F7 make one more.
inline QByteArrayList messagesOf(const QByteArray &bytes)
{
    QByteArrayList out;
    int start = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (uchar(bytes.at(i)) == 0xF7) {
            out << bytes.mid(start, i + 1 - start);
            start = i + 1;
        }
    }
    if (start < bytes.size())
        out << bytes.mid(start);
    return out;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// Makes the new folder `parent` and `folder` (empty for none) in it, and writes `bytes` to `name`
// there (unless `write` is false), through the raw UTF-8 bytes of the names and not through Qt's
// own name conversion. Returns the path as the updater gets it, or "" on failure.
inline QString writeRawPath(const QByteArray &parent, const QByteArray &folder,
                            const QByteArray &name, const QByteArray &bytes, bool write = true)
{
    QByteArray rawDir = parent;
    if (::mkdir(rawDir.constData(), 0755) != 0)
        return QString();
    if (!folder.isEmpty()) {
        rawDir += '/' + folder;
        if (::mkdir(rawDir.constData(), 0755) != 0)
            return QString();
    }
    const QByteArray rawPath = rawDir + '/' + name;
    if (write) {
        FILE *f = std::fopen(rawPath.constData(), "wb");
        if (!f)
            return QString();
        const bool whole =
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f) == size_t(bytes.size());
        if (std::fclose(f) != 0 || !whole)
            return QString();
    }
    return QString::fromUtf8(rawPath);
}

// A sparse file of 1 PiB, past any address space, so its buffer can never be had; null where no
// file system holds one.
inline std::unique_ptr<QTemporaryFile> hugeSparseFile()
{
    for (const QString &where : {QStringLiteral("/dev/shm"), QDir::tempPath()}) {
        std::unique_ptr<QTemporaryFile> f(
            new QTemporaryFile(where + QStringLiteral("/corvane-huge-XXXXXX.cvn")));
        if (f->open() && f->resize(qint64(1) << 50)) {
            f->close();
            return f;
        }
    }
    return nullptr;
}

// Hands bytes to the input callback as RtMidi does, one delivery per element.
inline void deliver(const QByteArrayList &deliveries)
{
    for (const QByteArray &d : deliveries) {
        std::vector<unsigned char> message(d.begin(), d.end());
        mycallback(0.0, &message, nullptr);
    }
}

inline void deliver(const QByteArray &bytes)
{
    deliver(QByteArrayList{bytes});
}

// The parser as at program start: no reply seen or waiting; CurVersion and CurVersionLen as
// given (a seed tells an untouched one apart).
inline void resetReplies(const QByteArray &version = QByteArray(), qint64 length = 0)
{
    while (gMIDIsysParser.Ack()) {
    }
    std::memset(gMIDIsysParser.CurVersion, 0, sizeof gMIDIsysParser.CurVersion);
    gMIDIsysParser.StoreVersion(reinterpret_cast<const unsigned char *>(version.constData()),
                                version.size(), length);
}

// The same with an empty receive buffer, which the MIDI input thread writes unsynchronised: only
// where no input thread delivers.
inline void resetReceivePath(const QByteArray &version = QByteArray(), qint64 length = 0)
{
    std::memset(SysMsg, 0, sizeof SysMsg);
    SysIndex = 0;
    resetReplies(version, length);
}

// The 28-bit numbers that both decoders (MIDIsysParser::for42long and HandleSys::iConvert) are
// checked on: rows of `bytes` and `value`.
inline void add28BitNumberRows()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("value");
    QTest::newRow("00 00 00 00") << hex("00 00 00 00") << qint64(0);
    QTest::newRow("00 00 00 01") << hex("00 00 00 01") << qint64(1);
    QTest::newRow("00 00 00 7F") << hex("00 00 00 7F") << qint64(0x7F);
    QTest::newRow("00 00 01 00") << hex("00 00 01 00") << qint64(128);
    QTest::newRow("00 01 00 00") << hex("00 01 00 00") << qint64(16384);
    QTest::newRow("01 00 00 00") << hex("01 00 00 00") << qint64(0x200000);
    QTest::newRow("01 02 03 04") << hex("01 02 03 04") << qint64(0x208184);
    QTest::newRow("12 34 56 78") << hex("12 34 56 78") << qint64(38611832);
    QTest::newRow("40 00 00 00") << hex("40 00 00 00") << qint64(0x08000000);
    QTest::newRow("ver. prefix") << hex("76 65 72 2E") << qint64(249133358);
    QTest::newRow("7F 7F 7F 7F") << hex("7F 7F 7F 7F") << qint64(0x0FFFFFFF);
}

#ifdef MAKE_UPDATE_PATH
// Runs the update file writer; the path on success, "" otherwise (its errors in `errors`).
inline QString makeUpdate(const QString &path, const QStringList &options,
                          QString *errors = nullptr, int *exitCode = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(MAKE_UPDATE_PATH), QStringList(options) << path);
    const bool ended =
        process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    if (exitCode)
        *exitCode = ended ? process.exitCode() : -1;
    return ended && process.exitCode() == 0 ? path : QString();
}
#endif
