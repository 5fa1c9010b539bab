// The acknowledgement handshake across threads: replies (and messages that are none) arrive through
// mycallback on one thread while the main thread, standing in for the GUI thread, polls Ack() as
// the update transfer does.
#include "midi/SysExAssembler.h"
#include "update/MIDIsysParser.h"

#include "UpdateTestSupport.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

struct Reply {
    std::vector<unsigned char> bytes;
    bool isVersion = false;
    QByteArray text; // what CurVersion must read after a version reply
    qint64 length = 0;
};

// Every third reply is a version reply of 0 to 30 announced and carried bytes, the rest ACKs.
Reply replyFor(int i)
{
    Reply r;
    if (i % 3 != 0) {
        r.bytes = {0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
        return r;
    }
    r.isVersion = true;
    r.length = (i / 3) % 31;
    r.bytes = {0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E, 0x00, 0x00};
    r.bytes.push_back(static_cast<unsigned char>(r.length >> 7));
    r.bytes.push_back(static_cast<unsigned char>(r.length & 0x7F));
    for (int j = 0; j < r.length; ++j) {
        const char c = char('A' + (i + j) % 26);
        r.bytes.push_back(static_cast<unsigned char>(c));
        if (j < 22)
            r.text.append(c);
    }
    r.bytes.push_back(0xF7);
    return r;
}

// Hands a reply over the way RtMidi may: in pieces, some with a timing clock byte in front.
void deliver(const Reply &r, int i)
{
    const std::size_t piece = std::size_t(i % 5) + 1;
    for (std::size_t at = 0; at < r.bytes.size(); at += piece) {
        std::vector<unsigned char> part;
        if ((i + at) % 4 == 0)
            part.push_back(0xF8);
        for (std::size_t k = at; k < at + piece && k < r.bytes.size(); ++k)
            part.push_back(r.bytes[k]);
        mycallback(0.0, &part, nullptr);
    }
}

} // namespace

class TestThreads : public QObject
{
    Q_OBJECT

private slots:
    void everyReplyTakenOnce();
    void versionReadWhole();
};

void TestThreads::everyReplyTakenOnce()
{
    const int replies = 10000;

    resetReceivePath();
    const quint32 base = gMIDIsysParser.OtherCount.load(std::memory_order_acquire);

    std::atomic<int> sent{0};  // replies the deliverer has begun to hand over
    std::atomic<int> taken{0}; // replies the main thread has taken through Ack()
    std::atomic<bool> stop{false};

    std::thread deliverer([&] {
        for (int i = 0; i < replies; ++i) {
            sent.store(i + 1, std::memory_order_release);
            if (i % 4 == 1) // a message that is no reply, which the GUI thread is to see counted
                deliver(Reply{{0xF0, 0x7E, 0x10, 0x7F, 0x01, 0xF7}, false, {}, 0}, i);
            deliver(replyFor(i), i);
            // One reply per message: the next comes only after this one was taken.
            while (taken.load(std::memory_order_acquire) < i + 1) {
                if (stop.load(std::memory_order_acquire))
                    return;
                std::this_thread::yield();
            }
        }
    });

    int acks = 0;
    QByteArray expectedText;
    qint64 expectedLength = 0;
    QString failure;
    // Generous: a loaded machine under ThreadSanitizer can stall a thread for seconds.
    const int stallMs = 30 * 1000;
    QDeadlineTimer deadline(stallMs);
    while (acks < replies && failure.isEmpty()) {
        if (!gMIDIsysParser.Ack()) {
            if (deadline.hasExpired())
                failure = QStringLiteral("reply %1 never acknowledged").arg(acks);
            std::this_thread::yield();
            continue;
        }
        ++acks;
        deadline.setRemainingTime(stallMs);
        if (sent.load(std::memory_order_acquire) != acks) {
            failure = QStringLiteral("acknowledgement %1 seen twice").arg(acks - 1);
            break;
        }
        // What came before the reply is published with it.
        const quint32 others = gMIDIsysParser.OtherCount.load(std::memory_order_acquire) - base;
        if (others != quint32(acks + 2) / 4 ||
            (others && otherStartText(gMIDIsysParser.OtherStart.load(std::memory_order_relaxed)) !=
                           QLatin1String("F0 7E 10 7F 01 F7"))) {
            failure = QStringLiteral("after reply %1: %2 other messages").arg(acks - 1).arg(others);
            break;
        }
        const Reply r = replyFor(acks - 1);
        if (r.isVersion) {
            expectedText = r.text;
            expectedLength = r.length;
        }
        const char *text = gMIDIsysParser.CurVersion;
        const QByteArray got(text, int(qstrnlen(text, sizeof gMIDIsysParser.CurVersion)));
        if (got != expectedText || gMIDIsysParser.CurVersionLen != expectedLength) {
            failure = QStringLiteral("after reply %1: CurVersion \"%2\" (%3), expected \"%4\" (%5)")
                          .arg(acks - 1)
                          .arg(QString::fromLatin1(got))
                          .arg(gMIDIsysParser.CurVersionLen)
                          .arg(QString::fromLatin1(expectedText))
                          .arg(expectedLength);
            break;
        }
        taken.store(acks, std::memory_order_release);
    }
    stop.store(true, std::memory_order_release);
    deliverer.join();

    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(acks, replies);
    QVERIFY2(!gMIDIsysParser.Ack(), "an acknowledgement was left over");
}

// Version replies of two lengths flood in while the main thread reads the version: every read
// must be one reply's whole text with that reply's length, never parts of two.
void TestThreads::versionReadWhole()
{
    const QByteArray texts[2] = {"1.0.0", "22.33.44-rc.5+build.67"};
    resetReceivePath();
    deliver(versionReply(texts[0]));
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (int i = 1; !stop.load(std::memory_order_relaxed); ++i)
            deliver(versionReply(texts[i % 2]));
    });
    QString failure;
    int changes = 0;
    QElapsedTimer clock;
    clock.start();
    // Bounded in time too: ThreadSanitizer slows the flood down.
    for (qint64 last = 0; failure.isEmpty() && changes < 50000 && clock.elapsed() < 2000;) {
        QByteArray text;
        const qint64 length = gMIDIsysParser.ReadVersion(&text);
        if ((text != texts[0] && text != texts[1]) || length != text.size())
            failure =
                QStringLiteral("%1 bytes \"%2\", length %3")
                    .arg(QString::number(text.size()),
                         QString::fromLatin1(text.toPercentEncoding()), QString::number(length));
        changes += length != last;
        last = length;
    }
    stop.store(true, std::memory_order_relaxed);
    flood.join();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY2(changes > 1, "no reply came in while the version was read");
}

QTEST_GUILESS_MAIN(TestThreads)
#include "tst_threads.moc"
