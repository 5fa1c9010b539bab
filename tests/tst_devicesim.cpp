// Tests of corvane-device-sim over a private JACK server, and of corvane-make-update.
#include "midi/MIDI.h"
#include "midi/MidiBackend.h"

#include "UpdateTestSupport.h"

#include <QtTest>

#include <RtMidi.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>

#include <signal.h>

Q_DECLARE_METATYPE(QList<QByteArrayList>)

namespace
{

const char *const kDeviceOut = "Corvane Device Tx:Corvane Device Out"; // the device sends here
const char *const kDeviceIn = "Corvane Device Rx:Corvane Device In";   // the device receives here
const int kWaitMs = 15000; // generous: only a broken simulator comes near it

// Our own loop-back marker; it never goes to the device.
const QByteArray kMarker = hex("F0 7D 4D 4B F7");

QByteArray randomMessage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray message(size, '\0');
    for (int i = 1; i < size - 1; ++i)
        message[i] = char(random.bounded(0x80));
    message[0] = char(0xF0);
    message[size - 1] = char(0xF7);
    return message;
}

QList<int> repeated(int count, int value)
{
    QList<int> list;
    for (int i = 0; i < count; ++i)
        list << value;
    return list;
}

// Counts JACK process cycles, so a new connection can be given time to reach the running graph.
class JackCycles
{
public:
    ~JackCycles()
    {
        if (client_)
            jack_client_close(client_);
    }
    bool open()
    {
        client_ = jack_client_open("Sim Test Clock", JackNoStartServer, nullptr);
        return client_ && jack_set_process_callback(client_, &JackCycles::process, this) == 0 &&
               jack_activate(client_) == 0;
    }
    // A connection made before this returns is in the graph of every later cycle.
    bool settle()
    {
        const unsigned long target = count_.load() + 4;
        QElapsedTimer timer;
        timer.start();
        while (count_.load() < target) {
            if (timer.elapsed() > kWaitMs)
                return false;
            QThread::msleep(1);
        }
        return true;
    }

private:
    static int process(jack_nframes_t, void *self)
    {
        ++static_cast<JackCycles *>(self)->count_;
        return 0;
    }
    jack_client_t *client_ = nullptr;
    std::atomic<unsigned long> count_{0};
};

JackCycles *gCycles = nullptr;

// A raw JACK MIDI input that keeps every event as it came, unlike RtMidi, which joins the pieces
// of a SysEx message before handing it over.
class JackTap
{
public:
    ~JackTap()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
        if (ring_)
            jack_ringbuffer_free(ring_);
    }
    bool open(const char *source)
    {
        ring_ = jack_ringbuffer_create(1 << 20);
        client_ = jack_client_open("Sim Test Tap", JackNoStartServer, nullptr);
        if (!ring_ || !client_)
            return false;
        port_ = jack_port_register(client_, "events", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        return port_ && jack_set_process_callback(client_, &JackTap::process, this) == 0 &&
               jack_activate(client_) == 0 &&
               jack_connect(client_, source, jack_port_name(port_)) == 0 && gCycles->settle();
    }
    QByteArrayList events()
    {
        quint32 size = 0;
        while (jack_ringbuffer_read_space(ring_) >= sizeof size) {
            jack_ringbuffer_peek(ring_, reinterpret_cast<char *>(&size), sizeof size);
            if (jack_ringbuffer_read_space(ring_) < sizeof size + size)
                break; // the rest of this event is still being written
            jack_ringbuffer_read_advance(ring_, sizeof size);
            QByteArray event(int(size), '\0');
            jack_ringbuffer_read(ring_, event.data(), size);
            events_ << event;
        }
        return events_;
    }
    bool waitForEvents(int count)
    {
        QElapsedTimer timer;
        timer.start();
        while (events().size() < count) {
            if (timer.elapsed() > kWaitMs)
                return false;
            QThread::msleep(2);
        }
        return true;
    }
    int lost() const { return lost_.load(); }

private:
    static int process(jack_nframes_t frames, void *arg)
    {
        auto *self = static_cast<JackTap *>(arg);
        void *buffer = jack_port_get_buffer(self->port_, frames);
        const quint32 n = jack_midi_get_event_count(buffer);
        for (quint32 i = 0; i < n; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0)
                continue;
            const quint32 size = quint32(event.size);
            if (jack_ringbuffer_write_space(self->ring_) < sizeof size + size) {
                ++self->lost_;
                continue;
            }
            jack_ringbuffer_write(self->ring_, reinterpret_cast<const char *>(&size), sizeof size);
            jack_ringbuffer_write(self->ring_, reinterpret_cast<const char *>(event.buffer), size);
        }
        return 0;
    }
    jack_client_t *client_ = nullptr;
    jack_port_t *port_ = nullptr;
    jack_ringbuffer_t *ring_ = nullptr;
    std::atomic<int> lost_{0};
    QByteArrayList events_;
};

// The updater's side of the wire, as RtMidi shows it: sends to the device's input and receives
// what the device's output sends.
class Peer
{
public:
    ~Peer()
    {
        delete in_; // first, so no callback runs while the rest goes
        MidiBackend::CloseOutput()(out_);
        MidiBackend::CloseOutput()(marker_);
    }

