// The MIDI port manager against real ports of a private JACK server: listing, searching, scoring,
// opening the best-matching output, one sender per output, and sending whole messages.
#include "midi/MIDI.h"
#include "midi/MidiBackend.h"
#include "midi/PortLock.h"

#include <RtMidi.h>

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <memory>

using Bytes = std::vector<unsigned char>;

namespace
{

// A port of another MIDI client, as a device would show up.
MidiBackend::OutputPtr sourcePort(const std::string &client, const std::string &port)
{
    MidiBackend::OutputPtr out(new RtMidiOut(RtMidi::UNIX_JACK, client));
    out->openVirtualPort(port);
    return out;
}

std::unique_ptr<RtMidiIn> sinkPort(const std::string &client, const std::string &port)
{
    auto in = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, client);
    in->ignoreTypes(false, false, false);
    in->openVirtualPort(port);
    return in;
}

// Collects the messages a sink receives within `ms`, or until `count` have arrived.
QList<Bytes> receive(RtMidiIn &in, int count, int ms = 3000)
{
    QList<Bytes> got;
    QElapsedTimer t;
    t.start();
    while (got.size() < count && t.elapsed() < ms) {
        Bytes m;
        in.getMessage(&m);
        if (m.empty())
            QThread::msleep(2);
        else
            got.append(m);
    }
    return got;
}

int outputIndex(const QString &name)
{
    for (unsigned int i = 0; i < midiout->getPortCount(); ++i)
        if (QString::fromStdString(midiout->getPortName(i)) == name)
            return int(i);
    return -1;
}

} // namespace

class MidiPortManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scoresNamesPositionByPosition_data();
    void scoresNamesPositionByPosition();
    void searchesFromTheEnd_data();
    void searchesFromTheEnd();
    void listsInputPortsOnceButNoUpdatersPorts();
    void opensBestMatchingOutput();
    void tieGoesToLowerOutputNumber();
    void sendsOneMessagePerCall();
    void sendNeverReadsPastTheData();
    void openFailuresAreReportedNotThrown();
    void fixedMessages();
    void oneSenderPerOutputPort();
};

void MidiPortManagerTest::initTestCase()
{
    QVERIFY2(midiin && midiout, qPrintable(gMIDI.ServiceError));
    QVERIFY(gMIDI.ServiceError.isEmpty());
    QCOMPARE(gMIDI.MIDIportName, QString(""));
    QVERIFY(!gMIDI.MIDIportName.isNull());
}

void MidiPortManagerTest::scoresNamesPositionByPosition_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("score");
    QTest::newRow("identical") << "X"
                               << "X" << 100;
    QTest::newRow("one empty") << ""
                               << "ABC" << 0;
    QTest::newRow("both empty") << ""
                                << "" << 0;
    QTest::newRow("in vs out") << "USB MIDI In"
                               << "USB MIDI Out" << 78;
    QTest::newRow("unrelated, one blank in common") << "USB MIDI In"
                                                    << "IAC Bus 1" << 10;
    QTest::newRow("tie A") << "Port C"
                           << "Port A" << 83;
    QTest::newRow("tie B") << "Port C"
                           << "Port B" << 83;
    QTest::newRow("no case folding") << "abc"
                                     << "ABC" << 0;
    QTest::newRow("no alignment") << "xUSB"
                                  << "USB" << 0;
    QTest::newRow("utf-16 units") << QString::fromUtf8("Müller") << QString::fromUtf8("Muller")
                                  << 83;
}

void MidiPortManagerTest::scoresNamesPositionByPosition()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, score);
    QCOMPARE(gMIDI.StatisticCompare(a, b), score);
    QCOMPARE(gMIDI.StatisticCompare(b, a), score);
}

