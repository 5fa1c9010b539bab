// Whole updates over the ALSA sequencer, the updater's default MIDI service on Linux, to the
// simulated device behind a virtual raw MIDI port (snd-virmidi) that reads and answers the wire
// byte by byte, as an instrument on a USB or 5-pin MIDI interface does. Needs the kernel's
// virtual ports: it runs in the ALSA test VM (tests/alsa-vm).
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "update/HandleSys.h"
#include "ui_MainWindow.h"

#include "DeviceRunSupport.h"
#include "ModalDriver.h"
#include "UpdateTestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <RtMidi.h>

class AlsaTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void rawMidiDeviceReceivesTheFile_data();
    void rawMidiDeviceReceivesTheFile();

private:
    QTemporaryDir dir;
    Device device;
};

void AlsaTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(midiin && midiout, qPrintable(gMIDI.ServiceError));
    QCOMPARE(midiin->getCurrentApi(), RtMidi::LINUX_ALSA);
}

void AlsaTest::cleanup()
{
    device.stop();
    gMIDI.CloseMIDIPort();
    delete oHandleSys;
    oHandleSys = nullptr;
}

void AlsaTest::rawMidiDeviceReceivesTheFile_data()
{
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<int>("messageSize"); // F0 and F7 included
    // 4,096 bytes: the most that a raw MIDI port carries whole.
    QTest::newRow("replies whole") << QStringList() << 4096;
    QTest::newRow("replies a byte at a time") << QStringList{"--split", "100"} << 4096;
    // Refused before anything is sent, rather than waiting at 0 % for a message that never
    // arrives whole.
    QTest::newRow("6,000-byte messages refused") << QStringList() << 6000;
}

// The device is on the third virtual port; the other ports and "Midi Through" must not be used.
void AlsaTest::rawMidiDeviceReceivesTheFile()
{
    QFETCH(QStringList, deviceOptions);
    QFETCH(int, messageSize);
    const bool refused = messageSize > 4096;
    const QString record = dir.filePath("received.bin");
    const QString path = dir.filePath("update.cvn");
    QVERIFY(!makeUpdate(path, {"--version", "2.0.0", "--total-size", "65536", "--message-size",
                               QString::number(messageSize), "--allow-long-messages"})
                 .isEmpty());
    QFile::remove(record);
    QVERIFY(device.start(QStringList{"--rawmidi", "hw:0,2", "--version", "1.0.0"} + deviceOptions,
                         record));

    QStringList listed;
    ModalDriver driver;
    driver.expect([&listed](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        for (int i = 0; dialog && i < dialog->Form->listWidget->count(); ++i)
            listed << dialog->Form->listWidget->item(i)->text();
        pickPort(w, "Virtual Raw MIDI 0-2:");
    });
    driver.expect([path](QWidget *w) { chooseFile(w, path); });
    if (!refused)
        driver.expectClick(QMessageBox::Yes);
    driver.expect([](QWidget *w) {
        ModalDriver::clickButton(w, QMessageBox::Ok);
        MainWindow *main = mainWindow();
        QTimer::singleShot(100, main,
                           [main] { QTest::mouseClick(main->Form->pushButton, Qt::LeftButton); });
    });
    QCOMPARE(runUpdater(record), 0);

    // A run before this one in the same process left the updater's own output port behind: it is
    // never offered.
    QCOMPARE(listed, (QStringList{"Midi Through:Midi Through Port-0 14:0",
                                  "Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0",
                                  "Virtual Raw MIDI 0-1:VirMIDI 0-1 17:0",
                                  "Virtual Raw MIDI 0-2:VirMIDI 0-2 18:0",
                                  "Virtual Raw MIDI 0-3:VirMIDI 0-3 19:0"}));
    QCOMPARE(gMIDI.MIDIportName, QString("Virtual Raw MIDI 0-2:VirMIDI 0-2 18:0"));
    if (refused) {
        // The header and 10 messages of 6,000 bytes, the last one shorter.
        QCOMPARE(driver.texts(),
                 (QStringList{"Dialog", "Select file",
                              "This update file cannot be sent over MIDI: message 2 of 12 is 6000 "
                              "bytes long, and a MIDI interface (USB or 5-pin) takes at most 4096 "
                              "bytes in one message.\n\nNothing was sent to the device."}));
        QTest::qWait(500); // anything sent would be recorded by now
        QCOMPARE(readFile(record), QByteArray());
        return;
    }
    // The question needs the device's version reply, which only the chosen input can bring.
    QCOMPARE(
        driver.texts(),
        (QStringList{"Dialog", "Select file",
                     "Current firmware version is 1.0.0\nNew version is 2.0.0\nReplace ?", "End"}));
    const QByteArray file = readFile(path);
    QByteArray received;
    // The last message's record may lag its ACK by a moment.
    QTRY_COMPARE_WITH_TIMEOUT((received = readFile(record)).size(), file.size(), 5000);
    QVERIFY(received == file);
}

QTEST_MAIN(AlsaTest)
#include "tst_alsa.moc"
