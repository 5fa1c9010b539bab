// The receive path as RtMidi drives it: byte vectors handed to mycallback, assembled in SysMsg and
// recognised by gMIDIsysParser.
#include "midi/SysExAssembler.h"
#include "update/MIDIsysParser.h"

#include "UpdateTestSupport.h"

#include <QtTest>

#include <cstring>
#include <vector>

namespace
{

QByteArray dataRun(int n)
{
    QByteArray d;
    for (int i = 0; i < n; ++i)
        d.append(char(i % 0x80));
    return d;
}

QByteArray sysEx(const QByteArray &data)
{
    return char(0xF0) + data + char(0xF7);
}

// Cuts one byte sequence into deliveries of `size` bytes.
QByteArrayList pieces(const QByteArray &bytes, int size)
{
    QByteArrayList list;
    for (int i = 0; i < bytes.size(); i += size)
        list.append(bytes.mid(i, size));
    return list;
}

QByteArray wholeBuffer()
{
    return QByteArray(reinterpret_cast<const char *>(SysMsg), int(sizeof SysMsg));
}

QByteArray padded(QByteArray prefix)
{
    prefix.append(QByteArray(int(sizeof SysMsg) - prefix.size(), '\0'));
    return prefix;
}

} // namespace

class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void assembly_data();
    void assembly();
    void replies_data();
    void replies();
    void ackIsTakenOnce();
};

void TestReceive::assembly_data()
{
    QTest::addColumn<QByteArrayList>("deliveries");
    QTest::addColumn<QByteArray>("buffer"); // SysMsg from position 0; the rest stays zero
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("ack");

    const QByteArray ackBuffer = kAck;

    QTest::newRow("zero-byte delivery")
        << QByteArrayList{QByteArray()} << QByteArray() << 0 << false;
    QTest::newRow("ACK whole") << QByteArrayList{kAck} << ackBuffer << 5 << true;
    QTest::newRow("ACK in two pieces")
        << QByteArrayList{hex("F0 7E 10"), hex("7F 00 F7")} << ackBuffer << 5 << true;
    QTest::newRow("ACK byte by byte") << pieces(kAck, 1) << ackBuffer << 5 << true;
    QTest::newRow("ACK with empty deliveries between")
        << QByteArrayList{QByteArray(), hex("F0 7E 10"), QByteArray(), hex("7F 00 F7")} << ackBuffer
        << 5 << true;

    for (const char *rt : {"F8", "FE", "FA", "FF"}) {
        for (int at = 1; at < kAck.size(); ++at) {
            QByteArray m = kAck;
            m.insert(at, hex(rt));
            QTest::addRow("%s inside ACK at %d", rt, at)
                << QByteArrayList{m} << ackBuffer << 5 << true;
            QTest::addRow("%s as own delivery at %d", rt, at)
                << QByteArrayList{kAck.left(at), hex(rt), kAck.mid(at)} << ackBuffer << 5 << true;
        }
    }

    QTest::newRow("channel message inside SysEx")
        << QByteArrayList{hex("F0 7E"), hex("90 3C 64"), hex("10 7F 00 F7")}
        << hex("F0 7E 3C 64 10 7F 00 F7") << 7 << false;
    QTest::newRow("other status bytes ignored")
        << QByteArrayList{hex("F0 7E 80 F1 F2 10 F3 F4 F5 F6 EF 7F 00 F7")} << ackBuffer << 5
        << true;
    QTest::newRow("F0 restarts, tail of the longer message stays")
        << QByteArrayList{hex("F0 01 02 03 04 05 06 07"), kAck} << hex("F0 7E 10 7F 00 F7 06 07")
        << 5 << true;
    QTest::newRow("data after ACK extend it, no call yet")
        << QByteArrayList{kAck, hex("01 02")} << hex("F0 7E 10 7F 00 01 02") << 7 << true;
    QTest::newRow("extended ACK handed on again at F7")
        << QByteArrayList{kAck, hex("01 02"), hex("F7")} << hex("F0 7E 10 7F 00 01 02 F7") << 7
        << false;
    QTest::newRow("data before any F0 dropped")
        << QByteArrayList{hex("01 02 03 7F")} << QByteArray() << 0 << false;
    QTest::newRow("data before F0, then ACK")
        << QByteArrayList{hex("01 02 03"), kAck} << ackBuffer << 5 << true;
    QTest::newRow("F7 before any F0") << QByteArrayList{hex("F7")} << hex("F7") << 0 << false;
    QTest::newRow("F7 before any F0, data still dropped")
        << QByteArrayList{hex("F7 01 02")} << hex("F7") << 0 << false;
    QTest::newRow("F7 before any F0, then ACK")
        << QByteArrayList{hex("F7 01"), kAck} << ackBuffer << 5 << true;
    QTest::newRow("one delivery: ACK then other message")
        << QByteArrayList{kAck + hex("F0 7E 10 7F 01 F7")} << hex("F0 7E 10 7F 01 F7") << 5
        << false;
    QTest::newRow("one delivery: other message then ACK")
        << QByteArrayList{hex("F0 7E 10 7F 01 F7") + kAck} << ackBuffer << 5 << true;

    const QByteArray oversize = sysEx(dataRun(400));
    const QByteArray cut = char(0xF0) + dataRun(302) + char(0xF7);
    QTest::newRow("400 data bytes") << QByteArrayList{oversize} << cut << 303 << false;
    QTest::newRow("400 data bytes in pieces") << pieces(oversize, 37) << cut << 303 << false;
    QTest::newRow("400 data bytes, then more data and F7")
        << QByteArrayList{oversize, hex("11 22 33"), hex("F7")} << cut << 303 << false;
    QTest::newRow("400 data bytes, then ACK")
        << QByteArrayList{oversize, kAck} << ackBuffer + cut.mid(6) << 5 << true;
    QTest::newRow("303-byte message fills the buffer exactly")
        << QByteArrayList{sysEx(dataRun(302))} << cut << 303 << false;
}

