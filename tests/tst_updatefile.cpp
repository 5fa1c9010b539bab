// The update file as HandleSys sees it: sizing, loading, the header test and the header decoder.
#include "update/HandleSys.h"

#include <QtTest>

#include <QTemporaryDir>

#include <cstring>

#include "UpdateTestSupport.h"

namespace
{

// Parameters 2 to 7, distinct in every byte position, so a swapped or shifted field shows.
const QList<qint64> P = {1, 128, 16384, 2097152, 268435455, 12345};

QByteArray header(qint64 p1, const QByteArray &version, bool withNul = true)
{
    return headerMessage(version, p1, P, 0, withNul);
}

// What the decoder leaves in place when it decodes nothing.
const QList<qint64> Untouched = {-1, -2, -3, -4, -5, -6, -7};
const QByteArray UntouchedVersion = "untouched";

QList<qint64> params(qint64 p1, bool rest)
{
    QList<qint64> out{p1};
    for (int i = 0; i < 6; ++i)
        out << (rest ? P.at(i) : Untouched.at(i + 1));
    return out;
}

} // namespace

class TestUpdateFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    int fileCount = 0;

    QString writeFile(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("f%1.cvn").arg(++fileCount));
        ::writeFile(path, bytes);
        return path;
    }

    static QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QCOMPARE(::mkfifo(encoded(dir.filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
    }

    void iConvert_data()
    {
        add28BitNumberRows();
        // Bytes are used whole: bit 7 is not masked off.
        QTest::newRow("80 00 00 00") << hex("80 00 00 00") << qint64(268435456);
    }

    void iConvert()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, value);
        HandleSys h(dir.filePath(QStringLiteral("none.cvn")), nullptr);
        QCOMPARE(h.iConvert(reinterpret_cast<unsigned char *>(bytes.data())), value);
    }

    void ChechHeader_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("result");
        QTest::newRow("header message") << header(0, "1.0") << 5;
        QTest::newRow("fixed bytes only") << hex("F0 7E 10 07 02") << 5;
        QTest::newRow("version reply prefix") << hex("F0 7E 10 07 02 76 65 72 2E 00 F7") << 5;
        QTest::newRow("byte 0 not F0") << hex("F1 7E 10 07 02 00 00 00 00 F7") << -1;
        QTest::newRow("byte 1 not 7E") << hex("F0 7F 10 07 02 00 00 00 00 F7") << -1;
        QTest::newRow("byte 2 not 10") << hex("F0 7E 11 07 02 00 00 00 00 F7") << -1;
        QTest::newRow("byte 3 not 07") << hex("F0 7E 10 7F 02 00 00 00 00 F7") << -1;
        QTest::newRow("sub-ID 2 is 01") << hex("F0 7E 10 07 01 00 00 00 00 F7") << -1;
        QTest::newRow("four bytes") << hex("F0 7E 10 07") << -1;
        QTest::newRow("empty file") << QByteArray() << -1;
    }

    void ChechHeader()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, result);
        const QString path = writeFile(file);
        HandleSys h(path, nullptr);
        QCOMPARE(h.CaricaBuffer(encoded(path).data(), h.FileLen), 0);
        QCOMPARE(h.ChechHeader(), result);
    }

    void getParameters_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QList<qint64>>("expected");
        QTest::addColumn<QByteArray>("version");

        const QByteArray v23 = "ABCDEFGHIJKLMNOPQRSTUVW";
        QTest::newRow("header message")
            << header(0, "1.2.3") << params(0, true) << QByteArray("1.2.3");
        QTest::newRow("header then more messages")
            << header(0, "2.0.1") + hex("F0 01 02 F7 F0 03 F7") << params(0, true)
            << QByteArray("2.0.1");
        QTest::newRow("bytes between the 00 and the F7")
            << hex("F0 7E 10 07 02") + number28(0) + number28(1) + number28(128) + number28(16384) +
                   number28(2097152) + number28(268435455) + number28(12345) + "V9" +
                   hex("00 55 66 F7")
            << params(0, true) << QByteArray("V9");
        QTest::newRow("parameter 1 is 1")
            << header(1, "1.2.3") << params(1, false) << UntouchedVersion;
        QTest::newRow("parameter 1 is 7F7F7F7F")
            << header(268435455, "1.2.3") << params(268435455, false) << UntouchedVersion;
        QTest::newRow("version reply prefix")
            << hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 03 31 2E 32 F7") << params(249133358, false)
            << UntouchedVersion;
        QTest::newRow("empty version text") << header(0, "") << params(0, true) << QByteArray();
        QTest::newRow("23 characters") << header(0, v23) << params(0, true) << v23;
        QTest::newRow("24 characters keep 23") << header(0, v23 + "X") << params(0, true) << v23;
        QTest::newRow("40 characters keep 23")
            << header(0, v23 + "0123456789ABCDEFG") << params(0, true) << v23;
        QTest::newRow("UTF-8 text kept byte for byte")
            << header(0, "M\xC3\xBCller 2.0") << params(0, true) << QByteArray("M\xC3\xBCller 2.0");
        QTest::newRow("sub-ID 2 is 01")
            << hex("F0 7E 10 07 01") + header(0, "1.0").mid(5) << Untouched << UntouchedVersion;
        QTest::newRow("byte 0 not F0")
            << hex("F1") + header(0, "1.0").mid(1) << Untouched << UntouchedVersion;

        // Files that end inside what the decoder reads: nothing past the loaded bytes is used.
        const QByteArray full = header(0, "1.2.3");
        QTest::newRow("empty file") << QByteArray() << Untouched << UntouchedVersion;
        QTest::newRow("4 bytes") << full.left(4) << Untouched << UntouchedVersion;
        QTest::newRow("5 bytes") << full.left(5) << Untouched << UntouchedVersion;
        QTest::newRow("8 bytes: parameter 1 cut") << full.left(8) << Untouched << UntouchedVersion;
        QTest::newRow("9 bytes: parameter 1 only")
            << full.left(9) << params(0, false) << UntouchedVersion;
        QTest::newRow("9 bytes: parameter 1 not 0")
            << header(5, "x").left(9) << params(5, false) << UntouchedVersion;
        QTest::newRow("20 bytes") << full.left(20) << params(0, false) << UntouchedVersion;
        QTest::newRow("32 bytes: parameter 7 cut")
            << full.left(32) << params(0, false) << UntouchedVersion;
        QTest::newRow("33 bytes: no version bytes")
            << full.left(33) << params(0, true) << QByteArray();
        QTest::newRow("version text cut, no 00")
            << full.left(36) << params(0, true) << QByteArray("1.2");
        // Never into the messages after the header.
        QTest::newRow("no 00 before the F7, more messages")
            << header(0, "abc", false) + hex("F0 31 32 F7") << params(0, true) << QByteArray("abc");
        QTest::newRow("no 00, 30 bytes to the end")
            << header(0, v23 + "0123456", false).chopped(1) << params(0, true) << v23;
    }

    void getParameters()
    {
        QFETCH(QByteArray, file);
        QFETCH(QList<qint64>, expected);
        QFETCH(QByteArray, version);

        const QString path = writeFile(file);
        HandleSys h(path, nullptr);
        QCOMPARE(h.FileLen, qint64(file.size()));
        QCOMPARE(h.CaricaBuffer(encoded(path).data(), h.FileLen), 0);
        h.Param1 = -1;
        h.Param2 = -2;
        h.Param3 = -3;
        h.Param4 = -4;
        h.Param5 = -5;
        h.Param6 = -6;
        h.Param7 = -7;
        std::strcpy(h.NewVersion, UntouchedVersion.constData());

        h.getParameters();

        const QList<qint64> got{h.Param1, h.Param2, h.Param3, h.Param4,
                                h.Param5, h.Param6, h.Param7};
        QCOMPARE(got, expected);
        QVERIFY(qstrnlen(h.NewVersion, sizeof h.NewVersion) < sizeof h.NewVersion);
        QCOMPARE(QByteArray(h.NewVersion), version);
    }

    void CalcSize_data()
    {
        QTest::addColumn<QByteArray>("file"); // if not `exists`: what is there ("fifo") or ""
        QTest::addColumn<bool>("exists");
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty file") << QByteArray() << true << qint64(0);
        QTest::newRow("one byte") << hex("F7") << true << qint64(1);
        QTest::newRow("1000 bytes") << QByteArray(1000, '\x11') << true << qint64(1000);
        QTest::newRow("65537 bytes") << QByteArray(65537, '\x7F') << true << qint64(65537);
        QTest::newRow("no such file") << QByteArray() << false << qint64(-1);
        QTest::newRow("a FIFO, no writer") << QByteArray("fifo") << false << qint64(-1);
    }

    void CalcSize()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, exists);
        QFETCH(qint64, size);
        const QString path =
            exists ? writeFile(file) : dir.filePath(file.isEmpty() ? "missing" : file);
        HandleSys h(dir.filePath(QStringLiteral("none.cvn")), nullptr);
        QCOMPARE(h.CalcSize(encoded(path).data()), size);
    }

    void CaricaBuffer_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<qint64>("len");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("buffer"); // FileBuf afterwards; it starts as all AA
        QTest::addColumn<QByteArray>("grown");  // appended after the constructor sized the file

        const QByteArray file = header(0, "3.1") + hex("F0 10 20 30 F7");
        const int n = file.size();
        const QByteArray none;
        QTest::newRow("exact size") << file << true << qint64(n) << 0 << file << none;
        QTest::newRow("one more than the size")
            << file << true << qint64(n + 1) << -1 << file << none; // what was read stays
        QTest::newRow("one less: read in part")
            << file << true << qint64(n - 1) << 0 << file.left(n - 1) + '\xAA' << none;
        QTest::newRow("nothing asked")
            << file << true << qint64(0) << 0 << QByteArray(n, '\xAA') << none;
        QTest::newRow("negative count")
            << file << true << qint64(-1) << -1 << QByteArray(n, '\xAA') << none;
        QTest::newRow("empty file, count 0")
            << QByteArray() << true << qint64(0) << 0 << QByteArray() << none;
        QTest::newRow("empty file, count 1")
            << QByteArray() << true << qint64(1) << -1 << QByteArray() << none;
        QTest::newRow("no such file, count 0")
            << QByteArray() << false << qint64(0) << -1 << QByteArray() << none;
        QTest::newRow("no such file, count 10")
            << QByteArray() << false << qint64(10) << -1 << QByteArray() << none;
        QTest::newRow("a FIFO, no writer")
            << QByteArray("fifo") << false << qint64(10) << -1 << QByteArray() << none;
        // FileBuf was sized before the file grew: the read stops at its end.
        QTest::newRow("file grew, count of the new size")
            << file << true << qint64(n + 10) << -1 << file << hex("F0 01 02 03 04 05 06 07 08 F7");
        QTest::newRow("file grew, count of the old size")
            << file << true << qint64(n) << 0 << file << hex("F0 01 02 03 04 05 06 07 08 F7");
    }

    void CaricaBuffer()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, exists);
        QFETCH(qint64, len);
        QFETCH(int, result);
        QFETCH(QByteArray, buffer);
        QFETCH(QByteArray, grown);

        const QString path =
            exists ? writeFile(file) : dir.filePath(file.isEmpty() ? "missing" : file);
        HandleSys h(path, nullptr);
        if (!grown.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append));
            QCOMPARE(f.write(grown), qint64(grown.size()));
        }
        if (h.FileBuf)
            std::memset(h.FileBuf, 0xAA, size_t(h.FileLen));
        QCOMPARE(h.CaricaBuffer(encoded(path).data(), long(len)), result);
        if (exists)
            QCOMPARE(QByteArray(reinterpret_cast<char *>(h.FileBuf), int(h.FileLen)), buffer);
    }

    // The constructor sizes the file through the name the file system really holds.
    void constructor_data()
    {
        QTest::addColumn<QByteArray>("folder"); // UTF-8 bytes of the name on disk; "" for none
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("exists");

        const QByteArray content = header(0, "4.0") + hex("F0 01 F7");
        QTest::newRow("ASCII name") << QByteArray() << QByteArray("plain.cvn") << content << true;
        QTest::newRow("folder M\xC3\xBCller")
            << QByteArray("M\xC3\xBCller") << QByteArray("update.cvn") << content << true;
        QTest::newRow("name Gr\xC3\xB6\xC3\x9F"
                      "e")
            << QByteArray()
            << QByteArray("Gr\xC3\xB6\xC3\x9F"
                          "e 1.cvn")
            << content << true;
        QTest::newRow("CJK name") << QByteArray("\xE6\x9B\xB4\xE6\x96\xB0")
                                  << QByteArray("\xE3\x83\x95\xE3\x82\xA1.cvn") << content << true;
        QTest::newRow("empty file")
            << QByteArray() << QByteArray("empty.cvn") << QByteArray() << true;
        QTest::newRow("no such file")
            << QByteArray() << QByteArray("absent.cvn") << QByteArray() << false;
    }

    void constructor()
    {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, file);
        QFETCH(bool, exists);

        const QString path =
            writeRawPath(dir.path().toUtf8() + "/c" + QByteArray::number(++fileCount), folder, name,
                         file, exists);
        QVERIFY(!path.isEmpty());

        HandleSys h(path, nullptr);
        QCOMPARE(h.FileName, path);
        QCOMPARE(h.ExitFlag, false);
        QCOMPARE(h.FirstMessage, true);
        if (!exists) {
            QCOMPARE(h.FileLen, qint64(-1));
            QVERIFY(!h.FileBuf);
            return;
        }
        QCOMPARE(h.FileLen, qint64(file.size()));
        QVERIFY(h.FileBuf);
        QCOMPARE(h.CaricaBuffer(QFile::encodeName(path).data(), h.FileLen), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(h.FileBuf), int(h.FileLen)), file);
    }

    // A file larger than memory: the constructor survives and the load fails.
    void fileLargerThanMemory()
    {
        const qint64 huge = qint64(1) << 50;
        const std::unique_ptr<QTemporaryFile> f = hugeSparseFile();
        if (!f)
            QSKIP("no file system here holds a sparse file of 1 PiB");

        HandleSys h(f->fileName(), nullptr);
        QCOMPARE(h.FileLen, huge);
        QVERIFY(!h.FileBuf);
        QCOMPARE(h.CaricaBuffer(encoded(f->fileName()).data(), long(h.FileLen)), -1);
        QCOMPARE(h.ChechHeader(), -1);
        h.getParameters();
        QCOMPARE(h.Param1, qint64(0));
        QCOMPARE(QByteArray(h.NewVersion), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestUpdateFile)
#include "tst_updatefile.moc"
