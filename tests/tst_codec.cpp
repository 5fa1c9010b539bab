// The protocol codec of MIDIsysParser: 7-bit packing, revision packets, the data revision test,
// file name records, the header test and the free text helpers.
#include "update/MIDIsysParser.h"

#include "UpdateTestSupport.h"

#include <QtTest>

#include <cstring>
#include <vector>

namespace
{

// Marks destination bytes that must stay untouched.
constexpr char Untouched = char(0xAA);

MIDIsysParser &parser()
{
    return gMIDIsysParser;
}

unsigned char *bytes(QByteArray &a)
{
    return reinterpret_cast<unsigned char *>(a.data());
}

// The text of a zero-terminated field; the test fails unless the terminator is inside the field.
QByteArray fieldText(const char *field, int size)
{
    const uint length = qstrnlen(field, uint(size));
    if (int(length) >= size)
        return QByteArray("<no terminator>");
    return QByteArray(field, int(length));
}

void setField(char *field, int size, const QByteArray &text)
{
    std::memset(field, 0, size_t(size));
    std::memcpy(field, text.constData(), size_t(qMin(size, text.size())));
}

// Packs as the device does, written independently of the code under test: a group byte carrying
// bit 7 of up to seven bytes (first byte in mask 40), then the bytes with bit 7 cleared.
QByteArray pack7(const QByteArray &data)
{
    QByteArray out;
    for (int i = 0; i < data.size(); i += 7) {
        char group = 0;
        QByteArray body;
        for (int t = 0; t < 7 && i + t < data.size(); ++t) {
            const auto b = static_cast<unsigned char>(data[i + t]);
            body.append(char(b & 0x7F));
            if (b & 0x80)
                group = char(group | (0x40 >> t));
        }
        out.append(group);
        out.append(body);
    }
    return out;
}

// A revision packet: `prefix` fills positions 0 to n-1, then packet number, count, packed text,
// checksum and F7. An empty text is sent as a lone group byte.
QByteArray revisionPacket(const QByteArray &prefix, int number, const QByteArray &text)
{
    QByteArray packed = pack7(text);
    if (packed.isEmpty())
        packed = QByteArray(1, '\0');
    QByteArray m = prefix;
    m.append(char(number));
    m.append(char(packed.size() - 1));
    m.append(packed);
    unsigned char sum = 0;
    for (int i = 1; i < m.size(); ++i)
        sum ^= static_cast<unsigned char>(m[i]);
    m.append(char(sum & 0x7F));
    m.append(char(0xF7));
    return m;
}

const char *const ExampleOk = "F0 7E 10 07 02 03 09 00 31 2E 30 32 3B 33 2E 00 34 6E F7";
const char *const ExampleBadSum = "F0 7E 10 07 02 03 09 00 31 2E 30 32 3B 33 2E 00 34 6F F7";
const QByteArray FileDump = QByteArray::fromHex("F0 7E 10 07 02");

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void make7_data();
    void make7();
    void make7IgnoresNonPositiveCount();
    void make8_data();
    void make8();
    void make8GivesBackWhatMake7Packed_data();
    void make8GivesBackWhatMake7Packed();

    void revisionPacketLayout();
    void getFileVersion_data();
    void getFileVersion();
    void displayVersion_data();
    void displayVersion();
    void checkVersion_data();
    void checkVersion();

    void getFileName_data();
    void getFileName();
    void checkFileName_data();
    void checkFileName();
    void checkHeader_data();
    void checkHeader();
    void for42long_data();
    void for42long();
    void xatoi_data();
    void xatoi();
    void xstrncmp_data();
    void xstrncmp();
    void forwardingOverloads();
};

