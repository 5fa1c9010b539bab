// Whole updates over a real MIDI service: a private JACK server, the simulated device, and the
// updater's own flow driven through its real widgets. What the device received must be the file.
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "midi/OtherSenders.h"
#include "ui/MainWindow.h"
#include "ui/midiselection.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"
#include "ui_MainWindow.h"
#include "ui_midiselection.h"

#include "DeviceRunSupport.h"
#include "ModalDriver.h"
#include "UpdateTestSupport.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <RtMidi.h>

namespace
{

// Every run begins the same way: the device's port, then the update file.
void beginRun(ModalDriver &driver, const QString &path)
{
    driver.expect(pickDevicePort);
    driver.expect([path](QWidget *w) { chooseFile(w, path); });
}

// Presses Exit once the current box has closed and `ms` have passed.
void pressExitLater(int ms)
{
    MainWindow *main = mainWindow();
    QTimer::singleShot(ms, main,
                       [main] { QTest::mouseClick(main->Form->pushButton, Qt::LeftButton); });
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void wholeUpdateReachesTheDevice_data();
    void wholeUpdateReachesTheDevice();
    void declinedReplacementSendsOnlyTheHeader();
    void otherSenderIsDisconnectedForTheUpdate();
    // Last: Exit pressed before the event loop runs leaves the thread's quit flag raised, which
    // would end the next run's port dialog at once (the program itself ends there).
    void exitDuringTransferEndsTheRun();

private:
    QString makeUpdate(const QString &name, const QStringList &options)
    {
        return ::makeUpdate(dir.filePath(name), options);
    }

    QTemporaryDir dir;
    Device device;
    QString recordPath;
    int runs = 0;
};

void EndToEndTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(midiin && midiout, qPrintable(gMIDI.ServiceError));
}

// Each case has a device of its own, with a record of its own: what one case sent is never read
// by another.
void EndToEndTest::init()
{
    gMIDI.CloseMIDIPort();
    gMIDIsysParser.Ack();
    recordPath = dir.filePath(QStringLiteral("received-%1.bin").arg(++runs));
    QVERIFY(device.start({"--version", "1.0.0"}, recordPath));
}

// The updater keeps its one transfer to the end of the process; these runs are many, and each
// run forgets the one before.
void EndToEndTest::cleanup()
{
    delete oHandleSys;
    oHandleSys = nullptr;
    QVERIFY(device.stop());
}

void EndToEndTest::wholeUpdateReachesTheDevice_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("refusal"); // the box refusing the file; empty: a whole update
    QTest::newRow("header only") << QStringList{"--version", "2.0.0", "--count", "0"} << "";
    QTest::newRow("one data message")
        << QStringList{"--version", "2.0.0", "--count", "1", "--message-size", "6"} << "";
    QTest::newRow("64 KB in 256-byte messages")
        << QStringList{"--version", "2.0.0", "--total-size", "65536", "--message-size", "256"}
        << "";
    QTest::newRow("3 MB in 4 KB messages")
        << QStringList{"--version", "2.0.0", "--total-size", "3145728", "--message-size", "4096"}
        << "";
    // JACK carries such a message between programs, but not to an interface it bridges.
    QTest::newRow("5,000-byte messages refused")
        << QStringList{"--version",
                       "2.0.0",
                       "--count",
                       "3",
                       "--message-size",
                       "5000",
                       "--allow-long-messages"}
        << "This update file cannot be sent over MIDI: message 2 of 4 is 5,000 bytes long, and a "
           "MIDI interface (USB or 5-pin) takes at most 4,096 bytes in one message. Nothing was "
           "sent to the device.";
}

void EndToEndTest::wholeUpdateReachesTheDevice()
{
    QFETCH(QStringList, options);
    QFETCH(QString, refusal);
    const QString path = makeUpdate("update.cvn", options);
    QVERIFY(!path.isEmpty());

    int finalProgress = -1;
    QString finalMessage;
    ModalDriver driver;
    beginRun(driver, path);
    if (refusal.isEmpty())
        driver.expectClick(QMessageBox::Yes);
    driver.expect([&](QWidget *w) {
        MainWindow *main = mainWindow();
        finalProgress =
            main->Form->progressBar->isVisible() ? main->Form->progressBar->value() : -1;
        finalMessage = main->Form->labelMsg->text();
        ModalDriver::clickButton(w, QMessageBox::Ok);
        pressExitLater(100); // the window stays until Exit
    });
    QCOMPARE(runUpdater(recordPath), 0);
    QCOMPARE(driver.unhandled(), 0);
    if (!refusal.isEmpty()) {
        QCOMPARE(driver.texts(), (QStringList{"Dialog", "Select file", refusal}));
        QCOMPARE(finalProgress, -1);
        QTest::qWait(300); // anything sent would be recorded by now
        QCOMPARE(readFile(recordPath), QByteArray());
        return;
    }

    QCOMPARE(driver.texts(), (QStringList{"Dialog", "Select file",
                                          "Current firmware version is 1.0.0\nNew version is "
                                          "2.0.0\nReplace ?",
                                          "End"}));
    QCOMPARE(finalProgress, 100);
    QCOMPARE(finalMessage, QString("Updating to version 2.0.0"));
    const QByteArray file = readFile(path);
    const QByteArray received = readFile(recordPath);
    QCOMPARE(received.size(), file.size());
    QVERIFY(received == file);
}