void MidiPortManagerTest::searchesFromTheEnd_data()
{
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("fromEnd");
    QTest::addColumn<int>("fromStart");
    QTest::newRow("A") << QStringList{"A", "B"} << "A" << 0 << 0;
    QTest::newRow("B") << QStringList{"A", "B"} << "B" << 1 << 1;
    QTest::newRow("missing") << QStringList{"A", "B"} << "C" << -1 << -1;
    QTest::newRow("duplicate") << QStringList{"x", "D", "y", "D"} << "D" << 3 << 1;
    QTest::newRow("empty list") << QStringList{} << "A" << -1 << -1;
    QTest::newRow("exact match only") << QStringList{"Port", "port "} << "port" << -1 << -1;
}

void MidiPortManagerTest::searchesFromTheEnd()
{
    QFETCH(QStringList, list);
    QFETCH(QString, name);
    QFETCH(int, fromEnd);
    QFETCH(int, fromStart);
    const QStringList saved = gMIDI.MIDIportList;
    gMIDI.MIDIportList = list;
    QByteArray utf8 = name.toUtf8();
    QCOMPARE(gMIDI.searchMIDIport(name), fromEnd);
    QCOMPARE(gMIDI.CompareMIDIinPortName(utf8.data()), fromStart);
    gMIDI.MIDIportList = saved;
}

// Another updater's ports, as a second run sees them, are never offered nor paired: its output
// (JACK renames a second client of the name "Corvane Uploader-01" and so on) and its input.
void MidiPortManagerTest::listsInputPortsOnceButNoUpdatersPorts()
{
    auto a = sourcePort("ListA", "Keys");
    auto updaterOut = sourcePort("Corvane Uploader", "ListA:Keys");
    auto updaterIn = sinkPort("Corvane Uploader-7", "Keys");
    auto b = sourcePort("Corvane Uploader 7", "Keys"); // a device whose name only starts alike
    auto target = sinkPort("Target", "Keys");
    const int n = gMIDI.GetMIDIPortListName();
    QCOMPARE(n, gMIDI.MIDIportList.size());
    QVERIFY(gMIDI.MIDIportList.contains("ListA:Keys"));
    QVERIFY(gMIDI.MIDIportList.contains("Corvane Uploader 7:Keys"));
    QVERIFY(int(midiin->getPortCount()) > n);
    for (const QString &name : gMIDI.MIDIportList)
        QVERIFY2(!name.contains(QRegularExpression("^Corvane Uploader(-[0-9]+)?:")),
                 qPrintable(name));
    const QStringList first = gMIDI.MIDIportList;
    QCOMPARE(gMIDI.GetMIDIPortListName(), n);
    QCOMPARE(gMIDI.MIDIportList, first);

    const QString device = "Corvane Uploader 7:Keys";
    QVERIFY(gMIDI.StatisticCompare("Corvane Uploader-7:Keys", device) >
            gMIDI.StatisticCompare("Target:Keys", device));
    QCOMPARE(gMIDI.OutputName(gMIDI.PairedOutput(device)), QString("Target:Keys"));
}

void MidiPortManagerTest::opensBestMatchingOutput()
{
    // A fresh manager per case: each opens its own RtMidi objects, as the updater does once.
    MIDI m;
    auto device = sourcePort("TD", "USB MIDI In");
    auto decoy = sinkPort("TF", "IAC Bus 1");
    auto target = sinkPort("TE", "USB MIDI Out");
    m.GetMIDIPortListName();
    const int index = m.searchMIDIport("TD:USB MIDI In");
    QVERIFY(index >= 0);
    m.MIDIportName = "something the dialog wrote";
    m.OpenMIDIPort(index);
    QVERIFY2(m.OpenError.isEmpty(), qPrintable(m.OpenError));
    QCOMPARE(m.MIDIportName, QString("TD:USB MIDI In"));
    QVERIFY(midiin->isPortOpen());
    QVERIFY(midiout->isPortOpen());

    Bytes msg{0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
    QCOMPARE(m.SendSys(msg.data(), qint64(msg.size())), qint64(6));
    const QList<Bytes> got = receive(*target, 1);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.first(), msg);
    QVERIFY(receive(*decoy, 1, 300).isEmpty());
}