void TestCodec::make7_data()
{
    QTest::addColumn<QByteArrayList>("runs"); // successive make7 inputs after one OpenStr
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<QByteArray>("packed");

    QTest::newRow("41 C2 43") << QByteArrayList{hex("41 C2 43")} << QList<int>{4}
                              << hex("20 41 42 43");
    QTest::newRow("8 bytes, two groups") << QByteArrayList{hex("80 01 FF 7F 00 81 02 83")}
                                         << QList<int>{10} << hex("52 00 01 7F 7F 00 01 02 40 03");
    QTest::newRow("seven FF") << QByteArrayList{QByteArray(7, char(0xFF))} << QList<int>{8}
                              << hex("7F 7F 7F 7F 7F 7F 7F 7F");
    QTest::newRow("eight FF") << QByteArrayList{QByteArray(8, char(0xFF))} << QList<int>{10}
                              << hex("7F 7F 7F 7F 7F 7F 7F 7F 40 7F");
    QTest::newRow("14 bytes, bit 7 only in the last")
        << QByteArrayList{hex("00 00 00 00 00 00 00 00 00 00 00 00 00 80")} << QList<int>{16}
        << hex("00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00");
    QTest::newRow("nothing") << QByteArrayList{QByteArray()} << QList<int>{0} << QByteArray();
    QTest::newRow("two calls append, each a new group")
        << QByteArrayList{hex("81 02"), hex("03 84")} << QList<int>{3, 6}
        << hex("40 01 02 20 03 04");
    QTest::newRow("three calls, an empty one between")
        << QByteArrayList{hex("01"), QByteArray(), hex("82 83")} << QList<int>{2, 2, 5}
        << hex("00 01 60 02 03");
}

void TestCodec::make7()
{
    QFETCH(QByteArrayList, runs);
    QFETCH(QList<int>, results);
    QFETCH(QByteArray, packed);

    QByteArray dst(64, Untouched);
    parser().OpenStr(0);
    QList<int> got;
    for (QByteArray run : runs)
        got.append(parser().make7(bytes(run), dst.data(), run.size()));

    QCOMPARE(got, results);
    QCOMPARE(dst, packed + QByteArray(dst.size() - packed.size(), Untouched));
}

void TestCodec::make7IgnoresNonPositiveCount()
{
    QByteArray src = hex("41 C2 43");
    QByteArray dst(16, Untouched);
    parser().OpenStr(0);
    QCOMPARE(parser().make7(bytes(src), dst.data(), 3), 4);
    QCOMPARE(parser().make7(bytes(src), dst.data(), 0), 4);
    QCOMPARE(parser().make7(bytes(src), dst.data(), -5), 4);
    QCOMPARE(dst, hex("20 41 42 43") + QByteArray(12, Untouched));

    // OpenStr starts a new run from position 0.
    parser().OpenStr(100);
    QByteArray again = hex("81 02");
    QCOMPARE(parser().make7(bytes(again), dst.data(), 2), 3);
    QCOMPARE(dst, hex("40 01 02 43") + QByteArray(12, Untouched));
}

void TestCodec::make8_data()
{
    QTest::addColumn<QByteArray>("packed");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("unpacked");

    QTest::newRow("20 41 42 43") << hex("20 41 42 43") << 4 << hex("41 C2 43");
    QTest::newRow("two groups") << hex("52 00 01 7F 7F 00 01 02 40 03") << 10
                                << hex("80 01 FF 7F 00 81 02 83");
    QTest::newRow("group byte alone") << hex("7F") << 1 << QByteArray();
    QTest::newRow("full group, then a lone group byte")
        << hex("7F 01 02 03 04 05 06 07 7F") << 9 << hex("81 82 83 84 85 86 87");
    QTest::newRow("data bit 7 passes through") << hex("00 C1 02") << 3 << hex("C1 02");
    QTest::newRow("group bit 7 ignored") << hex("80 01 02") << 3 << hex("01 02");
    QTest::newRow("group bits of missing bytes ignored") << hex("7F 01") << 2 << hex("81");
    QTest::newRow("count shorter than the data") << hex("40 01 02 03") << 2 << hex("81");
    QTest::newRow("nothing") << hex("40 01") << 0 << QByteArray();
    QTest::newRow("negative count") << hex("40 01") << -3 << QByteArray();
}

