// Faults over a real MIDI service: a private JACK server, the simulated device with its fault
// options, and the updater's whole flow driven through its widgets. Whatever the device or the
// MIDI service does, the run must not crash, must keep a way out (the window stays responsive and
// Exit ends the run), and the device must have received an exact prefix of the file: whole
// messages, in order, nothing the file does not hold.
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "midi/MidiBackend.h"
#include "ui/MainWindow.h"
#include "ui/midiselection.h"
#include "ui_MainWindow.h"
#include "ui_midiselection.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"

#include "DeviceRunSupport.h"
#include "ModalDriver.h"
#include "UpdateTestSupport.h"

#include <RtMidi.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>
#include <sys/types.h>

namespace
{

// A SysEx message of `size` bytes that is neither reply: longer than the receive buffer when
// size is over 304.
QByteArray unrelatedSysEx(int size)
{
    QByteArray m(1, char(0xF0));
    m += QByteArray::fromHex("7E1006");
    while (m.size() < size - 1)
        m += char(m.size() & 0x7F);
    return m + char(0xF7);
}

// The replacement question for a device that reports `current`, with the small file's version.
QString question(const QString &current = QStringLiteral("1.0.0"))
{
    return "Current firmware version is " + current.left(22) +
           QString(current.size() > 22, QChar(0x2026)) + "\nNew version is 2.0.0\nReplace ?";
}

// True once the process has ended: gone, or a zombie that its parent has not reaped yet.
bool processEnded(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

// Counts paint events of one widget: a repaint that arrives shows the window is being served.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void silentDeviceLeavesAWayOut_data();
    void silentDeviceLeavesAWayOut();
    void deviceVanishesMidTransfer();
    void wholeFileArrives_data();
    void wholeFileArrives();
    void ackLostToAnUnrelatedMessageAfterIt();
    void messagesWhileTheQuestionIsOpen_data();
    void messagesWhileTheQuestionIsOpen();
    void jackServerKilledMidTransfer();

private:
    // How one run of the updater ended.
    struct Outcome {
        QStringList boxes; // texts of the message boxes, in order, after the two dialogs
        int progress = -1; // the progress bar's value at the end, -1 when never shown
        bool exitPressed = false;
    };

    QString makeUpdate(const QString &name, const QStringList &options)
    {
        return ::makeUpdate(dir.filePath(name), options);
    }
    // Runs the updater against the device. Every box is answered as a person wanting the update
    // would (Yes to the question, Ok to "End"); after "End", Exit closes the window. When
    // `exitWhen` becomes true during the transfer, the window is first shown to be responsive
    // (a timer of its event loop fires and a widget repaints), then Exit is pressed.
    Outcome run(const QString &file, std::function<bool()> exitWhen = nullptr,
                std::function<void(QMessageBox *)> onQuestion = nullptr);
    int recordedMessages() const { return messagesOf(readFile(recordPath)).size(); }
    void verifyWholeMessagePrefix(const QByteArray &record, const QByteArray &file);
    // The record once the device has received `expected` bytes or, failing that, what it holds.
    QByteArray recordWhenItHas(int expected);

    QTemporaryDir dir;
    QString recordPath;
    Device device;
    QString smallFile; // a header and 40 messages of 512 bytes
    QString bigFile;   // 16 MB, made by the first case that needs it
};

void FaultsTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(midiin && midiout, qPrintable(gMIDI.ServiceError));
    recordPath = dir.filePath("received.bin");
    smallFile =
        makeUpdate("small.cvn", {"--version", "2.0.0", "--count", "40", "--message-size", "512"});
    QVERIFY(!smallFile.isEmpty());
}

// Every run starts as the updater does: no reply seen, and ports that the dialog opens anew.
void FaultsTest::init()
{
    gMIDI.CloseMIDIPort();
    resetReplies();
    QFile::remove(recordPath);
}