void TestReceive::assembly()
{
    QFETCH(QByteArrayList, deliveries);
    QFETCH(QByteArray, buffer);
    QFETCH(int, index);
    QFETCH(bool, ack);

    resetReceivePath("seed", 77); // a version text that shows when left untouched
    deliver(deliveries);

    QCOMPARE(wholeBuffer(), padded(buffer));
    QCOMPARE(SysIndex, index);
    QCOMPARE(gMIDIsysParser.Ack(), ack);
}

void TestReceive::replies_data()
{
    QTest::addColumn<QByteArrayList>("deliveries");
    QTest::addColumn<bool>("ack");
    QTest::addColumn<QByteArray>("curVersion");
    QTest::addColumn<qint64>("curVersionLen");

    const QByteArray seed("seed");
    const QByteArray v123 = hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 05 31 2E 32 2E 33 F7");
    const QByteArray thirty("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");

    QTest::newRow("ACK") << QByteArrayList{kAck} << true << seed << qint64(77);
    QTest::newRow("packet number 01")
        << QByteArrayList{hex("F0 7E 10 7F 01 F7")} << false << seed << qint64(77);
    QTest::newRow("device 11") << QByteArrayList{hex("F0 7E 11 7F 00 F7")} << false << seed
                               << qint64(77);
    QTest::newRow("real-time universal")
        << QByteArrayList{hex("F0 7F 10 7F 00 F7")} << false << seed << qint64(77);
    QTest::newRow("ACK without its F7 in place")
        << QByteArrayList{hex("F0 7E 10 7F 00 00 F7")} << false << seed << qint64(77);
    QTest::newRow("ACK, then non-ACK clears it")
        << QByteArrayList{kAck, hex("F0 7E 10 7F 01 F7")} << false << seed << qint64(77);
    QTest::newRow("ACK, then any other SysEx clears it")
        << QByteArrayList{kAck, hex("F0 01 F7")} << false << seed << qint64(77);

    QTest::newRow("version 1.2.3")
        << QByteArrayList{v123} << true << QByteArray("1.2.3") << qint64(5);
    QTest::newRow("version built the same")
        << QByteArrayList{versionReply("1.2.3", 5)} << true << QByteArray("1.2.3") << qint64(5);
    QTest::newRow("version, empty")
        << QByteArrayList{versionReply(QByteArray(), 0)} << true << QByteArray() << qint64(0);
    QTest::newRow("version, 22 characters") << QByteArrayList{versionReply(thirty.left(22), 22)}
                                            << true << thirty.left(22) << qint64(22);
    QTest::newRow("version, 23 characters cut to 22")
        << QByteArrayList{versionReply(thirty.left(23), 23)} << true << thirty.left(22)
        << qint64(23);
    QTest::newRow("version, 30 announced and carried")
        << QByteArrayList{versionReply(thirty, 30)} << true << thirty.left(22) << qint64(30);
    QTest::newRow("version, all four length bytes count")
        << QByteArrayList{hex("F0 7E 10 07 02 76 65 72 2E 01 02 03 04 61 62 63 F7")} << true
        << QByteArray("abc") << qint64(0x208184);
    QTest::newRow("version in pieces with real-time bytes")
        << QByteArrayList{hex("F0 7E 10 07 F8"), hex("02 76 65 72"), hex("FE 2E 00 00"),
                          hex("00 05 31 2E F8 32 2E"), hex("33 F7")}
        << true << QByteArray("1.2.3") << qint64(5);
    QTest::newRow("version header with wrong character")
        << QByteArrayList{hex("F0 7E 10 07 02 76 65 72 2C 00 00 00 01 31 F7")} << false << seed
        << qint64(77);
    QTest::newRow("version header of another device")
        << QByteArrayList{hex("F0 7E 11 07 02 76 65 72 2E 00 00 00 01 31 F7")} << false << seed
        << qint64(77);

    // Announced more than carried: only the payload before the message's F7 is text; behind it
    // lie the F7 and stale bytes of the longer message before.
    const QByteArray stale = sysEx(QByteArray(40, 'Z'));
    QTest::newRow("version, 10 announced, 3 carried, stale bytes behind")
        << QByteArrayList{stale, versionReply("1.2", 10)} << true << QByteArray("1.2")
        << qint64(10);
    QTest::newRow("version, 10 announced, 3 carried, fresh buffer")
        << QByteArrayList{versionReply("1.2", 10)} << true << QByteArray("1.2") << qint64(10);
    QTest::newRow("version, 30 announced, 3 carried, stale bytes behind")
        << QByteArrayList{stale, versionReply("1.2", 30)} << true << QByteArray("1.2")
        << qint64(30);
    QTest::newRow("version, 5 announced, none carried, stale bytes behind")
        << QByteArrayList{stale, versionReply(QByteArray(), 5)} << true << QByteArray()
        << qint64(5);
    // F7 in the length bytes: the length is still built from positions 9 to 12 (the F7 and a
    // stale 'Z'), but no payload arrived, so no text.
    QTest::newRow("version cut short in its length bytes, stale bytes behind")
        << QByteArrayList{stale, hex("F0 7E 10 07 02 76 65 72 2E 00 00 F7")} << true << QByteArray()
        << qint64(0xF7 << 7 | 'Z');

    QTest::newRow("version, then ACK keeps the text")
        << QByteArrayList{v123, kAck} << true << QByteArray("1.2.3") << qint64(5);
    QTest::newRow("version, then other message: text kept, ack lost")
        << QByteArrayList{v123, hex("F0 7E 10 7F 01 F7")} << false << QByteArray("1.2.3")
        << qint64(5);
    QTest::newRow("one delivery: two versions, the later counts")
        << QByteArrayList{versionReply("1.0", 3) + versionReply("2.10", 4)} << true
        << QByteArray("2.10") << qint64(4);
    QTest::newRow("one delivery: longer version, then shorter one")
        << QByteArrayList{versionReply("10.20.30", 8) + versionReply("4.5", 3)} << true
        << QByteArray("4.5") << qint64(3);
    QTest::newRow("one delivery: version then ACK")
        << QByteArrayList{v123 + kAck} << true << QByteArray("1.2.3") << qint64(5);

    const QByteArray longVersion =
        versionReply(QByteArray(22, 'A') + QByteArray(400 - 13, 'B'), 144); // 400 data bytes
    QTest::newRow("oversize version reply")
        << QByteArrayList{longVersion} << true << QByteArray(22, 'A') << qint64(144);
}