void TestCodec::make8()
{
    QFETCH(QByteArray, packed);
    QFETCH(int, count);
    QFETCH(QByteArray, unpacked);

    QByteArray dst(32, Untouched);
    QCOMPARE(parser().make8(packed.data(), bytes(dst), count), unpacked.size());
    QCOMPARE(dst, unpacked + QByteArray(dst.size() - unpacked.size(), Untouched));
}

void TestCodec::make8GivesBackWhatMake7Packed_data()
{
    QTest::addColumn<QByteArrayList>("runs"); // make7 inputs after one OpenStr
    // Every byte value, bit 7 set and clear, in a pattern that does not repeat every 7 bytes.
    const auto data = [](int n, int seed) {
        QByteArray d(n, '\0');
        for (int i = 0; i < n; ++i)
            d[i] = char((i * 37 + seed * 101) & 0xFF);
        return d;
    };
    for (int n : {0, 1, 2, 6, 7, 8, 13, 14, 15, 300})
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(n))) << QByteArrayList{data(n, n)};
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QTest::newRow("every byte value") << QByteArrayList{all};
    // Runs appended without OpenStr start a group each; runs of whole groups unpack in one go.
    QTest::newRow("appended runs of 3, 0 and 10")
        << QByteArrayList{data(3, 1), QByteArray(), data(10, 2)};
    QTest::newRow("appended whole groups, then 5")
        << QByteArrayList{data(7, 3), QByteArray(), data(35, 4), data(5, 5)};
}

void TestCodec::make8GivesBackWhatMake7Packed()
{
    QFETCH(QByteArrayList, runs);

    QByteArray packed(400, Untouched);
    parser().OpenStr(runs.join().size());
    QList<int> ends;
    int end = 0;
    bool wholeGroups = true;
    for (int i = 0; i < runs.size(); ++i) {
        QByteArray src = runs.at(i);
        end += src.size() + (src.size() + 6) / 7;
        ends << parser().make7(bytes(src), packed.data(), src.size());
        QCOMPARE(ends.last(), end);
        wholeGroups = wholeGroups && (i == runs.size() - 1 || src.size() % 7 == 0);
    }
    QCOMPARE(packed.mid(end), QByteArray(packed.size() - end, Untouched));
    for (int i = 0; i < end; ++i)
        QVERIFY2((packed[i] & 0x80) == 0, qPrintable(QStringLiteral("byte %1 not 7-bit").arg(i)));

    int start = 0;
    for (int i = 0; i < runs.size(); ++i) {
        QByteArray back(runs.at(i).size() + 8, Untouched);
        QCOMPARE(parser().make8(packed.data() + start, bytes(back), ends.at(i) - start),
                 runs.at(i).size());
        QCOMPARE(back, runs.at(i) + QByteArray(8, Untouched));
        start = ends.at(i);
    }
    if (wholeGroups) {
        const QByteArray joined = runs.join();
        QByteArray back(joined.size() + 8, Untouched);
        QCOMPARE(parser().make8(packed.data(), bytes(back), end), joined.size());
        QCOMPARE(back, joined + QByteArray(8, Untouched));
    }
}

// The packets below are built by revisionPacket; it must give the worked example byte for byte.
void TestCodec::revisionPacketLayout()
{
    QCOMPARE(revisionPacket(FileDump, 3, "1.02;3.4"), hex(ExampleOk));
}