void MidiPortManagerTest::tieGoesToLowerOutputNumber()
{
    MIDI m;
    auto device = sourcePort("PC", "Port C");
    auto a = sinkPort("PA", "Port A");
    auto b = sinkPort("PB", "Port B");
    m.GetMIDIPortListName();
    const int ia = outputIndex("PA:Port A");
    const int ib = outputIndex("PB:Port B");
    QVERIFY(ia >= 0 && ib >= 0);
    QCOMPARE(m.StatisticCompare("PA:Port A", "PC:Port C"),
             m.StatisticCompare("PB:Port B", "PC:Port C"));
    m.OpenMIDIPort(m.searchMIDIport("PC:Port C"));
    QVERIFY2(m.OpenError.isEmpty(), qPrintable(m.OpenError));

    Bytes msg{0xF0, 0x01, 0xF7};
    m.SendSys(msg.data(), 3);
    RtMidiIn &lower = ia < ib ? *a : *b;
    RtMidiIn &higher = ia < ib ? *b : *a;
    QCOMPARE(receive(lower, 1).size(), 1);
    QVERIFY(receive(higher, 1, 300).isEmpty());
}

void MidiPortManagerTest::sendsOneMessagePerCall()
{
    MIDI m;
    auto device = sourcePort("SendDev", "Out");
    auto sink = sinkPort("SendDev2", "In");
    m.GetMIDIPortListName();
    m.OpenMIDIPort(m.searchMIDIport("SendDev:Out"));
    QVERIFY2(m.OpenError.isEmpty(), qPrintable(m.OpenError));
    QCOMPARE(QString::fromStdString(midiout->getPortName(outputIndex("SendDev2:In"))),
             QString("SendDev2:In"));

    Bytes stream{0xF0, 0x01, 0xF7, 0xF0, 0x02, 0xF7};
    Bytes big{0xF0};
    for (int i = 0; i < 4000; ++i)
        big.push_back(i & 0x7F);
    big.push_back(0xF7);
    QCOMPARE(m.SendSys(stream.data(), 6), qint64(3));
    QCOMPARE(m.SendSys(stream.data() + 3, 3), qint64(3));
    QCOMPARE(m.SendSys(big.data(), qint64(big.size())), qint64(big.size()));
    const QList<Bytes> got = receive(*sink, 3);
    QCOMPARE(got.size(), 3);
    QCOMPARE(got.at(0), (Bytes{0xF0, 0x01, 0xF7}));
    QCOMPARE(got.at(1), (Bytes{0xF0, 0x02, 0xF7}));
    QCOMPARE(got.at(2), big);
}

void MidiPortManagerTest::sendNeverReadsPastTheData()
{
    QList<Bytes> sent;
    gMIDI.SendSink = [&](const Bytes &m) { sent.append(m); };
    // The buffer holds an F7 just past the bytes the caller owns: it must not be found.
    Bytes buf{0xF0, 0x01, 0x02, 0xF7};
    QCOMPARE(gMIDI.SendSys(buf.data(), 3), qint64(-1));
    QCOMPARE(gMIDI.SendSys(buf.data(), 0), qint64(-1));
    Bytes f7{0xF7, 0x00};
    QCOMPARE(gMIDI.SendSys(f7.data(), 2), qint64(1));
    gMIDI.SendSink = nullptr;
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first(), Bytes{0xF7});
}

void MidiPortManagerTest::openFailuresAreReportedNotThrown()
{
    {
        MIDI m;
        m.GetMIDIPortListName();
        m.MIDIportName = "Gone";
        m.OpenMIDIPort(-1);
        QVERIFY(m.OpenError.contains("Gone"));
    }
    {
        MIDI m;
        m.GetMIDIPortListName();
        m.OpenMIDIPort(m.MIDIportList.size() + 5);
        QVERIFY(!m.OpenError.isEmpty());
    }
    {
        // The port vanishes between listing and opening.
        MIDI m;
        MidiBackend::OutputPtr device(new RtMidiOut(RtMidi::UNIX_JACK, "Vanishing"));
        device->openVirtualPort("Port");
        m.GetMIDIPortListName();
        const int index = m.searchMIDIport("Vanishing:Port");
        QVERIFY(index >= 0);
        device.reset();
        m.OpenMIDIPort(index);
        QVERIFY2(m.OpenError.contains("Vanishing:Port"), qPrintable(m.OpenError));
        QVERIFY(!midiin->isPortOpen()); // no other port opened in its place
        QCOMPARE(m.MIDIportName, QString("Vanishing:Port"));
    }
}

