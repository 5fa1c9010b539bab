// Whole updates over the ALSA sequencer, the updater's default MIDI service on Linux, to the
// simulated device behind a virtual raw MIDI port (snd-virmidi) that reads and answers the wire
// byte by byte, as an instrument on a USB or 5-pin MIDI interface does. Needs the kernel's
// virtual ports: it runs in the ALSA test VM (tests/alsa-vm).
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "update/HandleSys.h"
#include "ui_MainWindow.h"
#include "ui_midiselection.h"

#include "DeviceRunSupport.h"
#include "ModalDriver.h"
#include "UpdateTestSupport.h"
#include "ViewChecks.h"

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
    void usbInstrument_data();
    void usbInstrument();

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
                              "This update file cannot be sent over MIDI: message 2 of 12 is 6,000 "
                              "bytes long, and a MIDI interface (USB or 5-pin) takes at most 4,096 "
                              "bytes in one message. Nothing was sent to the device."}));
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

// A USB MIDI instrument on the VM's emulated USB bus (tests/alsa-vm/usb-instrument.sh), driven by
// snd-usb-audio as a real one is, and plugged in or pulled out while the window is open.
void AlsaTest::usbInstrument_data()
{
    QTest::addColumn<bool>("plugInDialog"); // else plugged in before the updater starts
    QTest::addColumn<int>("unplugAt");      // pulled out once progress reaches this percent
    QTest::newRow("plugged in while the port dialog is open") << true << -1;
    QTest::newRow("unplugged mid-update") << false << 30;
}

void AlsaTest::usbInstrument()
{
    const QString usb = qEnvironmentVariable("CORVANE_USB_INSTRUMENT");
    if (usb.isEmpty())
        QSKIP("needs the USB MIDI instrument of the ALSA test VM (tests/alsa-vm)");
    QFETCH(bool, plugInDialog);
    QFETCH(int, unplugAt);
    qputenv("CORVANE_DEVICE_SIM", SIM_PATH);
    const QString record = dir.filePath("usb.bin");
    const QString path = dir.filePath("usb.cvn");
    QVERIFY(!makeUpdate(path,
                        {"--version", "2.0.0", "--total-size", "131072", "--message-size", "4096"})
                 .isEmpty());
    QFile::remove(record);
    // Slow replies where it is pulled out: the update is still going then.
    const QStringList slow = unplugAt >= 0 ? QStringList{"--delay", "150"} : QStringList();
    const auto plug = [&] {
        return QProcess::execute(usb, QStringList{"plug", "0", record} + slow) == 0;
    };
    struct Unplug {
        QString usb;
        ~Unplug() { QProcess::execute(usb, {"unplug", "0"}); }
    } unplugAtEnd{usb};
    if (!plugInDialog)
        QVERIFY(plug());

    ModalDriver driver;
    driver.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        if (plugInDialog) {
            QVERIFY(plug());
            // The list follows the ports while it is open.
            QTRY_VERIFY_WITH_TIMEOUT(
                !dialog->Form->listWidget->findItems("Corvane Keyboard 0:", Qt::MatchStartsWith)
                     .isEmpty(),
                10000);
        }
        pickPort(w, "Corvane Keyboard 0:");
    });
    driver.expect([path](QWidget *w) { chooseFile(w, path); });
    driver.expectClick(QMessageBox::Yes);
    if (unplugAt < 0) {
        driver.expect([](QWidget *w) {
            ModalDriver::clickButton(w, QMessageBox::Ok);
            MainWindow *main = mainWindow();
            QTimer::singleShot(
                100, main, [main] { QTest::mouseClick(main->Form->pushButton, Qt::LeftButton); });
        });
    }
    // Pulled out mid-update: the status line says so in words, without hovering, then Exit.
    QTimer watch;
    QElapsedTimer sinceUnplug;
    qint64 unplugMs = 0;
    QString note;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        MainWindow *main = mainWindow();
        if (unplugAt < 0 || !main || QApplication::activeModalWidget())
            return;
        if (!sinceUnplug.isValid() && main->Form->progressBar->value() >= unplugAt) {
            QElapsedTimer took;
            took.start();
            QProcess::execute(usb, {"unplug", "0"});
            unplugMs = took.elapsed();
            sinceUnplug.start();
        }
        // In words a person reads without hovering: every line of it inside the window.
        const QString shown = main->StatusNote->text();
        if (sinceUnplug.isValid() && note.isEmpty() && inView(main, main->StatusNote, shown) &&
            shown.contains("has gone") && shown.contains("is not complete")) {
            note = shown;
            qInfo("said %.1f s after the instrument was unplugged (pulling it out took %.1f s)",
                  sinceUnplug.elapsed() / 1000.0, unplugMs / 1000.0);
            QTest::mouseClick(main->Form->pushButton, Qt::LeftButton);
        }
    });
    watch.start(50);
    QCOMPARE(runUpdater(record), 0);
    watch.stop();

    const QByteArray file = readFile(path);
    if (unplugAt >= 0) {
        QVERIFY2(!note.isEmpty(), "the status line never said the instrument had gone");
        QVERIFY(file.startsWith(readFile(record)));
        return;
    }
    QCOMPARE(
        driver.texts(),
        (QStringList{"Dialog", "Select file",
                     "Current firmware version is 1.0.0\nNew version is 2.0.0\nReplace ?", "End"}));
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT((received = readFile(record)).size(), file.size(), 5000);
    QVERIFY(received == file);
}

QTEST_MAIN(AlsaTest)
#include "tst_alsa.moc"