void TestCodec::getFileVersion_data()
{
    QTest::addColumn<QByteArrayList>("packets"); // fed in order; the row checks the state after
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("packetNumber");
    QTest::addColumn<int>("packetCount");
    QTest::addColumn<QByteArray>("fwRev");
    QTest::addColumn<QByteArray>("dataRev");
    QTest::addColumn<QByteArray>("y");

    // Every row starts from FwRev "oldfw", DataRev "olddata", y "oldy".
    const QByteArray oldY("oldy");
    const QByteArray keptY("Firmware rev. oldfw\nData rev. olddata");

    QTest::newRow("worked example")
        << QByteArrayList{hex(ExampleOk)} << 5 << 3 << 10 << QByteArray("1.02") << QByteArray("3.4")
        << QByteArray("Firmware rev. 1.02\nData rev. 3.4");
    QTest::newRow("wrong checksum: only number and count")
        << QByteArrayList{hex(ExampleBadSum)} << 5 << 3 << 10 << QByteArray("oldfw")
        << QByteArray("olddata") << oldY;
    QTest::newRow("good packet, then one with wrong checksum")
        << QByteArrayList{hex(ExampleOk), hex("F0 7E 10 07 02 09 01 00 31 00 F7")} << 5 << 9 << 2
        << QByteArray("1.02") << QByteArray("3.4")
        << QByteArray("Firmware rev. 1.02\nData rev. 3.4");
    QTest::newRow("checksum masked to 7 bits")
        << QByteArrayList{revisionPacket(hex("F0 81"), 1, "1;2")} << 2 << 1 << 4 << QByteArray("1")
        << QByteArray("2") << QByteArray("Firmware rev. 1\nData rev. 2");
    QTest::newRow("packet number at position 6")
        << QByteArrayList{revisionPacket(hex("F0 7E 10 07 02 55"), 7, "2;5")} << 6 << 7 << 4
        << QByteArray("2") << QByteArray("5") << QByteArray("Firmware rev. 2\nData rev. 5");
    QTest::newRow("n below 0 counts as 0")
        << QByteArrayList{revisionPacket(QByteArray(), 0x11, "A;B")} << -4 << 0x11 << 4
        << QByteArray("A") << QByteArray("B") << QByteArray("Firmware rev. A\nData rev. B");
    QTest::newRow("shorter texts end at their terminator")
        << QByteArrayList{revisionPacket(FileDump, 1, "9;8")} << 5 << 1 << 4 << QByteArray("9")
        << QByteArray("8") << QByteArray("Firmware rev. 9\nData rev. 8");
    QTest::newRow("first byte ';': firmware rev. kept")
        << QByteArrayList{revisionPacket(FileDump, 1, ";2.5")} << 5 << 1 << 5 << QByteArray("oldfw")
        << QByteArray("2.5") << QByteArray("Firmware rev. oldfw\nData rev. 2.5");
    QTest::newRow("nothing after ';': data rev. kept")
        << QByteArrayList{revisionPacket(FileDump, 1, "1.1;")} << 5 << 1 << 5 << QByteArray("1.1")
        << QByteArray("olddata") << QByteArray("Firmware rev. 1.1\nData rev. olddata");
    QTest::newRow("no ';': all firmware rev., data rev. kept")
        << QByteArrayList{revisionPacket(FileDump, 1, "1.0.7")} << 5 << 1 << 6
        << QByteArray("1.0.7") << QByteArray("olddata")
        << QByteArray("Firmware rev. 1.0.7\nData rev. olddata");
    QTest::newRow("later ';' belongs to the data rev.")
        << QByteArrayList{revisionPacket(FileDump, 1, "1;2;3")} << 5 << 1 << 6 << QByteArray("1")
        << QByteArray("2;3") << QByteArray("Firmware rev. 1\nData rev. 2;3");
    QTest::newRow("empty packet: both kept, text recomposed")
        << QByteArrayList{revisionPacket(FileDump, 4, QByteArray())} << 5 << 4 << 1
        << QByteArray("oldfw") << QByteArray("olddata") << keptY;

    const QByteArray letters("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    const QByteArray digits("0123456789abcdefghijXYZ");
    QTest::newRow("parts over 19 characters keep their first 19")
        << QByteArrayList{revisionPacket(FileDump, 2, letters + ';' + digits)} << 5 << 2 << 50 + 8
        << letters.left(19) << digits.left(19)
        << "Firmware rev. " + letters.left(19) + "\nData rev. " + digits.left(19);
    const QByteArray largest = QByteArray(60, 'F') + ';' + QByteArray(51, 'D'); // 112 bytes
    QTest::newRow("largest packet, 128 packed bytes")
        << QByteArrayList{revisionPacket(FileDump, 0x7F, largest)} << 5 << 0x7F << 128
        << QByteArray(19, 'F') << QByteArray(19, 'D')
        << "Firmware rev. " + QByteArray(19, 'F') + "\nData rev. " + QByteArray(19, 'D');
    // Found by fuzzing: the count byte announced more than the packet carried, and unpacking
    // read past its F7.
    QTest::newRow("count larger than the packet: only its packed bytes")
        << QByteArrayList{hex("F0 7E 10 07 02 03 7F 00 31 3B 32 2F F7")} << 5 << 3 << 128
        << QByteArray("1") << QByteArray("2") << QByteArray("Firmware rev. 1\nData rev. 2");
    QTest::newRow("';' of an earlier packet behind the data is not used")
        << QByteArrayList{revisionPacket(FileDump, 1, "AAAAAAAA;BBBB"),
                          revisionPacket(FileDump, 2, "CC")}
        << 5 << 2 << 3 << QByteArray("CC") << QByteArray("BBBB")
        << QByteArray("Firmware rev. CC\nData rev. BBBB");
}

void TestCodec::getFileVersion()
{
    QFETCH(QByteArrayList, packets);
    QFETCH(int, n);
    QFETCH(int, packetNumber);
    QFETCH(int, packetCount);
    QFETCH(QByteArray, fwRev);
    QFETCH(QByteArray, dataRev);
    QFETCH(QByteArray, y);

    MIDIsysParser &p = parser();
    setField(p.FwRev, sizeof p.FwRev, "oldfw");
    setField(p.DataRev, sizeof p.DataRev, "olddata");
    setField(::y, sizeof ::y, "oldy");
    std::memset(p.WorkBuf, 0, 300);
    p.PacketNumber = -5;
    p.PacketCount = -5;

    for (QByteArray packet : packets)
        p.GetFileVersion(bytes(packet), n);

    QCOMPARE(p.PacketNumber, packetNumber);
    QCOMPARE(p.PacketCount, packetCount);
    QCOMPARE(fieldText(p.FwRev, sizeof p.FwRev), fwRev);
    QCOMPARE(fieldText(p.DataRev, sizeof p.DataRev), dataRev);
    QCOMPARE(fieldText(::y, sizeof ::y), y);
}

void TestCodec::displayVersion_data()
{
    QTest::addColumn<QByteArray>("fwRev"); // up to 20 bytes, zero-filled after
    QTest::addColumn<QByteArray>("dataRev");
    QTest::addColumn<QByteArray>("y");

    QTest::newRow("both set") << QByteArray("1.02") << QByteArray("3.4")
                              << QByteArray("Firmware rev. 1.02\nData rev. 3.4");
    QTest::newRow("both empty") << QByteArray() << QByteArray()
                                << QByteArray("Firmware rev. \nData rev. ");
    const QByteArray longest =
        "Firmware rev. " + QByteArray(19, 'F') + "\nData rev. " + QByteArray(19, 'D');
    QTest::newRow("longest, 63 characters")
        << QByteArray(19, 'F') << QByteArray(19, 'D') << longest;
    QTest::newRow("fields without terminator show 19 characters")
        << QByteArray(20, 'F') << QByteArray(20, 'D') << longest;
}

void TestCodec::displayVersion()
{
    QFETCH(QByteArray, fwRev);
    QFETCH(QByteArray, dataRev);
    QFETCH(QByteArray, y);

    MIDIsysParser &p = parser();
    setField(p.FwRev, sizeof p.FwRev, fwRev);
    setField(p.DataRev, sizeof p.DataRev, dataRev);
    std::memset(::y, 'x', sizeof ::y);
    p.DisplayVersion();
    QCOMPARE(fieldText(::y, sizeof ::y), y);
}

void TestCodec::checkVersion_data()
{
    QTest::addColumn<QByteArray>("dataRev"); // up to 20 bytes, zero-filled after
    QTest::addColumn<int>("result");

    QTest::newRow("1.7.9") << QByteArray("1.7.9") << 1;
    QTest::newRow("0.5") << QByteArray("0.5") << 1;
    QTest::newRow("2.0.1") << QByteArray("2.0.1") << -1;
    QTest::newRow("12.3") << QByteArray("12.3") << -1;
    QTest::newRow("10.0") << QByteArray("10.0") << -1;
    QTest::newRow("01.2, leading zero") << QByteArray("01.2") << 1;
    QTest::newRow("0002.0, long component read whole") << QByteArray("0002.0") << -1;
    QTest::newRow("1000.0") << QByteArray("1000.0") << -1;
    QTest::newRow("0001.0") << QByteArray("0001.0") << 1;
    QTest::newRow("many components") << QByteArray("1.2.3.4.5.6.7") << 1;
    QTest::newRow("long later components") << QByteArray("0.12345.678901") << 1;
    QTest::newRow("no '.': 1") << QByteArray("1") << 1;
    QTest::newRow("no '.': 0") << QByteArray("0") << 1;
    QTest::newRow("no '.': 2") << QByteArray("2") << -1;
    QTest::newRow("no '.': 19 digits") << QByteArray("1234567890123456789") << -1;
    QTest::newRow("no wrap-around to 1") << QByteArray("4294967297.0") << -1;
    QTest::newRow("no wrap-around to 0") << QByteArray("4294967296.0") << -1;
    QTest::newRow("20 digits, no terminator") << QByteArray(20, '1') << -1;
    QTest::newRow("20 zeros, no terminator") << QByteArray(20, '0') << 1;
    QTest::newRow("leading space") << QByteArray(" 1.5") << 1;
    QTest::newRow("plus sign") << QByteArray("+1.0") << 1;
    QTest::newRow("minus one") << QByteArray("-1.0") << -1;
    QTest::newRow("digits then letters") << QByteArray("1a.0") << 1;
    QTest::newRow("letters read as 0") << QByteArray("a.1") << 1;
    QTest::newRow("empty reads as 0") << QByteArray() << 1;
}

void TestCodec::checkVersion()
{
    QFETCH(QByteArray, dataRev);
    QFETCH(int, result);

    MIDIsysParser &p = parser();
    setField(p.DataRev, sizeof p.DataRev, dataRev);
    QCOMPARE(p.CheckVersion(), result);
}

void TestCodec::getFileName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<qint64>("result");
    QTest::addColumn<qint64>("fileAddress");
    QTest::addColumn<int>("fileNumber");

    const QByteArray bin = "BIN " + hex("01 02 03 04");
    QTest::newRow("VER") << bin + "VER" << qint64(0x208184) << qint64(0x208184) << 0;
    QTest::newRow("MEM 12") << bin + "MEM12" << qint64(0x208184) << qint64(0x208184) << 12;
    QTest::newRow("MEM 0042") << bin + "MEM0042" << qint64(0x208184) << qint64(0x208184) << 42;
    QTest::newRow("MEM, at most 4 digits")
        << bin + "MEM12345" << qint64(0x208184) << qint64(0x208184) << 1234;
    QTest::newRow("MEM, digits end at a letter")
        << bin + "MEM7x9" << qint64(0x208184) << qint64(0x208184) << 7;
    QTest::newRow("MEM without digits") << bin + "MEM" << qint64(0x208184) << qint64(0x208184) << 0;
    QTest::newRow("neither VER nor MEM")
        << bin + "ABC" << qint64(0x208184) << qint64(0x208184) << -1;
    QTest::newRow("lower-case ver") << bin + "ver" << qint64(0x208184) << qint64(0x208184) << -1;
    QTest::newRow("largest address")
        << "BIN " + hex("7F 7F 7F 7F") + "VER" << qint64(0x0FFFFFFF) << qint64(0x0FFFFFFF) << 0;
    QTest::newRow("address 0") << "BIN " + hex("00 00 00 00") + "MEM3" << qint64(0) << qint64(0)
                               << 3;
    QTest::newRow("not BIN") << "BIX " + hex("01 02 03 04") + "VER" << qint64(-1) << qint64(-1)
                             << -1;
    QTest::newRow("BIN without space")
        << "BIN_" + hex("01 02 03 04") + "VER" << qint64(-1) << qint64(-1) << -1;
    QTest::newRow("lower-case bin")
        << "bin " + hex("01 02 03 04") + "VER" << qint64(-1) << qint64(-1) << -1;
}