void TestReceive::replies()
{
    QFETCH(QByteArrayList, deliveries);
    QFETCH(bool, ack);
    QFETCH(QByteArray, curVersion);
    QFETCH(qint64, curVersionLen);

    resetReceivePath("seed", 77);
    deliver(deliveries);

    QCOMPARE(gMIDIsysParser.Ack(), ack);
    QVERIFY(!gMIDIsysParser.Ack());
    // The text up to its terminator, which must lie inside the field.
    const char *text = gMIDIsysParser.CurVersion;
    const uint length = qstrnlen(text, sizeof gMIDIsysParser.CurVersion);
    QVERIFY(length < sizeof gMIDIsysParser.CurVersion);
    QCOMPARE(QByteArray(text, int(length)), curVersion);
    QCOMPARE(gMIDIsysParser.CurVersionLen, curVersionLen);
    QVERIFY(SysIndex >= 0 && SysIndex <= 303);
}

// Each reply is taken exactly once, and the next one is seen again.
void TestReceive::ackIsTakenOnce()
{
    resetReceivePath("seed", 77);
    QVERIFY(!gMIDIsysParser.Ack());
    deliver({kAck});
    QVERIFY(gMIDIsysParser.Ack());
    QVERIFY(!gMIDIsysParser.Ack());
    deliver({versionReply("9.9", 3)});
    QVERIFY(gMIDIsysParser.Ack());
    QVERIFY(!gMIDIsysParser.Ack());
    deliver({kAck});
    QVERIFY(gMIDIsysParser.Ack());
    QVERIFY(!gMIDIsysParser.Ack());
    QCOMPARE(QByteArray(gMIDIsysParser.CurVersion), QByteArray("9.9"));
}

QTEST_GUILESS_MAIN(TestReceive)
#include "tst_receive.moc"