    bool connect(QString *why)
    {
        std::string reason;
        in_ = MidiBackend::openInput("Sim Test In", 100, &reason, "jack");
        out_ = MidiBackend::openOutput("Sim Test Out", &reason, in_, "jack");
        marker_ = MidiBackend::openOutput("Sim Test Marker", &reason, in_, "jack");
        if (!in_ || !out_ || !marker_) {
            *why = QString::fromStdString(reason);
            return false;
        }
        try {
            in_->ignoreTypes(false, false, false);
            in_->setCallback(&Peer::onMidi, this);
            const int from = find(*in_, kDeviceOut);
            const int to = find(*out_, kDeviceIn);
            if (from < 0 || to < 0) {
                *why = "the device's ports are not listed";
                return false;
            }
            in_->openPort(unsigned(from), "from-device");
            out_->openPort(unsigned(to), "to-device");
            // The marker joins the device's output at our input, behind everything it sent.
            const int self = find(*marker_, "Sim Test In:from-device");
            if (self < 0) {
                *why = "our own input port is not listed";
                return false;
            }
            marker_->openPort(unsigned(self), "marker");
        } catch (const RtMidiError &e) {
            *why = QString::fromStdString(e.getMessage());
            return false;
        }
        return gCycles->settle();
    }

    void send(const QByteArray &message)
    {
        out_->sendMessage(reinterpret_cast<const unsigned char *>(message.constData()),
                          size_t(message.size()));
    }

    bool next(QByteArray *message, int timeoutMs = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return !received_.empty(); }))
            return false;
        *message = received_.front();
        received_.pop_front();
        return true;
    }

    // Everything still to come from the device. Call it once the device has exited: its output
    // was drained when it closed, so our marker, sent after that, arrives behind all of it.
    QByteArrayList rest()
    {
        marker_->sendMessage(reinterpret_cast<const unsigned char *>(kMarker.constData()),
                             size_t(kMarker.size()));
        QByteArrayList before;
        QByteArray message;
        while (next(&message)) {
            if (message == kMarker)
                return before;
            before << message;
        }
        before << "(the marker never came back)";
        return before;
    }

    static QStringList portNames(RtMidi &midi)
    {
        QStringList names;
        for (unsigned i = 0, n = midi.getPortCount(); i < n; ++i)
            names << QString::fromStdString(midi.getPortName(i));
        return names;
    }
    RtMidiIn *input() { return in_; }
    RtMidiOut *output() { return out_; }

private:
    static int find(RtMidi &midi, const char *name)
    {
        return int(portNames(midi).indexOf(QString::fromUtf8(name)));
    }
    static void onMidi(double, std::vector<unsigned char> *message, void *self)
    {
        auto *peer = static_cast<Peer *>(self);
        {
            std::lock_guard<std::mutex> lock(peer->mutex_);
            peer->received_.push_back(
                QByteArray(reinterpret_cast<const char *>(message->data()), int(message->size())));
        }
        peer->ready_.notify_one();
    }

    RtMidiIn *in_ = nullptr;
    RtMidiOut *out_ = nullptr;
    RtMidiOut *marker_ = nullptr;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QByteArray> received_;
};

// One run of the simulator.
class Sim
{
public:
    ~Sim()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kWaitMs);
        }
    }
    bool start(const QStringList &args)
    {
        process_.start(QStringLiteral(SIM_PATH), args);
        return process_.waitForStarted(kWaitMs) && waitFor(QStringLiteral("^ready$"));
    }
    bool waitFor(const QString &pattern)
    {
        const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            if (re.match(output()).hasMatch())
                return true;
            if (process_.state() == QProcess::NotRunning || timer.elapsed() > kWaitMs)
                return re.match(output()).hasMatch();
            process_.waitForReadyRead(50);
        }
    }
    // With -v: the device has handled (and answered, where it does) its nth message.
    bool waitForMessage(int n) { return waitFor(QStringLiteral("^#%1 ").arg(n)); }
    bool stop(int signal)
    {
        ::kill(pid_t(process_.processId()), signal);
        return finish();
    }
    bool finish() { return process_.waitForFinished(kWaitMs); }
    bool exitedCleanly() const
    {
        return process_.state() == QProcess::NotRunning &&
               process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    QString output()
    {
        out_ += process_.readAllStandardOutput();
        return QString::fromUtf8(out_);
    }
    QString errors()
    {
        err_ += process_.readAllStandardError();
        return QString::fromUtf8(err_);
    }
    QProcess &process() { return process_; }

private:
    QProcess process_;
    QByteArray out_;
    QByteArray err_;
};

QString summary(int messages, qint64 bytes, int replies, int extras)
{
    return QStringLiteral("summary: received %1 messages (%2 bytes), sent %3 replies and %4 extra "
                          "messages")
        .arg(messages)
        .arg(bytes)
        .arg(replies)
        .arg(extras);
}

struct MakeUpdateRun {
    int exitCode = -1;
    QByteArray file;
    QString errors;
};

MakeUpdateRun runMakeUpdate(const QStringList &args, const QString &path)
{
    MakeUpdateRun run;
    makeUpdate(path, args, &run.errors, &run.exitCode);
    if (run.exitCode >= 0)
        run.file = readFile(path);
    return run;
}

} // namespace