void TestCodec::getFileName()
{
    QFETCH(QByteArray, name);
    QFETCH(qint64, result);
    QFETCH(qint64, fileAddress);
    QFETCH(int, fileNumber);

    name.append(QByteArray(16, '\0')); // the record's fixed positions are always there
    MIDIsysParser &p = parser();
    p.FileAddress = 55;
    p.FileNumber = 55;
    QCOMPARE(p.GetFileName(name.data()), result);
    QCOMPARE(p.FileAddress, fileAddress);
    QCOMPARE(p.FileNumber, fileNumber);
}

void TestCodec::checkFileName_data()
{
    QTest::addColumn<QByteArray>("name"); // zero-terminated when passed
    QTest::addColumn<int>("result");

    QTest::newRow("BIN VER") << QByteArray("BIN VER") << 0;
    QTest::newRow("BIN MEM: no digits, number 0") << QByteArray("BIN MEM") << 0;
    QTest::newRow("BIN MEM1: not exactly MEM") << QByteArray("BIN MEM1") << -1;
    QTest::newRow("BIN VER1: not exactly VER") << QByteArray("BIN VER1") << -1;
    QTest::newRow("BIN VE") << QByteArray("BIN VE") << -1;
    QTest::newRow("BIN ver") << QByteArray("BIN ver") << -1;
    QTest::newRow("BIN alone") << QByteArray("BIN ") << -1;
    QTest::newRow("BIX VER") << QByteArray("BIX VER") << -1;
    QTest::newRow("empty") << QByteArray() << -1;
}

