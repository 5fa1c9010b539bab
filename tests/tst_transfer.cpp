// The update transfer against a fake device: what is sent, what the window shows, which boxes
// appear, and how Exit and bad files end it.
#include "ModalDriver.h"
#include "ViewChecks.h"

#include "midi/MIDI.h"
#include "midi/SysExAssembler.h"
#include "ui/MainWindow.h"
#include "update/HandleSys.h"
#include "update/MIDIsysParser.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextDocument>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "UpdateTestSupport.h"

namespace
{

// A header message of `size` bytes (at least 35 + the text) carrying `version`; the bytes between
// the version's 00 and the F7 are filler.
QByteArray header(const QByteArray &version, int size)
{
    return headerMessage(version, 0, {1000, 2000, 3000, 4000, 5000, 6000}, size);
}

// Any other message: F0, a data pattern, F7.
QByteArray message(int size, int seed)
{
    QByteArray m(1, char(0xF0));
    for (int i = 1; i < size - 1; ++i)
        m += char((i * 7 + seed) & 0x7F);
    return m + char(0xF7);
}

const QString kLongPort =
    QStringLiteral("Corvane Device Tx:Corvane Device Out 129:0 (USB MIDI Interface, 2nd port)");

QString question(const QString &current, const QString &fileVersion)
{
    return QStringLiteral("Current firmware version is ") + current +
           QStringLiteral("\nNew version is ") + fileVersion + QStringLiteral("\nReplace ?");
}

// Stands in for the device at the output: records every message sent and answers message k
// with replies[k] (nothing when empty or missing), at once inside the send or from the event
// loop a moment later.
class FakeDevice
{
public:
    QList<QByteArray> received;
    QList<QByteArray> replies;
    bool synchronous = false;
    std::function<void(int)> onMessage; // called with the 0-based index of each message

    FakeDevice()
    {
        gMIDI.SendSink = [this](const std::vector<unsigned char> &m) {
            received << QByteArray(reinterpret_cast<const char *>(m.data()), int(m.size()));
            const int k = received.size() - 1;
            const QByteArray reply = k < replies.size() ? replies.at(k) : QByteArray();
            if (!reply.isEmpty()) {
                if (synchronous)
                    deliver(reply);
                else
                    QTimer::singleShot(0, &context, [reply] { deliver(reply); });
            }
            if (onMessage)
                onMessage(k);
        };
    }
    ~FakeDevice() { gMIDI.SendSink = nullptr; }

    QObject context; // pending replies die with the device
};

// Records every SetProgressBarValue through the bar's valueChanged signal. The bar is reset after
// each value, so a repeated value is seen again.
class ProgressRecorder
{
public:
    QList<int> values;
    std::function<void(int)> onValue;

    explicit ProgressRecorder(QProgressBar *bar)
    {
        QObject::connect(bar, &QProgressBar::valueChanged, &context, [this, bar](int v) {
            values << v;
            bar->reset();
            if (onValue)
                onValue(v);
        });
    }

    QObject context;
};

// What a tool tip in rich text reads as.
QString plain(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

// Drawn whole in the label's font, not clipped at its edge.
bool fitsWhole(const QLabel *label, const QString &text)
{
    return label->fontMetrics().horizontalAdvance(text) <= label->contentsRect().width();
}

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    int fileCount = 0;

    QString writeFile(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("t%1.cvn").arg(++fileCount));
        ::writeFile(path, bytes);
        return path;
    }

    struct Window {
        MainWindow w;
        QProgressBar *bar;
        QLabel *percent;
        QLabel *msg;
        QPushButton *exit;
        Window()
            : bar(w.findChild<QProgressBar *>(QStringLiteral("progressBar"))),
              percent(w.findChild<QLabel *>(QStringLiteral("labelPercent"))),
              msg(w.findChild<QLabel *>(QStringLiteral("labelMsg"))),
              exit(w.findChild<QPushButton *>(QStringLiteral("pushButton")))
        {
            w.show();
        }
    };