#define START_SIM(sim, args)                                                                       \
    do {                                                                                           \
        QVERIFY2((sim).start(args), qPrintable((sim).output() + (sim).errors()));                  \
    } while (0)

#define CONNECT_PEER(peer)                                                                         \
    do {                                                                                           \
        QString why_;                                                                              \
        QVERIFY2((peer).connect(&why_), qPrintable(why_));                                         \
    } while (0)

class TestDeviceSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // The replies, message by message.
    void replies_data();
    void replies();
    void splitSendsPieces_data();
    void splitSendsPieces();
    void ignoresOtherMessages();
    void joinsPieces_data();
    void joinsPieces();
    void delayHoldsReplies();
    void stopDuringDelay();
    void quitAfter();

    // What it records.
    void recordsExactly_data();
    void recordsExactly();
    void updateFileRoundTrip();

    // Its life as a process.
    void signalsStopCleanly_data();
    void signalsStopCleanly();
    void badCommandLine_data();
    void badCommandLine();
    void unreachableService();
    void pairsWithUpdaterPortMatching();

    // The update file writer.
    void makeUpdateHeader();
    void makeUpdateLayout_data();
    void makeUpdateLayout();
    void makeUpdateLargeFiles_data();
    void makeUpdateLargeFiles();
    void makeUpdateSeed();
    void makeUpdateRejects_data();
    void makeUpdateRejects();

private:
    JackCycles cycles_;
    QTemporaryDir dir_;
};

void TestDeviceSim::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("JACK_DEFAULT_SERVER"),
             "run under tests/with-jack.sh, which starts a private JACK server");
    QVERIFY2(cycles_.open(), "no JACK server reachable");
    gCycles = &cycles_;
    QVERIFY(dir_.isValid());
}

void TestDeviceSim::cleanupTestCase()
{
    gCycles = nullptr;
}

void TestDeviceSim::replies_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArrayList>("messages");
    QTest::addColumn<QList<QByteArrayList>>("replies"); // for each message, what comes back

    const QByteArray data = hex("F0 01 02 03 7F F7");
    const QByteArray h = headerMessage("2.0.0");
    const QByteArray version100 = hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 05 31 2E 30 2E 30 F7");
    const QByteArray version123 = hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 05 31 2E 32 2E 33 F7");
    const QByteArray note = hex("90 3C 40");

    QTest::newRow("default version")
        << QStringList() << QByteArrayList{h, data} << QList<QByteArrayList>{{version100}, {kAck}};
    QTest::newRow("given version")
        << QStringList{"--version", "1.2.3"} << QByteArrayList{h, data, data}
        << QList<QByteArrayList>{{version123}, {kAck}, {kAck}};
    QTest::newRow("empty version")
        << QStringList{"--version", ""} << QByteArrayList{h, data}
        << QList<QByteArrayList>{{hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 00 F7")}, {kAck}};
    QTest::newRow("22 characters")
        << QStringList{"--version", "ABCDEFGHIJKLMNOPQRSTUV"} << QByteArrayList{h}
        << QList<QByteArrayList>{{hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 16") +
                                  "ABCDEFGHIJKLMNOPQRSTUV" + hex("F7")}};
    QTest::newRow("30 characters")
        << QStringList{"--version", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"} << QByteArrayList{h}
        << QList<QByteArrayList>{{hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 1E") +
                                  "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123" + hex("F7")}};
    QTest::newRow("no version reply")
        << QStringList{"--no-version-reply"} << QByteArrayList{h, data}
        << QList<QByteArrayList>{{kAck}, {kAck}};
    QTest::newRow("every header") << QStringList{"--version", "1.2.3"}
                                  << QByteArrayList{h, data, headerMessage("")}
                                  << QList<QByteArrayList>{{version123}, {kAck}, {version123}};
    QTest::newRow("near headers get ACK")
        << QStringList()
        << QByteArrayList{headerMessage("2.0.0", 1),
                          headerMessage("2.0.0", 0x200000),
                          hex("F0 7E 10 07 01 00 00 00 00 32 00 F7"),
                          hex("F0 7E 11 07 02 00 00 00 00 32 00 F7"),
                          hex("F0 7E 10 07 02 00 F7"),
                          hex("F0 F7")}
        << QList<QByteArrayList>{{kAck}, {kAck}, {kAck}, {kAck}, {kAck}, {kAck}};
    QTest::newRow("noise before") << QStringList{"--noise-before"} << QByteArrayList{data, h}
                                  << QList<QByteArrayList>{{kIdentityRequest, kAck},
                                                           {kIdentityRequest, version100}};
    QTest::newRow("noise after, a note")
        << QStringList{"--noise-after", "--noise", "90 3C 40"} << QByteArrayList{data}
        << QList<QByteArrayList>{{kAck, note}};
    QTest::newRow("noise around") << QStringList{"--noise-before", "--noise-after"}
                                  << QByteArrayList{h}
                                  << QList<QByteArrayList>{
                                         {kIdentityRequest, version100, kIdentityRequest}};
    QTest::newRow("duplicate ACK") << QStringList{"--duplicate-ack"} << QByteArrayList{h, data}
                                   << QList<QByteArrayList>{{version100, kAck}, {kAck, kAck}};
    QTest::newRow("split arrives whole") << QStringList{"--split", "3"} << QByteArrayList{h, data}
                                         << QList<QByteArrayList>{{version100}, {kAck}};
    QTest::newRow("silent after 2")
        << QStringList{"--silent-after", "2"} << QByteArrayList{data, h, data, h}
        << QList<QByteArrayList>{{kAck}, {version100}, {}, {}};
    QTest::newRow("silent from the start")
        << QStringList{"--silent-after", "0"} << QByteArrayList{h, data}
        << QList<QByteArrayList>{{}, {}};
    QTest::newRow("faults together")
        << QStringList{"--noise-before", "--duplicate-ack", "--split", "2", "--silent-after", "1"}
        << QByteArrayList{data, data} << QList<QByteArrayList>{{kIdentityRequest, kAck, kAck}, {}};
}

void TestDeviceSim::replies()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArrayList, messages);
    QFETCH(QList<QByteArrayList>, replies);

    Sim sim;
    START_SIM(sim, QStringList(args) << "-v");
    Peer peer;
    CONNECT_PEER(peer);

    qint64 bytes = 0;
    int answered = 0, sent = 0;
    for (int i = 0; i < messages.size(); ++i) {
        peer.send(messages[i]);
        bytes += messages[i].size();
        QVERIFY2(sim.waitForMessage(i + 1), qPrintable(sim.output()));
        for (const QByteArray &expected : replies[i]) {
            QByteArray got;
            QVERIFY2(peer.next(&got),
                     qPrintable(QStringLiteral("message %1: no reply").arg(i + 1)));
            QCOMPARE(got.toHex(' '), expected.toHex(' '));
        }
        answered += replies[i].isEmpty() ? 0 : 1;
        sent += replies[i].size();
    }

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QVERIFY2(sim.output().contains(summary(messages.size(), bytes, answered, sent - answered)),
             qPrintable(sim.output()));
    QCOMPARE(peer.rest(), QByteArrayList()); // nothing beyond the expected replies
}