void TestCodec::checkFileName()
{
    QFETCH(QByteArray, name);
    QFETCH(int, result);

    std::vector<char> text(name.begin(), name.end());
    text.push_back('\0');
    QCOMPARE(parser().CheckFileName(text.data()), result);
}

void TestCodec::checkHeader_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("pos");

    QTest::newRow("file dump 22") << hex("F0 7E 01 07 22") << 0x22 << 5;
    QTest::newRow("file dump 00") << hex("F0 7E 01 07 00") << 0x00 << 5;
    QTest::newRow("end of file 7B") << hex("F0 7E 01 7B") << 0x7B << -1;
    QTest::newRow("wait 7C") << hex("F0 7E 01 7C") << 0x7C << -1;
    QTest::newRow("cancel 7D") << hex("F0 7E 01 7D") << 0x7D << -1;
    QTest::newRow("NAK 7E") << hex("F0 7E 01 7E") << 0x7E << -1;
    QTest::newRow("ACK 7F") << hex("F0 7E 01 7F") << 0x7F << -1;
    QTest::newRow("7A") << hex("F0 7E 01 7A") << 0xFF << -1;
    QTest::newRow("06") << hex("F0 7E 01 06") << 0xFF << -1;
    QTest::newRow("device 02") << hex("F0 7E 02 07") << 0xFF << -1;
    QTest::newRow("real-time 7F") << hex("F0 7F 01 07") << 0xFF << -1;
    QTest::newRow("no F0") << hex("F7 7E 01 07") << 0xFF << -1;
}