    // Runs ReadData. These transfers take milliseconds; one still running after 20 seconds waits
    // for an acknowledgement that will never come, and one whose check failed in a box's handler
    // has left that box open: either is ended (its box closed, Exit) so the test fails, not hangs.
    static bool runTransfer(HandleSys &h, const QString &path)
    {
        bool stalled = false;
        QElapsedTimer clock;
        clock.start();
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, [&] {
            if (!stalled && clock.elapsed() < 20000 && !QTest::currentTestFailed())
                return;
            stalled = true;
            if (QWidget *modal = QApplication::activeModalWidget())
                ModalDriver::reject(modal);
            h.SetExit();
        });
        guard.start(20);
        h.ReadData(path);
        return !stalled;
    }

    static void checkPlainBox(const ModalDriver::Seen &s)
    {
        QCOMPARE(s.className, QStringLiteral("QMessageBox"));
        QCOMPARE(s.title, QString());
        QCOMPARE(s.icon, QMessageBox::NoIcon);
        QCOMPARE(s.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(gMIDI.SendSink == nullptr);
    }

    // Every test starts with a device that has sent nothing yet.
    void init()
    {
        resetReceivePath();
        oHandleSys = nullptr;
    }

    void cleanup()
    {
        oHandleSys = nullptr;
        gMIDI.MessageLimit = 0;
        gMIDI.OutputPortName.clear();
        gMIDI.SendError.clear();
        // Exit asks the application to quit while no event loop runs; Qt keeps that request and
        // would end every later exec() at once. One pass of the main loop consumes it.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }

    void transfer_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<bool>("synchronous");
        QTest::addColumn<QString>("answer"); // to the question: Yes, No, close, Yes+stray
        QTest::addColumn<int>("strayAckAt"); // progress value at which a stray ACK arrives
        QTest::addColumn<int>("sent");       // messages that must have gone out
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("exitFlag");
        QTest::addColumn<QString>("shown"); // labelMsg; null: never shown

        const QByteArray f35 = header("", 35) + message(300, 1) + message(665, 2);
        const QByteArray f40 = header("2.0.1", 40) + message(300, 3) + message(660, 4);
        const QList<QByteArray> acks{kAck, kAck, kAck};
        const QList<QByteArray> ver{versionReply("1.0.0"), kAck, kAck};
        const QList<int> p35{0, 3, 33, 100};
        const QList<int> p40{0, 4, 34, 100};
        const QString q = question("1.0.0", "2.0.1");
        const QString to = QStringLiteral("Updating to version ");
        const QStringList end{"End"};

        QTest::newRow("35/300/665, ACK each")
            << f35 << acks << false << "" << -1 << 3 << p35 << end << false << to;
        QTest::newRow("35/300/665, ACK inside the send")
            << f35 << acks << true << "" << -1 << 3 << p35 << end << false << to;
        QTest::newRow("version reply, Yes") << f40 << ver << false << "Yes" << -1 << 3 << p40
                                            << QStringList{q, "End"} << false << to + "2.0.1";
        QTest::newRow("version reply inside the send, Yes")
            << f40 << ver << true << "Yes" << -1 << 3 << p40 << QStringList{q, "End"} << false
            << to + "2.0.1";
        QTest::newRow("version reply, No") << f40 << ver << false << "No" << -1 << 1 << QList<int>()
                                           << QStringList{q} << true << QString();
        QTest::newRow("version reply, question closed")
            << f40 << ver << false << "close" << -1 << 1 << QList<int>() << QStringList{q} << true
            << QString();
        QTest::newRow("version reply with empty text")
            << f40 << QList<QByteArray>{versionReply(""), kAck, kAck} << false << "" << -1 << 3
            << p40 << end << false << to + "2.0.1";
        QTest::newRow("one message") << header("9.9", 40) << QList<QByteArray>{kAck} << false << ""
                                     << -1 << 1 << QList<int>{0, 100} << end << false << to + "9.9";
        QTest::newRow("progress repeats")
            << header("", 35) + message(5, 1) + message(5, 2) + message(955, 3)
            << QList<QByteArray>{kAck, kAck, kAck, kAck} << false << "" << -1 << 4
            << QList<int>{0, 3, 4, 4, 100} << end << false << to;
        QTest::newRow("message 1 is no header")
            << hex("F0 7E 10 07 01") + header("x", 35).mid(5) + message(300, 1) + message(665, 2)
            << acks << false << "" << -1 << 3 << p35 << end << false << to;

        const QByteArray v30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
        QTest::newRow("30-character version text")
            << header(v30, 100) + message(900, 5) << QList<QByteArray>{versionReply("1.0.0"), kAck}
            << false << "Yes" << -1 << 2 << QList<int>{0, 10, 100}
            << QStringList{question("1.0.0", QString::fromLatin1(v30)), "End"} << false
            << to + QString::fromLatin1(v30.left(23)) + QChar(0x2026);
        // The widest letters: 23 of them and the mark fit the label.
        QTest::newRow("24 wide characters")
            << header(QByteArray(24, 'W'), 100) + message(900, 5)
            << QList<QByteArray>{versionReply("1.0.0"), kAck} << false << "Yes" << -1 << 2
            << QList<int>{0, 10, 100} << QStringList{question("1.0.0", QString(24, 'W')), "End"}
            << false << to + QString(23, 'W') + QChar(0x2026);
        // Markup in a version text is shown as written, in the question and the window.
        QTest::newRow("markup in the version text")
            << header("<b>2</b>", 40) + message(960, 7)
            << QList<QByteArray>{versionReply("1.0.0"), kAck} << false << "Yes" << -1 << 2
            << QList<int>{0, 4, 100} << QStringList{question("1.0.0", "<b>2</b>"), "End"} << false
            << to + "<b>2</b>";
        // Control characters show as their codes; a device's version cut at 22 bytes is marked.
        const QString c = "\\x0A\\x1B\\x09\\x0D\\x7F\\x07";
        QTest::newRow("control characters in the versions, device's of 23 bytes")
            << header("\n\x1B\t\r\x7F\x07", 40) + message(960, 7)
            << QList<QByteArray>{versionReply("\t" + v30.left(22)), kAck} << false << "Yes" << -1
            << 2 << QList<int>{0, 4, 100}
            << QStringList{question("\\x09" + QString::fromLatin1(v30.left(21)) + QChar(0x2026), c),
                           "End"}
            << false << to + c;
        // The question's file version comes from byte 33 on, which an 11-byte file lacks.
        QTest::newRow("11-byte file, version reply, Yes")
            << hex("F0 7E 10 07 02 00 00 00 00 01 F7") << QList<QByteArray>{versionReply("1.0.0")}
            << false << "Yes" << -1 << 1 << QList<int>{0, 100}
            << QStringList{question("1.0.0", QString()), "End"} << false << to;
        QTest::newRow("parameter 1 is 1: no version, version reply, Yes")
            << headerMessage("2.0.1", 1, {1000, 2000, 3000, 4000, 5000, 6000}, 40) + message(960, 7)
            << QList<QByteArray>{versionReply("1.0.0"), kAck} << false << "Yes" << -1 << 2
            << QList<int>{0, 4, 100} << QStringList{question("1.0.0", QString()), "End"} << false
            << to;

        // A raised flag that no message awaits ends the next wait at once, although the device
        // never answers that next message.
        QTest::newRow("stray ACK during the question")
            << f40 << QList<QByteArray>{versionReply("1.0.0"), QByteArray(), kAck} << false
            << "Yes+stray" << -1 << 3 << p40 << QStringList{q, "End"} << false << to + "2.0.1";
        QTest::newRow("stray ACK after message 2")
            << f35 << QList<QByteArray>{kAck, kAck, QByteArray()} << false << "" << 33 << 3 << p35
            << end << false << to;
    }

    void transfer()
    {
        QFETCH(QByteArray, file);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(QString, answer);
        QFETCH(int, strayAckAt);
        QFETCH(int, sent);
        QFETCH(QList<int>, progress);
        QFETCH(QStringList, boxes);
        QFETCH(bool, exitFlag);
        QFETCH(QString, shown);

        Window win;
        ProgressRecorder recorder(win.bar);
        recorder.onValue = [strayAckAt](int v) {
            if (v == strayAckAt)
                deliver(kAck);
        };
        FakeDevice device;
        device.replies = replies;
        // Replies inside the send: what came before the send returned counts for this message.
        device.synchronous = true;

        ModalDriver driver;
        if (answer == QLatin1String("Yes"))
            driver.expectClick(QMessageBox::Yes);
        else if (answer == QLatin1String("No"))
            driver.expectClick(QMessageBox::No);
        else if (answer == QLatin1String("close"))
            driver.expect([](QWidget *w) { w->close(); });
        else if (answer == QLatin1String("Yes+stray"))
            driver.expect([](QWidget *w) {
                deliver(kAck);
                ModalDriver::clickButton(w, QMessageBox::Yes);
            });
        if (boxes.endsWith(QStringLiteral("End")))
            driver.expectClick(QMessageBox::Ok);

        const QString path = writeFile(file);
        HandleSys h(path, &win.w);
        oHandleSys = &h;
        QVERIFY2(runTransfer(h, path), "the transfer stopped moving");

        const QList<QByteArray> expected = messagesOf(file).mid(0, sent);
        QCOMPARE(device.received, expected);
        QCOMPARE(device.received.join(), file.left(expected.join().size()));
        QCOMPARE(recorder.values, progress);
        QCOMPARE(driver.texts(), boxes);
        QCOMPARE(driver.unhandled(), 0);
        QCOMPARE(h.ExitFlag, exitFlag);
        QCOMPARE(h.FirstMessage, progress.isEmpty());

        for (const ModalDriver::Seen &s : driver.seen()) {
            if (s.text == QLatin1String("End")) {
                checkPlainBox(s);
            } else {
                QCOMPARE(s.title, QStringLiteral("Updater message"));
                QCOMPARE(s.icon, QMessageBox::NoIcon);
                QCOMPARE(s.buttons, QMessageBox::Yes | QMessageBox::No);
                QCOMPARE(s.defaultButton, QMessageBox::No);
            }
        }

        QCOMPARE(win.bar->isHidden(), progress.isEmpty());
        QCOMPARE(win.percent->isHidden(), progress.isEmpty());
        if (!progress.isEmpty())
            QCOMPARE(win.percent->text(), QString::number(progress.last()) + QLatin1Char('%'));
        QCOMPARE(win.msg->isHidden(), shown.isNull());
        if (!shown.isNull()) {
            QCOMPARE(win.msg->text(), shown);
            QCOMPARE(win.msg->textFormat(), Qt::PlainText);
            QVERIFY(fitsWhole(win.msg, shown));
            // The whole version in the tool tip: as the question showed it, where it was cut.
            QString whole = shown.mid(int(std::strlen("Updating to version ")));
            if (whole.endsWith(QChar(0x2026)))
                whole =
                    QRegularExpression("New version is (.*)\n").match(boxes.value(0)).captured(1);
            QCOMPARE(plain(win.msg->toolTip()), whole);
        }
    }

    // Exit while the transfer waits for message k's acknowledgement: messages 1 to k are out,
    // k + 1 never is, and no box appears. The status line says what the wait is about: from 3 s
    // on the time waited and what else the device sent, from 60 s on what the user can do; a
    // refused send at once. Time runs on a test clock, except where a row waits for real.
    void exitWhileWaiting_data()
    {
        QTest::addColumn<int>("k");
        QTest::addColumn<QByteArray>("reply"); // the device's answer to message k
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<int>("lateMs");      // message k - 1 is answered this late; 0: at once
        QTest::addColumn<int>("messages");    // in the file: 3, or 16385
        QTest::addColumn<int>("waitedMs");    // on the test clock at Exit; -1: the real clock
        QTest::addColumn<QString>("failure"); // the library's reason for refusing message k
        QTest::addColumn<QString>("note");    // the status line's whole text at Exit

        const QString w2 = QStringLiteral("Waiting for the device to acknowledge message 2 of 3: ");
        const QString advice = QStringLiteral(
            " If no answer comes, check the MIDI connection and the instrument. Exit stops here: "
            "the update is not complete.");
        QTest::newRow("message 1, silent")
            << 1 << QByteArray() << QList<int>() << 0 << 3 << 0 << QString() << QString();
        QTest::newRow("message 2, silent")
            << 2 << QByteArray() << QList<int>{0, 3} << 0 << 3 << 0 << QString() << QString();
        QTest::newRow("message 3, silent")
            << 3 << QByteArray() << QList<int>{0, 3, 33} << 0 << 3 << 0 << QString() << QString();
        QTest::newRow("message 1, ACK from device 11")
            << 1 << hex("F0 7E 11 7F 00 F7") << QList<int>() << 0 << 3 << 0 << QString()
            << QString();
        QTest::newRow("message 2, ACK of packet 01")
            << 2 << hex("F0 7E 10 7F 01 F7") << QList<int>{0, 3} << 0 << 3 << 0 << QString()
            << QString();
        QTest::newRow("message 3, message 2 answered after 3.5 s")
            << 3 << QByteArray() << QList<int>{0, 3, 33} << 3500 << 3 << -1 << QString()
            << QString();
        QTest::newRow("message 2, silent for 2.9 s")
            << 2 << QByteArray() << QList<int>{0, 3} << 0 << 3 << 2999 << QString() << QString();
        QTest::newRow("message 2, silent for 59 s") << 2 << QByteArray() << QList<int>{0, 3} << 0
                                                    << 3 << 59999 << QString() << w2 + "59 s.";
        QTest::newRow("message 2, silent for 60 s")
            << 2 << QByteArray() << QList<int>{0, 3} << 0 << 3 << 60000 << QString()
            << w2 + "60 s." + advice;
        QTest::newRow("message 1, ACK from device 11, 3 s")
            << 1 << hex("F0 7E 11 7F 00 F7") << QList<int>() << 0 << 3 << 3000 << QString()
            << "Waiting for the device to acknowledge message 1 of 3: 3 s. It sent 1 message that "
               "is no acknowledgement: F0 7E 11 7F 00 F7.";
        QTest::newRow("message 2, a note and two SysEx, 61 s")
            << 2 << hex("90 3C 40 F0 7E 10 06 01 F7 F0 01 02 03 04 05 06 07 08 F7")
            << QList<int>{0, 3} << 0 << 3 << 61000 << QString()
            << w2 +
                   "61 s. It sent 3 messages that are no acknowledgement, the last: F0 01 02 03 04 "
                   "05 06 \u2026" +
                   advice;
        QTest::newRow("message 2 of 16385, silent for 1000 s")
            << 2 << QByteArray() << QList<int>{0, 0} << 0 << 16385 << 1000000 << QString()
            << "Waiting for the device to acknowledge message 2 of 16,385: 1,000 s." + advice;
        QTest::newRow("message 2 of 16385 refused, long port name")
            << 2 << QByteArray() << QList<int>{0, 0} << 0 << 16385 << 1000000
            << "MidiOutAlsa::sendMessage: error sending MIDI message to port."
            << "Message 2 of 16,385 could not be sent: the MIDI port \"" + kLongPort +
                   "\" did not take it. The update is not complete: check the MIDI connection, "
                   "press Exit and run the update again.\n\nThe MIDI library said: "
                   "MidiOutAlsa::sendMessage: error sending MIDI message to port.";
    }

    void exitWhileWaiting()
    {
        QFETCH(int, k);
        QFETCH(QByteArray, reply);
        QFETCH(QList<int>, progress);
        QFETCH(int, lateMs);
        QFETCH(int, messages);
        QFETCH(int, waitedMs);
        QFETCH(QString, failure);
        QFETCH(QString, note);

        QByteArray file = header("", 35);
        for (int i = 1; i < messages; ++i)
            file += message(i == 1 ? 300 : i == 2 ? 665 : 6, i);
        Window win;
        ProgressRecorder recorder(win.bar);
        FakeDevice device;
        // Replies inside the send: what came before the send returned counts for this message.
        device.synchronous = true;
        device.replies = {kAck, kAck, kAck};
        device.replies[k - 1] = reply;
        if (lateMs > 0)
            device.replies[k - 2] = QByteArray();
        if (!failure.isEmpty())
            gMIDI.OutputPortName = kLongPort;
        QLabel *status = win.w.StatusNote;
        QString noteBeforeAnswer;
        QString noteAtExit = QStringLiteral("not read");
        QString shownAtExit;
        bool wholeAtExit = false;
        qint64 now = 0;
        device.onMessage = [&](int index) {
            if (lateMs > 0 && index == k - 2)
                QTimer::singleShot(lateMs, &device.context, [&] {
                    noteBeforeAnswer = plain(status->toolTip());
                    deliver(kAck);
                });
            if (index != k - 1)
                return;
            if (!failure.isEmpty())
                gMIDI.SendError = failure; // the library refused this send
            QTimer::singleShot(0, &device.context, [&] {
                now = qMax(waitedMs, 0);
                QTimer::singleShot(50, &device.context, [&] {
                    noteAtExit = plain(status->toolTip());
                    shownAtExit = status->text();
                    wholeAtExit = inView(&win.w, status, noteAtExit.section("\n\n", 0, 0));
                    QTest::mouseClick(win.exit, Qt::LeftButton);
                });
            });
        };
        ModalDriver driver;

        const QString path = writeFile(file);
        HandleSys h(path, &win.w);
        if (waitedMs >= 0)
            h.Clock = [&now] { return now; };
        oHandleSys = &h;
        QVERIFY2(runTransfer(h, path), "the transfer stopped moving");

        QCOMPARE(device.received, messagesOf(file).mid(0, k));
        QCOMPARE(driver.texts(), QStringList());
        QCOMPARE(h.ExitFlag, true);
        QCOMPARE(recorder.values, progress);
        if (lateMs > 0) {
            const QRegularExpression waiting(
                QStringLiteral("^Waiting for the device to acknowledge message %1 of 3: [34] s\\.$")
                    .arg(k - 1));
            QVERIFY2(waiting.match(noteBeforeAnswer).hasMatch(), qPrintable(noteBeforeAnswer));
        }
        // Gone with the answer; for message k as the row says.
        QCOMPARE(noteAtExit, note);
        // All of it but the library's words, every word in view, on as many lines as it takes.
        QCOMPARE(shownAtExit, note.section(QStringLiteral("\n\n"), 0, 0));
        QVERIFY(wholeAtExit);
    }

    // A header whose version text runs on for more than 2 GiB without a 00: only the first bytes
    // are read, for the window and the question alike. The bytes are two small files mapped over
    // and over, so no gigabytes are written or held.
    void versionTextWithoutEnd()
    {
        const qint64 chunk = qint64(1) << 20;
        const qint64 total = (qint64(1) << 31) + chunk;
        const QByteArray first = header("", 35).left(33) + QByteArray(int(chunk) - 33, 'A');
        QFile head(writeFile(first));
        QFile rest(writeFile(QByteArray(int(chunk), 'A')));
        QVERIFY(head.open(QIODevice::ReadOnly) && rest.open(QIODevice::ReadOnly));
        auto *bytes = static_cast<unsigned char *>(::mmap(
            nullptr, size_t(total), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        QVERIFY(bytes != MAP_FAILED);
        for (qint64 at = 0; at < total; at += chunk)
            QVERIFY(::mmap(bytes + at, size_t(chunk), PROT_READ, MAP_SHARED | MAP_FIXED,
                           (at ? rest : head).handle(), 0) != MAP_FAILED);

        Window win;
        HandleSys h(writeFile(QByteArray()), &win.w);
        unsigned char *const own = h.FileBuf;
        h.FileBuf = bytes;
        h.FileLen = total;
        h.getParameters();
        gMIDIsysParser.StoreVersion(reinterpret_cast<const unsigned char *>("1.0.0"), 5, 5);
        ModalDriver driver;
        driver.expectClick(QMessageBox::No);
        const bool replace = h.ReplaceYesNo();
        h.FileBuf = own;
        h.FileLen = 0;
        ::munmap(bytes, size_t(total));

        QCOMPARE(QByteArray(h.NewVersion), QByteArray(23, 'A'));
        QVERIFY(!replace);
        QCOMPARE(driver.texts(), QStringList{question("1.0.0", QString(64, 'A') + QChar(0x2026))});
    }

    void badFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("why"); // after "Illegal file.", %1 the file's name; "": nothing

        const QByteArray good = header("1.0", 40) + message(60, 1);
        const QString damaged = "The file \"%1\" is damaged: %2. Download the update file again.";
        const QString noF7 = damaged.arg("%1", "message %2 (from byte offset %3) has no F7: the "
                                               "file was cut short");
        QTest::newRow("no such file") << "missing" << QByteArray() << "";
        QTest::newRow("size not taken, file there at the load") << "appears" << good << "";
        const QString changed = "The file \"%1\" changed while it was read: it is still being "
                                "written; try again when it is complete.";
        QTest::newRow("shorter at the load than when sized") << "shrinks" << good << changed;
        QTest::newRow("longer at the load than when sized") << "grows" << good << changed;
        QTest::newRow("rewritten in place since it was sized") << "rewritten" << good << changed;
        QTest::newRow("a folder")
            << "folder" << QByteArray()
            << "\"%1\" is a folder, not an update file: choose the update file (.cvn) itself.";
        // Refused at once: opening it would wait for a writer.
        QTest::newRow("a FIFO") << "fifo" << QByteArray()
                                << "\"%1\" is a FIFO (named pipe), not an update file: choose the "
                                   "update file (.cvn) itself.";
        QTest::newRow("a file under /proc") << "/proc/cpuinfo" << QByteArray()
                                            << "\"%1\" is a file that the system makes as it is "
                                               "read, not an update file: choose the update file "
                                               "(.cvn) itself.";
        QTest::newRow("larger than memory")
            << "huge" << QByteArray()
            << "The file \"%1\" is 1,125,899,906,842,624 bytes long, and an update file is at "
               "most 268,435,456 bytes (256 MiB): it is no update file.";
        QTest::newRow("empty file")
            << "bytes" << QByteArray()
            << "The file \"%1\" holds no message: it is empty, so there is nothing to send.";
        QTest::newRow("last message without F7")
            << "bytes" << good + hex("F0 01 02") << noF7.arg("%1", "3", "100");
        QTest::newRow("header without F7")
            << "bytes" << header("1.0", 40).chopped(1) << noF7.arg("%1", "1", "0");
        QTest::newRow("no F7 at all")
            << "bytes" << hex("F0 7E 10 07 02 00 00 00 00") << noF7.arg("%1", "1", "0");
        QTest::newRow("one byte F0") << "bytes" << hex("F0") << noF7.arg("%1", "1", "0");
        QTest::newRow("byte after the last message")
            << "bytes" << good + hex("00")
            << damaged.arg("%1", "message 3 should begin at byte offset 100, but the byte there "
                                 "is 00, not F0: it belongs to no message");
        // Two messages run together: the device would drop both.
        QTest::newRow("message 2 lost its F7")
            << "bytes" << header("1.0", 40) + message(60, 1).chopped(1) + message(60, 2)
            << damaged.arg("%1", "message 2 (from byte offset 40) has lost its F7 and runs into "
                                 "the next message, whose F0 is at byte offset 99");
        QByteArray topBit = good + message(60, 2);
        topBit[150] = char(0x80);
        QTest::newRow("a data byte with its top bit set")
            << "bytes" << topBit
            << damaged.arg("%1", "message 3 (from byte offset 100) holds the byte 80 at byte "
                                 "offset 150, which no MIDI System Exclusive message carries");
        QTest::newRow("8-bit version text")
            << "bytes" << header("2.0-\xCE\xB2", 40) + message(60, 1)
            << damaged.arg("%1", "message 1 (from byte offset 0) holds the byte CE at byte offset "
                                 "37, which no MIDI System Exclusive message carries");
        // Refused before the header goes out, naming the longest message, not the first or last
        // long one.
        QTest::newRow("a message longer than the port carries")
            << "limit 4096" << good + message(4096, 2) + message(6000, 3) + message(4097, 4) << "";
    }

    void badFile()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, file);
        QFETCH(QString, why);

        QString path = dir.filePath(QStringLiteral("bad%1.cvn").arg(++fileCount));
        std::unique_ptr<QTemporaryFile> huge;
        QString text = QStringLiteral("Illegal file.");
        if (kind == QLatin1String("limit 4096")) {
            gMIDI.MessageLimit = 4096;
            text = QStringLiteral("This update file cannot be sent over MIDI: message 4 of 5 is "
                                  "6,000 bytes long, and a MIDI interface (USB or 5-pin) takes at "
                                  "most 4,096 bytes in one message. Nothing was sent to the "
                                  "device.");
        }
        if (QStringList{"bytes", "shrinks", "grows", "rewritten", "limit 4096"}.contains(kind)) {
            path = writeFile(file);
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(path));
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind.startsWith(QLatin1Char('/'))) {
            path = kind;
        } else if (kind == QLatin1String("huge")) {
            huge = hugeSparseFile();
            if (!huge)
                QSKIP("no file system here holds a sparse file of 1 PiB");
            path = huge->fileName();
        }
        if (!why.isEmpty())
            text += "\n\n" + why.arg(QFileInfo(path).fileName());

        Window win;
        ProgressRecorder recorder(win.bar);
        FakeDevice device;
        device.replies = {kAck, kAck, kAck};
        ModalDriver driver;
        driver.expectClick(QMessageBox::Ok);

        HandleSys h(path, &win.w);
        oHandleSys = &h;
        if (kind == QLatin1String("appears")) {
            QVERIFY(!QFile::exists(path));
            ::writeFile(path, file);
        } else if (kind == QLatin1String("shrinks")) {
            QVERIFY(QFile::resize(path, file.size() / 2));
        } else if (kind == QLatin1String("grows")) {
            ::writeFile(path, file + file);
        } else if (kind == QLatin1String("rewritten")) {
            // Its time set apart too: a coarse clock may give the rewrite the time of the write.
            ::writeFile(path, file);
            const struct timespec epoch[2] = {{0, 0}, {0, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), epoch, 0), 0);
        }
        QVERIFY2(runTransfer(h, path), "the transfer stopped moving");

        QCOMPARE(device.received, QList<QByteArray>());
        QCOMPARE(driver.texts(), QStringList{text});
        checkPlainBox(driver.seen().first());
        QCOMPARE(recorder.values, QList<int>());
        QVERIFY(win.bar->isHidden());
        QVERIFY(win.msg->isHidden());
        QCOMPARE(h.ExitFlag, false);
    }

    // The path reaches the file system in its own encoding, so names beyond ASCII work.
    void nonAsciiPath_data()
    {
        QTest::addColumn<QByteArray>("folder"); // UTF-8 bytes of the names on disk
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("folder M\xC3\xBCller")
            << QByteArray("M\xC3\xBCller") << QByteArray("fw.cvn");
        QTest::newRow("name \xC3\xA9t\xC3\xA9")
            << QByteArray("plain") << QByteArray("\xC3\xA9t\xC3\xA9 2.cvn");
        QTest::newRow("CJK names")
            << QByteArray("\xE6\x9B\xB4\xE6\x96\xB0") << QByteArray("\xE3\x83\x95\xE3\x82\xA1.cvn");
    }

    void nonAsciiPath()
    {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);

        const QByteArray file = header("3.0", 40) + message(60, 7);
        const QString path = writeRawPath(
            dir.path().toUtf8() + "/u" + QByteArray::number(++fileCount), folder, name, file);
        QVERIFY(!path.isEmpty());

        Window win;
        FakeDevice device;
        device.replies = {kAck, kAck};
        ModalDriver driver;
        driver.expectClick(QMessageBox::Ok);

        HandleSys h(path, &win.w);
        oHandleSys = &h;
        QVERIFY2(runTransfer(h, path), "the transfer stopped moving");

        QCOMPARE(device.received, messagesOf(file));
        QCOMPARE(driver.texts(), QStringList{"End"});
    }

    // delay waits at least the time asked and keeps the event loop turning meanwhile.
    void delayProcessesEvents()
    {
        bool fired = false;
        QObject context;
        QTimer::singleShot(0, &context, [&] { fired = true; });
        QElapsedTimer clock;
        clock.start();
        delay(20);
        QVERIFY(clock.elapsed() >= 20);
        QVERIFY(fired);
    }
};

QTEST_MAIN(TestTransfer)
#include "tst_transfer.moc"