void TestDeviceSim::splitSendsPieces_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArrayList>("events"); // as the MIDI service carries them

    const QByteArray data = hex("F0 10 20 F7");
    QTest::newRow("ACK whole") << 1 << data << QByteArrayList{kAck};
    QTest::newRow("ACK in 2") << 2 << data << QByteArrayList{hex("F0 7E 10"), hex("7F 00 F7")};
    QTest::newRow("ACK in 4") << 4 << data
                              << QByteArrayList{hex("F0 7E"), hex("10 7F"), hex("00"), hex("F7")};
    QTest::newRow("ACK in 50: a byte each")
        << 50 << data
        << QByteArrayList{hex("F0"), hex("7E"), hex("10"), hex("7F"), hex("00"), hex("F7")};
    QTest::newRow("version reply in 3")
        << 3 << headerMessage("2.0.0")
        << QByteArrayList{hex("F0 7E 10 07 02 76 65"), hex("72 2E 00 00 00 05"),
                          hex("31 2E 32 2E 33 F7")};
}

void TestDeviceSim::splitSendsPieces()
{
    QFETCH(int, pieces);
    QFETCH(QByteArray, message);
    QFETCH(QByteArrayList, events);

    Sim sim;
    START_SIM(sim, (QStringList{"--version", "1.2.3", "--split", QString::number(pieces)}));
    JackTap tap;
    QVERIFY(tap.open(kDeviceOut));
    Peer peer;
    CONNECT_PEER(peer);

    peer.send(message);
    // RtMidi joins the pieces again: the updater gets the reply whole...
    QByteArray whole;
    QVERIFY(peer.next(&whole));
    QCOMPARE(whole, events.join());
    // ...but on the wire each piece is an event of its own.
    QVERIFY(tap.waitForEvents(events.size()));

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QCOMPARE(peer.rest(), QByteArrayList());
    QCOMPARE(tap.events(), events);
    QCOMPARE(tap.lost(), 0);
}