void TestCodec::checkHeader()
{
    QFETCH(QByteArray, msg);
    QFETCH(int, result);
    QFETCH(int, pos);

    msg.append(QByteArray(4, '\0'));
    int got = 99;
    QCOMPARE(int(parser().CheckHeader(&got, bytes(msg))), result);
    QCOMPARE(got, pos);
}

void TestCodec::for42long_data()
{
    add28BitNumberRows();
}

void TestCodec::for42long()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, value);

    QCOMPARE(parser().for42long(bytes.data()), value);
}

void TestCodec::xatoi_data()
{
    QTest::addColumn<QByteArray>("text"); // zero-terminated when passed
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("result");

    QTest::newRow("12") << QByteArray("12") << 4 << 12;
    QTest::newRow("4 digits") << QByteArray("9876") << 4 << 9876;
    QTest::newRow("leading zeros") << QByteArray("0042") << 4 << 42;
    QTest::newRow("only n digits") << QByteArray("12345") << 4 << 1234;
    QTest::newRow("n of 2") << QByteArray("12345") << 2 << 12;
    QTest::newRow("stops at a letter") << QByteArray("7x9") << 4 << 7;
    QTest::newRow("no digits") << QByteArray("MEM") << 4 << 0;
    QTest::newRow("empty") << QByteArray() << 4 << 0;
    QTest::newRow("n of 0") << QByteArray("99") << 0 << 0;
    QTest::newRow("n below 0") << QByteArray("99") << -1 << 0;
}