void MidiPortManagerTest::fixedMessages()
{
    QList<Bytes> sent;
    gMIDI.SendSink = [&](const Bytes &m) { sent.append(m); };
    gMIDI.SendFileDumpRequest();
    gMIDI.SendConnectMsg();
    gMIDI.TestOut();
    gMIDI.SendSink = nullptr;
    const Bytes dump{0xF0, 0x7E, 0x01, 0x07, 0x03, 0x01, 0x42,
                     0x49, 0x4E, 0x20, 0x56, 0x45, 0x52, 0xF7};
    Bytes test{0xF0};
    for (unsigned char b = 1; b <= 19; ++b)
        test.push_back(b);
    test.push_back(0xF7);
    QCOMPARE(sent, (QList<Bytes>{dump, dump, Bytes{0xC0, 0x05}, test}));
}

// While another sender holds the output port's lock nothing is opened, and the holder is named;
// the port's own lock is held from opening until the service ends. Last: it ends the service.
void MidiPortManagerTest::oneSenderPerOutputPort()
{
    MIDI m;
    auto device = sourcePort("LockTx", "Port");
    auto sink = sinkPort("LockRx", "Port");
    m.GetMIDIPortListName();
    const int index = m.searchMIDIport("LockTx:Port");
    QVERIFY(index >= 0);
    QCOMPARE(m.OutputName(m.PairedOutput("LockTx:Port")), QString("LockRx:Port"));
    const QString api = m.ApiName();
    {
        PortLock other(api, "LockRx:Port");
        QVERIFY2(other.state() == PortLock::Held, qPrintable(other.error()));
        m.OpenMIDIPort(index);
        QVERIFY(!midiin->isPortOpen());
        QVERIFY(!midiout->isPortOpen());
        const QString holder =
            QString("tst_midi (process %1, user ").arg(QCoreApplication::applicationPid());
        QVERIFY2(
            m.PortBusy.startsWith("The MIDI port \"LockRx:Port\" is being updated by " + holder),
            qPrintable(m.PortBusy));
        QCOMPARE(m.OpenError, m.PortBusy);
    }
    m.OpenMIDIPort(index);
    QVERIFY2(m.OpenError.isEmpty(), qPrintable(m.OpenError));
    QVERIFY(m.PortBusy.isEmpty());
    QCOMPARE(PortLock(api, "LockRx:Port").state(), PortLock::Busy);
    m.EndService();
    QCOMPARE(PortLock(api, "LockRx:Port").state(), PortLock::Held);

    // A lock that cannot be taken at all opens nothing, unless the caller chose to go on.
    QVERIFY(m.UseApi(""));
    m.GetMIDIPortListName();
    const QString path = PortLock::Path(api, "LockRx:Port");
    QFile::remove(path); // left by the holders above, as lock files are
    QVERIFY(QDir().mkdir(path));
    m.OpenMIDIPort(m.searchMIDIport("LockTx:Port"));
    const bool refused = !midiout->isPortOpen() && m.LockError.contains(path);
    m.AllowUnlocked = true;
    m.OpenMIDIPort(m.searchMIDIport("LockTx:Port"));
    const bool unlocked = midiout->isPortOpen() && m.OpenError.isEmpty();
    QDir().rmdir(path);
    m.EndService();
    QVERIFY2(refused, qPrintable(m.LockError));
    QVERIFY(unlocked);
}

QTEST_GUILESS_MAIN(MidiPortManagerTest)
#include "tst_midi.moc"