void EndToEndTest::declinedReplacementSendsOnlyTheHeader()
{
    const QString path = makeUpdate("declined.cvn", {"--version", "3.0", "--count", "20"});
    QVERIFY(!path.isEmpty());
    ModalDriver driver;
    beginRun(driver, path);
    driver.expect([](QWidget *w) {
        ModalDriver::clickButton(w, QMessageBox::No);
        QVERIFY(!mainWindow()->Form->progressBar->isVisible());
        pressExitLater(100);
    });
    QCOMPARE(runUpdater(recordPath), 0);
    QCOMPARE(driver.seen().size(), 3);
    const QByteArray file = readFile(path);
    const int headerEnd = file.indexOf(char(0xF7)) + 1;
    QCOMPARE(readFile(recordPath), file.left(headerEnd));
}

// Exit is pressed once the device has 10 messages. The transfer then waits for the reply to at
// most one more (sent before the click, not yet recorded) and sends nothing after it.
void EndToEndTest::exitDuringTransferEndsTheRun()
{
    const QString path =
        makeUpdate("stopped.cvn", {"--version", "4.0", "--count", "2000", "--message-size", "64"});
    QVERIFY(!path.isEmpty());
    int recordedAtExit = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const int recorded = int(readFile(recordPath).count(char(0xF7)));
        if (recorded < 10 || QApplication::activeModalWidget())
            return;
        watch.stop();
        recordedAtExit = recorded;
        QTest::mouseClick(mainWindow()->Form->pushButton, Qt::LeftButton);
    });
    ModalDriver driver;
    beginRun(driver, path);
    driver.expect([&watch](QWidget *w) {
        ModalDriver::clickButton(w, QMessageBox::Yes);
        watch.start(2);
    });
    // Returns without the event loop and without an "End" box.
    QCOMPARE(runUpdater(recordPath), 0);
    QCOMPARE(driver.seen().size(), 3);
    QVERIFY(recordedAtExit >= 10);
    const QByteArray file = readFile(path);
    QTest::qWait(300); // a message in flight may still be recorded
    const QByteArray received = readFile(recordPath);
    QVERIFY(file.startsWith(received));
    QCOMPARE(received.at(received.size() - 1), char(0xF7)); // whole messages only
    QVERIFY2(received.count(char(0xF7)) <= recordedAtExit + 1,
             qPrintable(QStringLiteral("%1 messages at Exit, %2 after")
                            .arg(recordedAtExit)
                            .arg(received.count(char(0xF7)))));
}

// Another program sends to the instrument all through the update: the box names it, and with
// "Disconnect them during the update" none of its messages comes between the update's; it is
// connected again at the end.
void EndToEndTest::otherSenderIsDisconnectedForTheUpdate()
{
    const QString path = makeUpdate("others.cvn", {"--version", "2.0.0", "--count", "40"});
    QVERIFY(!path.isEmpty());
    const QString instrument = QStringLiteral("Corvane Device Rx:Corvane Device In");
    RtMidiOut chatter(RtMidi::UNIX_JACK, "Chatter");
    for (unsigned int i = 0; i < chatter.getPortCount(); ++i)
        if (QString::fromStdString(chatter.getPortName(i)) == instrument)
            chatter.openPort(i);
    QVERIFY(chatter.isPortOpen());
    std::vector<unsigned char> foreign{0xF0, 0x7D, 0x01, 0xF7};
    QTimer chat;
    QObject::connect(&chat, &QTimer::timeout, [&] { chatter.sendMessage(&foreign); });
    ModalDriver driver;
    driver.expect(pickDevicePort);
    driver.expect([](QWidget *w) {
        for (QAbstractButton *button : qobject_cast<QMessageBox *>(w)->buttons())
            if (button->text() == "Disconnect them during the update")
                button->click();
    });
    driver.expect([path](QWidget *w) { chooseFile(w, path); });
    driver.expect([&chat](QWidget *w) { // the header was taken: the update itself begins
        chat.start(10);
        ModalDriver::clickButton(w, QMessageBox::Yes);
    });
    driver.expect([&chat](QWidget *w) {
        chat.stop();
        ModalDriver::clickButton(w, QMessageBox::Ok);
        pressExitLater(100);
    });
    QCOMPARE(runUpdater(recordPath), 0);
    QCOMPARE(driver.unhandled(), 0);
    QVERIFY2(driver.texts().value(1).contains("\"Chatter:RtMidi Output\""),
             qPrintable(driver.texts().value(1)));
    // Connected again before "End", it may have reached the instrument again after the update.
    QByteArray received = readFile(recordPath);
    while (received.endsWith(QByteArray::fromHex("F07D01F7")))
        received.chop(4);
    QVERIFY(received == readFile(path));
    QCOMPARE(OtherSenders("Jack", instrument).List(), QStringList{"Chatter:RtMidi Output"});
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