void TestCodec::xatoi()
{
    QFETCH(QByteArray, text);
    QFETCH(int, n);
    QFETCH(int, result);

    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    QCOMPARE(::xatoi(buffer.data(), n), result);
}

void TestCodec::xstrncmp_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("result");

    QTest::newRow("equal") << QByteArray("BIN ") << QByteArray("BIN ") << 4 << 0;
    QTest::newRow("differ in the first") << QByteArray("XIN ") << QByteArray("BIN ") << 4 << -1;
    QTest::newRow("differ in the last") << QByteArray("BIN_") << QByteArray("BIN ") << 4 << -1;
    QTest::newRow("differ beyond n") << QByteArray("BINX") << QByteArray("BINY") << 3 << 0;
    QTest::newRow("zero bytes compared too") << hex("41 00 42") << hex("41 00 43") << 3 << -1;
    QTest::newRow("equal through zero bytes") << hex("41 00 42") << hex("41 00 42") << 3 << 0;
    QTest::newRow("greater is also -1") << QByteArray("B") << QByteArray("A") << 1 << -1;
    QTest::newRow("n of 0") << QByteArray("A") << QByteArray("B") << 0 << 0;
    QTest::newRow("n below 0") << QByteArray("A") << QByteArray("B") << -2 << 0;
}

void TestCodec::xstrncmp()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(int, n);
    QFETCH(int, result);

    QCOMPARE(::xstrncmp(a.data(), b.data(), n), result);
}

// The overloads hand a wide-character pointer on as bytes, unconverted.
void TestCodec::forwardingOverloads()
{
    char abc[] = "abc";
    char abd[] = "abd";
    char copy[] = "abc";
    QVERIFY(strcmp(abc, abd) < 0);
    QVERIFY(strcmp(abd, abc) > 0);
    QCOMPARE(strcmp(abc, copy), 0);
    const char *constAbc = "abc";
    QCOMPARE(strcmp(constAbc, copy), 0);
    QVERIFY(strcmp(constAbc, abd) < 0);

    if (Q_BYTE_ORDER != Q_LITTLE_ENDIAN)
        QSKIP("the wide-character cases assume little-endian bytes");
    char a[] = "A";
    char ab[] = "AB";
    QCOMPARE(strcmp(L"A", a), 0);
    QVERIFY(strcmp(L"AB", ab) < 0); // the bytes read "A" and then stop at the first zero byte
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    QVERIFY(strcpy(dst, L"AB") == dst);
    QCOMPARE(QByteArray(dst, sizeof dst), QByteArray("A\0xxxxxx", 8));
}

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