void TestDeviceSim::ignoresOtherMessages()
{
    const QString record = dir_.filePath(QStringLiteral("others.bin"));
    Sim sim;
    START_SIM(sim, (QStringList{"-v", "--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    const QByteArray first = hex("F0 11 22 F7"), second = hex("F0 33 F7");
    peer.send(hex("90 3C 40")); // a note
    peer.send(first);
    QVERIFY(sim.waitForMessage(1));
    peer.send(hex("C0 05")); // a program change
    peer.send(second);
    QVERIFY(sim.waitForMessage(2));
    QByteArray got;
    QVERIFY(peer.next(&got));
    QCOMPARE(got, kAck);
    QVERIFY(peer.next(&got));
    QCOMPARE(got, kAck);

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QCOMPARE(sim.output().count(QStringLiteral("ignored non-SysEx")), 2);
    QVERIFY2(sim.output().contains(summary(2, 7, 2, 0) + ", ignored 2 non-SysEx"),
             qPrintable(sim.output()));
    QCOMPARE(peer.rest(), QByteArrayList());
    QCOMPARE(readFile(record).toHex(' '), (first + second).toHex(' '));
}

void TestDeviceSim::joinsPieces_data()
{
    QTest::addColumn<QByteArrayList>("pieces"); // each sent as a MIDI event of its own
    QTest::addColumn<QByteArrayList>("messages");
    QTest::addColumn<QString>("dropped"); // the summary's tail

    QTest::newRow("two pieces") << QByteArrayList{hex("F0 01 02"), hex("03 F7")}
                                << QByteArrayList{hex("F0 01 02 03 F7")} << QString();
    QTest::newRow("byte by byte") << QByteArrayList{hex("F0"), hex("01"), hex("02 03"), hex("04"),
                                                    hex("F7")}
                                  << QByteArrayList{hex("F0 01 02 03 04 F7")} << QString();
    QTest::newRow("clock inside") << QByteArrayList{hex("F0 01"), hex("F8"), hex("02 F7")}
                                  << QByteArrayList{hex("F0 01 02 F7")} << QString();
    QTest::newRow("cut by a new SysEx")
        << QByteArrayList{hex("F0 01 02"), hex("F0 03 F7")} << QByteArrayList{hex("F0 03 F7")}
        << QStringLiteral(", dropped 1 incomplete SysEx");
    QTest::newRow("cut by a note")
        << QByteArrayList{hex("F0 01 02"), hex("90 3C 40"), hex("F0 04 F7")}
        << QByteArrayList{hex("F0 04 F7")}
        << QStringLiteral(", ignored 1 non-SysEx, dropped 1 incomplete SysEx");
}

void TestDeviceSim::joinsPieces()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, messages);
    QFETCH(QString, dropped);
    const QString record =
        dir_.filePath(QStringLiteral("pieces-%1.bin").arg(QTest::currentDataTag()));
    Sim sim;
    START_SIM(sim, (QStringList{"-v", "--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    for (const QByteArray &piece : pieces)
        peer.send(piece);
    QVERIFY2(sim.waitForMessage(messages.size()), qPrintable(sim.output()));
    for (int i = 0; i < messages.size(); ++i) {
        QByteArray got;
        QVERIFY(peer.next(&got));
        QCOMPARE(got, kAck);
    }

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QCOMPARE(peer.rest(), QByteArrayList());
    QCOMPARE(readFile(record).toHex(' '), messages.join().toHex(' '));
    const int bytes = messages.join().size();
    QVERIFY2(
        sim.output().contains(summary(messages.size(), bytes, messages.size(), 0) + dropped + "\n"),
        qPrintable(sim.output()));
}

void TestDeviceSim::delayHoldsReplies()
{
    const int delayMs = 300;
    const QString record = dir_.filePath(QStringLiteral("delay.bin"));
    Sim sim;
    START_SIM(sim, (QStringList{"--delay", QString::number(delayMs), "--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    QElapsedTimer timer;
    timer.start();
    peer.send(hex("F0 01 F7"));
    QByteArray got;
    QVERIFY(peer.next(&got));
    QCOMPARE(got, kAck);
    QVERIFY2(timer.elapsed() >= delayMs, qPrintable(QString::number(timer.elapsed())));

    // Messages that come while a reply waits are taken in and answered in turn.
    const QByteArrayList burst{hex("F0 02 F7"), hex("F0 03 03 F7"), hex("F0 04 04 04 F7")};
    for (const QByteArray &message : burst)
        peer.send(message);
    for (int i = 0; i < burst.size(); ++i) {
        QVERIFY(peer.next(&got));
        QCOMPARE(got, kAck);
    }

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QVERIFY2(sim.output().contains(summary(4, 3 + 3 + 4 + 5, 4, 0)), qPrintable(sim.output()));
    QCOMPARE(peer.rest(), QByteArrayList());
    QCOMPARE(messagesOf(readFile(record)), QByteArrayList{hex("F0 01 F7")} + burst);
}

void TestDeviceSim::stopDuringDelay()
{
    const QString record = dir_.filePath(QStringLiteral("stopdelay.bin"));
    Sim sim;
    START_SIM(sim, (QStringList{"--delay", "3600000", "--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    const QByteArray message = randomMessage(500, 3);
    peer.send(message);
    QElapsedTimer timer;
    timer.start();
    while (readFile(record) != message && timer.elapsed() < kWaitMs)
        QThread::msleep(5);
    QCOMPARE(readFile(record), message);

    // The hour-long wait for the reply does not hold up the exit.
    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QVERIFY2(sim.output().contains(summary(1, 500, 0, 0)), qPrintable(sim.output()));
    QCOMPARE(peer.rest(), QByteArrayList());
}

void TestDeviceSim::quitAfter()
{
    const QString record = dir_.filePath(QStringLiteral("quit.bin"));
    Sim sim;
    START_SIM(sim, (QStringList{"--quit-after", "2", "--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    const QByteArrayList messages{hex("F0 01 F7"), hex("F0 02 F7"), hex("F0 03 F7")};
    for (const QByteArray &message : messages)
        peer.send(message);
    QByteArray got;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(peer.next(&got));
        QCOMPARE(got, kAck);
    }

    QVERIFY(sim.finish()); // on its own, without a signal
    QVERIFY(sim.exitedCleanly());
    QVERIFY2(sim.output().contains(QStringLiteral("quit after 2 messages")),
             qPrintable(sim.output()));
    QVERIFY2(sim.output().contains(summary(2, 6, 2, 0)), qPrintable(sim.output()));
    QCOMPARE(peer.rest(), QByteArrayList()); // the third message is not answered
    QCOMPARE(readFile(record), messages[0] + messages[1]);
    QVERIFY(!Peer::portNames(*peer.input()).contains(QString::fromUtf8(kDeviceOut)));
    QVERIFY(!Peer::portNames(*peer.output()).contains(QString::fromUtf8(kDeviceIn)));
}

void TestDeviceSim::recordsExactly_data()
{
    QTest::addColumn<QList<int>>("sizes");

    QTest::newRow("6 bytes") << QList<int>{6};
    QTest::newRow("shortest SysEx") << QList<int>{2, 3};
    QTest::newRow("hundreds") << QList<int>{100, 255, 256, 257, 999};
    QTest::newRow("kilobytes") << QList<int>{1024, 4096, 8192};
    QTest::newRow("mixed") << QList<int>{6, 8192, 7, 4000, 35, 300, 665, 8191};
    QTest::newRow("many 8 KB") << repeated(16, 8192);
}

void TestDeviceSim::recordsExactly()
{
    QFETCH(QList<int>, sizes);
    const QString record =
        dir_.filePath(QStringLiteral("record-%1.bin").arg(QTest::currentDataTag()));
    Sim sim;
    START_SIM(sim, (QStringList{"--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    QByteArray sent;
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray message = randomMessage(sizes[i], quint32(i + 1));
        peer.send(message);
        sent += message;
        QByteArray got;
        QVERIFY2(peer.next(&got), qPrintable(QStringLiteral("message %1: no reply").arg(i + 1)));
        QCOMPARE(got, kAck);
    }

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QVERIFY2(sim.output().contains(summary(sizes.size(), sent.size(), sizes.size(), 0)),
             qPrintable(sim.output()));
    const QByteArray recorded = readFile(record);
    QCOMPARE(recorded.size(), sent.size());
    QVERIFY(recorded == sent);
}

void TestDeviceSim::updateFileRoundTrip()
{
    const QString file = dir_.filePath(QStringLiteral("roundtrip.cvn"));
    const QString record = dir_.filePath(QStringLiteral("roundtrip.bin"));
    const MakeUpdateRun made = runMakeUpdate(
        {"--version", "9.9.9", "--total-size", "200000", "--message-size", "2000", "--seed", "4"},
        file);
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(made.file.size(), 200000);

    Sim sim;
    START_SIM(sim, (QStringList{"--version", "3.1.4", "--record", record}));
    Peer peer;
    CONNECT_PEER(peer);

    // Like the updater: one message, then wait for its reply.
    const QByteArrayList messages = messagesOf(made.file);
    for (int i = 0; i < messages.size(); ++i) {
        peer.send(messages[i]);
        QByteArray got;
        QVERIFY2(peer.next(&got), qPrintable(QStringLiteral("message %1: no reply").arg(i + 1)));
        QCOMPARE(got,
                 i == 0 ? hex("F0 7E 10 07 02 76 65 72 2E 00 00 00 05 33 2E 31 2E 34 F7") : kAck);
    }

    QVERIFY(sim.stop(SIGINT));
    QVERIFY(sim.exitedCleanly());
    QCOMPARE(peer.rest(), QByteArrayList());
    QVERIFY(readFile(record) == made.file);
}

void TestDeviceSim::signalsStopCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGINT") << int(SIGINT) << "SIGINT";
    QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM";
}

void TestDeviceSim::signalsStopCleanly()
{
    QFETCH(int, signal);
    QFETCH(QString, name);
    const QString record = dir_.filePath(QStringLiteral("signal-%1.bin").arg(name));

    Sim sim;
    START_SIM(sim, (QStringList{"--record", record}));
    Peer peer;
    CONNECT_PEER(peer);
    const QByteArray a = randomMessage(40, 1), b = randomMessage(1000, 2);
    for (const QByteArray &message : {a, b}) {
        peer.send(message);
        QByteArray got;
        QVERIFY(peer.next(&got));
        QCOMPARE(got, kAck);
    }

    QVERIFY(sim.stop(signal));
    QVERIFY(sim.exitedCleanly());
    QVERIFY2(sim.output().contains(QStringLiteral("stopped by ") + name), qPrintable(sim.output()));
    QVERIFY2(sim.output().contains(summary(2, 1040, 2, 0)), qPrintable(sim.output()));
    QVERIFY(readFile(record) == a + b);
    // Its ports are gone with it.
    QVERIFY(!Peer::portNames(*peer.input()).contains(QString::fromUtf8(kDeviceOut)));
}

void TestDeviceSim::badCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown option") << QStringList{"--bogus"};
    QTest::newRow("stray argument") << QStringList{"extra"};
    QTest::newRow("missing value") << QStringList{"--delay"};
    QTest::newRow("split 0") << QStringList{"--split", "0"};
    QTest::newRow("negative delay") << QStringList{"--delay", "-5"};
    QTest::newRow("silent-after text") << QStringList{"--silent-after", "two"};
    QTest::newRow("quit-after 0") << QStringList{"--quit-after", "0"};
    QTest::newRow("unknown api") << QStringList{"--api", "coreaudio"};
    QTest::newRow("8-bit version") << QStringList{"--version", QString::fromUtf8("caf\xc3\xa9")};
    QTest::newRow("odd noise") << QStringList{"--noise", "F0 7"};
    QTest::newRow("noise not hex") << QStringList{"--noise", "note"};
}

void TestDeviceSim::badCommandLine()
{
    QFETCH(QStringList, args);
    Sim sim;
    sim.process().start(QStringLiteral(SIM_PATH), args);
    QVERIFY(sim.finish());
    QCOMPARE(sim.process().exitCode(), 2);
    QVERIFY2(sim.errors().contains(QStringLiteral("Try 'corvane-device-sim --help'")),
             qPrintable(sim.errors()));
    QVERIFY(!sim.output().contains(QStringLiteral("ready")));
}

void TestDeviceSim::unreachableService()
{
    if (QFile::exists(QStringLiteral("/dev/snd/seq")))
        QSKIP("this machine has an ALSA sequencer");
    Sim sim;
    sim.process().start(QStringLiteral(SIM_PATH), {"--api", "alsa"});
    QVERIFY(sim.finish());
    QCOMPARE(sim.process().exitCode(), 1);
    QVERIFY2(sim.errors().contains(QStringLiteral("no MIDI service")), qPrintable(sim.errors()));
    QVERIFY(!sim.output().contains(QStringLiteral("ready")));
}

void TestDeviceSim::pairsWithUpdaterPortMatching()
{
    // The user picks the device's output in the updater's input list; the updater then opens
    // the output whose name scores best. That must be the device's input.
    const QString record = dir_.filePath(QStringLiteral("pairing.bin"));
    Sim sim;
    START_SIM(sim, (QStringList{"-v", "--record", record}));
    QVERIFY2(
        sim.output().contains(
            QStringLiteral("pick the MIDI input port \"%1\"").arg(QString::fromUtf8(kDeviceOut))),
        qPrintable(sim.output()));

    QVERIFY2(gMIDI.ServiceError.isEmpty(), qPrintable(gMIDI.ServiceError));
    gMIDI.GetMIDIPortListName();
    const int index = gMIDI.searchMIDIport(QString::fromUtf8(kDeviceOut));
    QVERIFY2(index >= 0, qPrintable(gMIDI.MIDIportList.join(", ")));
    gMIDI.OpenMIDIPort(index);
    QVERIFY2(gMIDI.OpenError.isEmpty(), qPrintable(gMIDI.OpenError));
    QVERIFY(gCycles->settle());

    unsigned char message[] = {0xF0, 0x7E, 0x10, 0x05, 0x06, 0xF7};
    QCOMPARE(gMIDI.SendSys(message, qint64(sizeof message)), qint64(sizeof message));
    QVERIFY2(sim.waitForMessage(1), qPrintable(sim.output()));
    gMIDI.CloseMIDIPort();

    QVERIFY(sim.stop(SIGTERM));
    QVERIFY(sim.exitedCleanly());
    QCOMPARE(readFile(record), QByteArray(reinterpret_cast<const char *>(message), sizeof message));
}

void TestDeviceSim::makeUpdateHeader()
{
    const MakeUpdateRun run =
        runMakeUpdate({"--version", "1.2.3", "--param", "2=128", "--param", "3=2097152", "--param",
                       "7=268435455", "--message-size", "6", "--count", "2", "--seed", "7"},
                      dir_.filePath(QStringLiteral("small.cvn")));
    QCOMPARE(run.exitCode, 0);
    const QByteArray golden = hex("F0 7E 10 07 02"
                                  " 00 00 00 00  00 00 01 00  01 00 00 00  00 00 00 00"
                                  " 00 00 00 00  00 00 00 00  7F 7F 7F 7F"
                                  " 31 2E 32 2E 33 00 F7");
    QCOMPARE(run.file.left(golden.size()).toHex(' '), golden.toHex(' '));
    const QByteArrayList messages = messagesOf(run.file);
    QCOMPARE(messages.size(), 3);
    for (int i = 1; i < 3; ++i) {
        QCOMPARE(messages[i].size(), 6);
        QCOMPARE(quint8(messages[i].front()), quint8(0xF0));
    }
}

void TestDeviceSim::makeUpdateLayout_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<int>>("sizes"); // of every message, the header first

    // The header is 35 bytes plus the version text; "1.1.0" by default.
    QTest::newRow("defaults") << QStringList() << (QList<int>{40} + repeated(16, 256));
    QTest::newRow("count and size")
        << QStringList{"--message-size", "6", "--count", "3"} << QList<int>{40, 6, 6, 6};
    QTest::newRow("header only") << QStringList{"--count", "0", "--version", ""} << QList<int>{35};
    QTest::newRow("shortest messages")
        << QStringList{"--message-size", "2", "--count", "2"} << QList<int>{40, 2, 2};
    QTest::newRow("1 KB total") << QStringList{"--total-size", "1024", "--message-size", "256"}
                                << QList<int>{40, 256, 256, 256, 216};
    QTest::newRow("total splits evenly")
        << QStringList{"--total-size", "548", "--message-size", "256", "--version", "A"}
        << QList<int>{36, 256, 256};
    QTest::newRow("total leaves one byte")
        << QStringList{"--total-size", "548", "--message-size", "256", "--version", ""}
        << QList<int>{35, 256, 257};
    QTest::newRow("total is the header")
        << QStringList{"--total-size", "40", "--message-size", "256"} << QList<int>{40};
    QTest::newRow("23-character version")
        << QStringList{"--version", "ABCDEFGHIJKLMNOPQRSTUVW", "--count",
                       "1",         "--message-size",          "10"}
        << QList<int>{58, 10};
}

void TestDeviceSim::makeUpdateLayout()
{
    QFETCH(QStringList, args);
    QFETCH(QList<int>, sizes);
    const MakeUpdateRun run = runMakeUpdate(
        args, dir_.filePath(QStringLiteral("layout-%1.cvn").arg(QTest::currentDataTag())));
    QCOMPARE(run.exitCode, 0);

    const QByteArrayList messages = messagesOf(run.file);
    QList<int> got;
    for (const QByteArray &message : messages)
        got << message.size();
    QCOMPARE(got, sizes);
    QVERIFY(run.file.startsWith(hex("F0 7E 10 07 02 00 00 00 00")));
    for (int i = 1; i < messages.size(); ++i) {
        QCOMPARE(quint8(messages[i].front()), quint8(0xF0));
        QCOMPARE(quint8(messages[i].back()), quint8(0xF7));
        for (int j = 1; j < messages[i].size() - 1; ++j)
            QVERIFY(quint8(messages[i][j]) < 0x80);
    }
}

void TestDeviceSim::makeUpdateLargeFiles_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("messageSize");
    QTest::newRow("1 KB") << 1024 << 100;
    QTest::newRow("1 MB") << 1000000 << 8192;
    QTest::newRow("5 MiB") << 5 * 1024 * 1024 << 4096;
}

void TestDeviceSim::makeUpdateLargeFiles()
{
    QFETCH(int, total);
    QFETCH(int, messageSize);
    QStringList args{"--total-size", QString::number(total), "--message-size",
                     QString::number(messageSize)};
    if (messageSize > 4096)
        args << QStringLiteral("--allow-long-messages");
    const MakeUpdateRun run = runMakeUpdate(args, dir_.filePath(QStringLiteral("large.cvn")));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.file.size(), total);

    const QByteArrayList messages = messagesOf(run.file);
    QCOMPARE(messages.front().size(), 40);
    for (int i = 1; i < messages.size(); ++i) {
        const QByteArray &m = messages[i];
        QCOMPARE(quint8(m.front()), quint8(0xF0));
        QCOMPARE(quint8(m.back()), quint8(0xF7));
        if (i < messages.size() - 1)
            QCOMPARE(m.size(), messageSize);
        else
            QVERIFY(m.size() >= 2 && m.size() <= messageSize + 1);
    }
}

void TestDeviceSim::makeUpdateSeed()
{
    const QStringList args{"--message-size", "300", "--count", "10"};
    const QByteArray a =
        runMakeUpdate(args + QStringList{"--seed", "5"}, dir_.filePath("a.cvn")).file;
    const QByteArray b =
        runMakeUpdate(args + QStringList{"--seed", "5"}, dir_.filePath("b.cvn")).file;
    const QByteArray c =
        runMakeUpdate(args + QStringList{"--seed", "6"}, dir_.filePath("c.cvn")).file;
    QCOMPARE(a.size(), 40 + 3000);
    QVERIFY(a == b);
    QCOMPARE(c.size(), a.size());
    QVERIFY(a != c);
    QVERIFY(a.left(40) == c.left(40)); // the seed changes the data, not the header
    // Successive messages differ too: the data is not one block repeated.
    const QByteArrayList messages = messagesOf(a);
    QVERIFY(messages[1] != messages[2]);
}

void TestDeviceSim::makeUpdateRejects_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("8-bit version") << QStringList{"--version", QString::fromUtf8("v\xc3\xa9")};
    QTest::newRow("message size 1") << QStringList{"--message-size", "1"};
    QTest::newRow("4097-byte messages, not allowed")
        << QStringList{"--message-size", "4097", "--count", "1"};
    QTest::newRow("negative count") << QStringList{"--count", "-1"};
    QTest::newRow("parameter 8") << QStringList{"--param", "8=1"};
    QTest::newRow("parameter too large") << QStringList{"--param", "2=268435456"};
    QTest::newRow("parameter without value") << QStringList{"--param", "2"};
    QTest::newRow("total below header") << QStringList{"--total-size", "39"};
    QTest::newRow("total leaves a lone byte") << QStringList{"--total-size", "41"};
    QTest::newRow("unknown option") << QStringList{"--bogus"};
}

void TestDeviceSim::makeUpdateRejects()
{
    QFETCH(QStringList, args);
    const QString path = dir_.filePath(QStringLiteral("rejected.cvn"));
    QFile::remove(path);
    const MakeUpdateRun run = runMakeUpdate(args, path);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(!run.errors.isEmpty());
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestDeviceSim)
#include "tst_devicesim.moc"