void FaultsTest::cleanup()
{
    device.stop();
    // The updater keeps its one transfer to the end of the process; these runs are many.
    delete oHandleSys;
    oHandleSys = nullptr;
    // Exit asks the application to quit; one pass of an event loop consumes a request that no
    // loop took, so the next run's dialogs are not ended by it.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

FaultsTest::Outcome FaultsTest::run(const QString &file, std::function<bool()> exitWhen,
                                    std::function<void(QMessageBox *)> onQuestion)
{
    Outcome outcome;
    ModalDriver driver;
    driver.expect(pickDevicePort);
    driver.expect([file](QWidget *w) { chooseFile(w, file); });
    for (int i = 0; i < 4; ++i) {
        driver.expect([&outcome, onQuestion](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (box && box->button(QMessageBox::Yes)) {
                if (onQuestion)
                    onQuestion(box);
                ModalDriver::clickButton(w, QMessageBox::Yes);
                return;
            }
            ModalDriver::clickButton(w, QMessageBox::Ok);
            if (MainWindow *main = mainWindow()) {
                outcome.progress =
                    main->Form->progressBar->isVisible() ? main->Form->progressBar->value() : -1;
                QTimer::singleShot(
                    0, main, [main] { QTest::mouseClick(main->Form->pushButton, Qt::LeftButton); });
            }
        });
    }

    // Polled from the transfer's waits, which process the GUI thread's events.
    QObject context;
    QTimer watch;
    QTimer probe;
    int ticks = 0;
    PaintCounter paints;
    QPointer<MainWindow> probed;
    if (exitWhen) {
        watch.setInterval(5);
        QObject::connect(&watch, &QTimer::timeout, &context, [&] {
            if (QApplication::activeModalWidget() || !exitWhen())
                return;
            watch.stop();
            probed = mainWindow();
            if (!probed)
                return;
            probed->Form->labelMIDIportName->installEventFilter(&paints);
            probe.start(5);
        });
        QObject::connect(&probe, &QTimer::timeout, &context, [&] {
            if (!probed)
                return;
            ++ticks;
            probed->Form->labelMIDIportName->update();
            if (ticks < 10 || paints.paints < 2)
                return;
            probe.stop();
            outcome.progress =
                probed->Form->progressBar->isVisible() ? probed->Form->progressBar->value() : -1;
            outcome.exitPressed = true;
            QTest::mouseClick(probed->Form->pushButton, Qt::LeftButton);
        });
        watch.start();
    }

    const int status = runUpdater(recordPath);
    if (probed)
        probed->Form->labelMIDIportName->removeEventFilter(&paints);
    // Any of these fails the test that made the run; its own checks still report what they find.
    if (status != 0)
        QTest::qFail(qPrintable(QStringLiteral("RunUpdater returned %1").arg(status)), __FILE__,
                     __LINE__);
    const QStringList texts = driver.texts();
    if (texts.size() < 2 || texts.at(0) != QLatin1String("Dialog") ||
        texts.at(1) != QLatin1String("Select file"))
        QTest::qFail(qPrintable("unexpected windows: " + texts.join(" | ")), __FILE__, __LINE__);
    outcome.boxes = texts.mid(2);
    if (driver.unhandled() != 0)
        QTest::qFail(
            qPrintable(QStringLiteral("%1 window(s) without a handler: ").arg(driver.unhandled()) +
                       texts.join(" | ")),
            __FILE__, __LINE__);
    return outcome;
}

void FaultsTest::verifyWholeMessagePrefix(const QByteArray &record, const QByteArray &file)
{
    QVERIFY2(file.startsWith(record),
             qPrintable(QStringLiteral("the device received %1 bytes that are not the file's "
                                       "first bytes")
                            .arg(record.size())));
    if (!record.isEmpty())
        QCOMPARE(uchar(record.at(record.size() - 1)), uchar(0xF7));
}

QByteArray FaultsTest::recordWhenItHas(int expected)
{
    // The last messages may still be on their way when the run ends.
    QElapsedTimer clock;
    clock.start();
    QByteArray record = readFile(recordPath);
    while (record.size() < expected && clock.elapsed() < 30000) {
        QTest::qWait(20);
        record = readFile(recordPath);
    }
    return record;
}

void FaultsTest::silentDeviceLeavesAWayOut_data()
{
    QTest::addColumn<int>("answered"); // messages the device answers before it falls silent
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("never answers") << 0 << QStringList();
    QTest::newRow("answers the header only") << 1 << QStringList{question()};
    QTest::newRow("falls silent after 5 messages") << 5 << QStringList{question()};
}

// No reply means no time limit: the transfer waits, the window stays responsive, Exit ends it.
void FaultsTest::silentDeviceLeavesAWayOut()
{
    QFETCH(int, answered);
    QFETCH(QStringList, boxes);
    QVERIFY(device.start({"--silent-after", QString::number(answered)}, recordPath));

    // The device records the message it does not answer, too.
    const Outcome outcome = run(smallFile, [&] { return recordedMessages() > answered; });
    QVERIFY(outcome.exitPressed);
    QCOMPARE(outcome.boxes, boxes);

    const QByteArray file = readFile(smallFile);
    const QByteArrayList messages = messagesOf(file);
    const QByteArray record = readFile(recordPath);
    verifyWholeMessagePrefix(record, file);
    QCOMPARE(messagesOf(record).size(), answered + 1);
    // The progress shows what was acknowledged; none at all before the header was.
    int acknowledged = 0;
    for (int i = 0; i < answered; ++i)
        acknowledged += messages.at(i).size();
    QCOMPARE(outcome.progress, answered == 0 ? -1 : int(qint64(acknowledged) * 100 / file.size()));
}

// The device closes its ports and exits after 10 messages: the 11th goes nowhere and is never
// acknowledged. Within about 2 s the status line names the port that has gone.
void FaultsTest::deviceVanishesMidTransfer()
{
    QVERIFY(device.start({"--quit-after", "10"}, recordPath));
    QElapsedTimer sinceQuit;
    qint64 namedAfterMs = -1;
    QString note;
    const Outcome outcome = run(smallFile, [&] {
        if (device.process.state() != QProcess::NotRunning)
            return false;
        if (!sinceQuit.isValid())
            sinceQuit.start();
        QTextDocument tip;
        tip.setHtml(mainWindow()->StatusNote->toolTip());
        note = tip.toPlainText();
        if (note.contains(QLatin1String("has gone")))
            namedAfterMs = sinceQuit.elapsed();
        return namedAfterMs >= 0 || sinceQuit.elapsed() > 10000;
    });
    QVERIFY(outcome.exitPressed);
    QVERIFY(device.stop()); // it quit by itself, cleanly
    // Whichever of the device's ports went first: under ALSA its input and output are two
    // clients, which close one after the other.
    const QString after = QStringLiteral("\" has gone: was the instrument disconnected? The update "
                                         "stopped at message 11 of 41 and is not complete.");
    QVERIFY2(note.startsWith("The MIDI port \"" + gMIDI.MIDIportName + after) ||
                 note.startsWith("The MIDI port \"" + gMIDI.OutputPortName + after),
             qPrintable(note));
    qInfo("the vanished port was named %lld ms after the device was seen to quit", namedAfterMs);
    QVERIFY2(namedAfterMs <= 2500, qPrintable(QString::number(namedAfterMs)));

    const QByteArray file = readFile(smallFile);
    const QByteArray record = readFile(recordPath);
    verifyWholeMessagePrefix(record, file);
    QCOMPARE(messagesOf(record).size(), 10);
    QCOMPARE(outcome.boxes, QStringList{question()}); // no "End"
}

void FaultsTest::wholeFileArrives_data()
{
    QTest::addColumn<QStringList>("options"); // the device's
    QTest::addColumn<QString>("current");     // the version it reports
    QTest::addColumn<bool>("big");            // the 16 MB file instead of the small one

    // Every reply is followed by an extra ACK. The extra one raises the flag again after the
    // transfer took the reply, so the wait for the next message ends at once: the transfer sends
    // message k + 1 while the device has not yet acknowledged message k. It still sends the
    // file's messages in order, one per raised flag, and says "End" after the last.
    QTest::newRow("duplicate ACK after each reply")
        << QStringList{"--duplicate-ack"} << "1.0.0" << false;
    // Messages that are no reply, before the reply or (when they are not SysEx) after it, leave
    // the reply to be recognised.
    QTest::newRow("identity request before each reply")
        << QStringList{"--noise-before"} << "1.0.0" << false;
    QTest::newRow("note before and after each reply")
        << QStringList{"--noise-before", "--noise-after", "--noise", "90 3C 40"} << "1.0.0"
        << false;
    QTest::newRow("400-byte SysEx before each reply")
        << QStringList{"--noise-before", "--noise", QString(unrelatedSysEx(400).toHex(' '))}
        << "1.0.0" << false;
    QTest::newRow("timing clock and active sensing around each reply")
        << QStringList{"--noise-before", "--noise-after", "--noise", "F8 FE"} << "1.0.0" << false;
    QTest::newRow("replies in 2 pieces") << QStringList{"--split", "2"} << "1.0.0" << false;
    QTest::newRow("replies in 3 pieces") << QStringList{"--split", "3"} << "1.0.0" << false;
    QTest::newRow("replies one byte per piece")
        << QStringList{"--split", "100"} << "1.0.0" << false;
    // A version reply of 414 bytes in a receive buffer of 304: it is cut to its first 302 data
    // bytes and its F7, which still makes a version reply; the question shows 22 characters.
    QString longVersion;
    for (int i = 0; i < 400; ++i)
        longVersion += QChar('A' + i % 26);
    QTest::newRow("version reply longer than the receive buffer")
        << QStringList() << longVersion << false;
    // 16 MB in messages of 4 KB, the longest the updater sends on any service.
    QTest::newRow("16 MB") << QStringList() << "1.0.0" << true;
}

// Whatever else the device sends around its replies, every reply is recognised: the question
// names both versions, the whole file arrives in order, the progress reaches 100 and "End" shows.
void FaultsTest::wholeFileArrives()
{
    QFETCH(QStringList, options);
    QFETCH(QString, current);
    QFETCH(bool, big);
    if (big && bigFile.isEmpty())
        bigFile = makeUpdate("16mb.cvn", {"--version", "2.0.0", "--total-size", "16777216",
                                          "--message-size", "4096"});
    const QString path = big ? bigFile : smallFile;
    QVERIFY(!path.isEmpty());
    QVERIFY(device.start(QStringList{"--version", current} + options, recordPath));
    const Outcome outcome = run(path);
    QCOMPARE(outcome.boxes, (QStringList{question(current), "End"}));
    QCOMPARE(outcome.progress, 100);
    QCOMPARE(gMIDIsysParser.CurVersionLen, qint64(current.size()));
    const QByteArray file = readFile(path);
    if (big)
        QCOMPARE(file.size(), 16777216);
    const QByteArray record = recordWhenItHas(file.size());
    verifyWholeMessagePrefix(record, file);
    QCOMPARE(record.size(), file.size());
}

// A complete SysEx that is no reply clears an acknowledgement not yet taken. Sent right after the
// reply, it arrives before the transfer's next 1 ms poll (both go in one JACK cycle): the reply
// is lost and the transfer waits for an acknowledgement that does not come, until Exit. Even a
// transfer that won that race a few times meets a lost reply long before the 41st message, so
// the run must stall: the device has answered everything it received, no "End" comes, and only
// Exit ends the run.
void FaultsTest::ackLostToAnUnrelatedMessageAfterIt()
{
    QVERIFY(device.start({"--noise-after"}, recordPath, true));
    int lastCount = -1;
    QElapsedTimer quiet;
    const Outcome outcome = run(smallFile, [&] {
        const int count = recordedMessages();
        const QByteArray &printed = device.printed();
        // Every message received answered, reply and identity request, and nothing new since.
        const bool answered = count > 0 &&
                              printed.contains("#" + QByteArray::number(count) + " ") &&
                              printed.trimmed().endsWith("noise");
        if (count != lastCount || !answered) {
            lastCount = count;
            quiet.start();
            return false;
        }
        return quiet.elapsed() >= 500;
    });
    QVERIFY2(outcome.exitPressed, qPrintable(outcome.boxes.join(" | ")));
    // The header's version reply may be lost the same way; no other box may show, "End" least.
    QVERIFY2(outcome.boxes.isEmpty() || outcome.boxes == QStringList{question()},
             qPrintable(outcome.boxes.join(" | ")));
    const QByteArray file = readFile(smallFile);
    const QByteArray record = readFile(recordPath);
    verifyWholeMessagePrefix(record, file);
    QVERIFY(record.size() < file.size());
    qInfo("the device received %d of %d messages; boxes: %s", int(messagesOf(record).size()),
          int(messagesOf(file).size()), qPrintable(outcome.boxes.join(" | ")));
}

void FaultsTest::messagesWhileTheQuestionIsOpen_data()
{
    QTest::addColumn<QByteArrayList>("messages");
    QTest::addColumn<bool>("raisesTheFlag");
    const QByteArray otherVersion = versionReply("9.9");
    QTest::newRow("ACK") << QByteArrayList{kAck} << true;
    QTest::newRow("another version reply") << QByteArrayList{otherVersion} << true;
    QTest::newRow("identity request") << QByteArrayList{kIdentityRequest} << false;
    QTest::newRow("500-byte SysEx") << QByteArrayList{unrelatedSysEx(500)} << false;
    QTest::newRow("ACK, then identity request") << QByteArrayList{kAck, kIdentityRequest} << false;
}

// The question is asked after the transfer took the version reply. What arrives while it is open
// is analysed as always: an ACK or a version reply raises the flag, which then ends the wait for
// message 2 at once (the transfer runs one message ahead of the device, as with duplicate ACKs);
// anything else leaves nothing to take. Either way the whole file arrives, in order.
void FaultsTest::messagesWhileTheQuestionIsOpen()
{
    QFETCH(QByteArrayList, messages);
    QFETCH(bool, raisesTheFlag);
    QVERIFY(device.start({}, recordPath));

    // A second sender connected to the updater's input port, beside the device.
    std::string reason;
    MidiBackend::OutputPtr injector(
        MidiBackend::openOutput("Corvane Injector", &reason, nullptr, "jack"));
    QVERIFY2(injector, reason.c_str());

    bool flagSeen = false;
    bool injected = false;
    const Outcome outcome = run(smallFile, nullptr, [&](QMessageBox *) {
        int target = -1;
        for (unsigned i = 0; i < injector->getPortCount(); ++i)
            if (QString::fromStdString(injector->getPortName(i))
                    .contains(QRegularExpression("^Corvane Uploader(-[0-9]+)?:")))
                target = int(i);
        if (target < 0)
            return;
        injector->openPort(unsigned(target), "out");
        // A new connection may miss what is sent before JACK has run the sender once: ACKs go
        // until one has raised the flag, which is then taken, so that the row's messages travel
        // a connection known to work.
        std::vector<unsigned char> ack(kAck.begin(), kAck.end());
        bool live = false;
        for (int i = 0; i < 10 && !live; ++i) {
            injector->sendMessage(&ack);
            live = QTest::qWaitFor([] { return gMIDIsysParser.AckFlag.load(); }, 1000);
        }
        if (!live || !gMIDIsysParser.Ack())
            return;
        for (const QByteArray &m : messages) {
            std::vector<unsigned char> bytes(m.begin(), m.end());
            injector->sendMessage(&bytes);
        }
        injected = true;
        // Answered once what was sent has been analysed: the flag shows it for an ACK; other
        // messages get a moment to arrive, after which the flag must still be down.
        flagSeen = QTest::qWaitFor([] { return gMIDIsysParser.AckFlag.load(); },
                                   raisesTheFlag ? 10000 : 1000);
    });
    injector.reset();
    QVERIFY(injected);
    QCOMPARE(flagSeen, raisesTheFlag);
    QCOMPARE(outcome.boxes, (QStringList{question(), "End"}));
    const QByteArray file = readFile(smallFile);
    const QByteArray record = recordWhenItHas(file.size());
    verifyWholeMessagePrefix(record, file);
    QCOMPARE(record.size(), file.size());
}

// The JACK server dies (killed) while the transfer runs: nothing more reaches the device and no
// acknowledgement comes. The updater must neither crash nor hang: Exit ends the run.
void FaultsTest::jackServerKilledMidTransfer()
{
    // The kill ends this process's MIDI service for good, so the case runs in a process of its
    // own against a server of its own, and the other cases may run before or after it.
    if (!qEnvironmentVariableIsSet("CORVANE_FAULTS_OWN_SERVER")) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CORVANE_FAULTS_OWN_SERVER", "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(WITH_JACK_PATH, {QCoreApplication::applicationFilePath(),
                                     QStringLiteral("jackServerKilledMidTransfer")});
        QVERIFY(child.waitForFinished(240000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        return;
    }
    // A skip here would end the child with status 0, and the parent would count it as a pass.
    const pid_t server = pid_t(qEnvironmentVariableIntValue("CORVANE_JACK_PID"));
    QVERIFY2(server > 0, "needs the JACK server's process id in CORVANE_JACK_PID (with-jack.sh)");
    const QString longer =
        makeUpdate("long.cvn", {"--version", "2.0.0", "--count", "5000", "--message-size", "256"});
    QVERIFY(!longer.isEmpty());
    QVERIFY(device.start({}, recordPath));

    bool killed = false;
    const Outcome outcome = run(longer, [&] {
        if (!killed && recordedMessages() >= 20) {
            killed = ::kill(server, SIGKILL) == 0;
            return false;
        }
        // Once the server is gone, nothing can come back.
        return killed && processEnded(server);
    });
    QVERIFY(killed);
    QVERIFY(outcome.exitPressed);
    QCOMPARE(outcome.boxes, QStringList{question()});
    const QByteArray file = readFile(longer);
    const QByteArray record = readFile(recordPath);
    verifyWholeMessagePrefix(record, file);
    QVERIFY(record.size() < file.size());
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
