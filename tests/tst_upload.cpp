// corvane-upload run as a process, as a script runs it: its exit status, its JSON lines and what
// the simulated device received. Sends go over a private JACK server; the alsa cases need the
// virtual raw MIDI ports of the ALSA test VM (tests/alsa-vm), which runs them by name and sets
// CORVANE_ALSA_VM.
#include "DeviceProcess.h"
#include "UpdateTestSupport.h"

#include "midi/MIDI.h"
#include "cli/Console.h"
#include "midi/OtherSenders.h"
#include "midi/PortLock.h"
#include "update/UpdateTexts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <RtMidi.h>

#include <functional>
#include <memory>
#include <vector>

#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const int kMessages = 17;   // the update: a header and 16 data messages of 1 KB
const int kLimitMs = 30000; // generous: only a program that hangs comes near it
const QString kDeviceInput = QStringLiteral("Corvane Device Rx:Corvane Device In");

// Every complete line the program printed with --json, checked against the schema at the end.
QByteArray printedJson;
void keep(const QByteArray &out)
{
    printedJson += out.left(out.lastIndexOf('\n') + 1);
}

// The JSON objects of the complete lines in `out`; false in *valid when a line is not one.
QList<QJsonObject> eventsOf(const QByteArray &out, bool *valid = nullptr)
{
    QList<QJsonObject> events;
    const QByteArrayList lines = out.left(out.lastIndexOf('\n') + 1).split('\n');
    for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (valid && (error.error != QJsonParseError::NoError || !doc.isObject()))
            *valid = false;
        events << doc.object();
    }
    return events;
}

QList<QJsonObject> eventsNamed(const QList<QJsonObject> &events, const QString &name)
{
    QList<QJsonObject> found;
    for (const QJsonObject &e : events)
        if (e.value("event").toString() == name)
            found << e;
    return found;
}

// An output of this process connected to `port`, as another program's would be.
std::unique_ptr<RtMidiOut> chatterTo(const QString &port)
{
    auto out = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "Chatter");
    for (unsigned int i = 0; i < out->getPortCount(); ++i)
        if (QString::fromStdString(out->getPortName(i)) == port)
            out->openPort(i);
    return out;
}

// Reads the output of `program` into *out until `done` holds, it ends, or `ms` pass; done().
bool readUntil(QProcess &program, QByteArray *out, const std::function<bool()> &done,
               int ms = kLimitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms && program.state() == QProcess::Running) {
        program.waitForReadyRead(50);
        *out += program.readAllStandardOutput();
    }
    return done();
}

QList<int> progressOf(const QList<QJsonObject> &events)
{
    QList<int> percents;
    for (const QJsonObject &e : events)
        if (e.value("event").toString() == "progress")
            percents << e.value("percent").toInt(-1);
    return percents;
}

// How many whole messages of `file` the record holds; -1 unless it is such a beginning of it.
int wholeMessagesOf(const QByteArray &file, const QByteArray &record)
{
    if (!file.startsWith(record) || (!record.isEmpty() && uchar(record.back()) != 0xF7))
        return -1;
    return int(record.count(char(0xF7)));
}

} // namespace

class UploadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void commandLine_data();
    void commandLine();
    void helpAgreesWithManual();
    void waitingNoteIsWrappedWhole_data();
    void waitingNoteIsWrappedWhole();
    void sendOverJack_data();
    void sendOverJack() { send("jack"); }
    // The rows of sendOverJack that the ALSA sequencer meets differently: its ports and its locks.
    void sendOverAlsa_data() { sendOverJack_data(); }
    void sendOverAlsa();
    void checkLoadsNoDisplayLibrary();
    void stationTakesEachUnit();
    void stationStops_data();
    void stationStops();
    void alsaFourPortsAtOnce();
    void alsaLongMessagesRefused();
    void usbInstrument_data();
    void usbInstrument();
    void stationOverUsb();

private:
    void send(const QString &api);
    // A station of the program's, and its end after `interrupts` Ctrl-C, its output read and kept.
    bool startStation(QProcess &station, const QStringList &arguments)
    {
        station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startProgram(station, arguments);
        return station.waitForStarted();
    }
    bool stopStation(QProcess &station, QByteArray *out, int interrupts)
    {
        for (int i = 0; i < interrupts; ++i) {
            ::kill(pid_t(station.processId()), SIGINT);
            QTest::qWait(100);
        }
        const bool ended =
            station.state() == QProcess::NotRunning || station.waitForFinished(kLimitMs);
        *out += station.readAllStandardOutput();
        keep(*out);
        return ended;
    }
    void startProgram(QProcess &program, const QStringList &arguments)
    {
        program.setStandardInputFile(QProcess::nullDevice()); // no terminal to ask on
        program.start(QStringLiteral(UPLOAD_PATH), arguments);
    }
    bool startDevice(const QStringList &options)
    {
        devices.push_back(std::make_unique<Device>());
        records << dir.filePath(QStringLiteral("record-%1.bin").arg(++runs));
        return devices.back()->start(options, records.last());
    }

    QString runtimeFolder();
    QProcessEnvironment environmentFor(const QString &api, const QString &setup);

    QTemporaryDir dir;
    QByteArray runtimeOfTest;
    QString madeLock;
    QString update;
    QString damaged; // two messages run together
    QString fifo;
    QByteArray file;
    std::vector<std::unique_ptr<Device>> devices;
    QStringList records;
    int runs = 0;
};

QString UploadTest::runtimeFolder()
{
    const QString path = dir.filePath("runtime");
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QProcessEnvironment UploadTest::environmentFor(const QString &api, const QString &setup)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (setup == "own runtime folder") {
        environment.insert("XDG_RUNTIME_DIR", dir.filePath("runtime-of-the-program"));
        QDir().mkpath(dir.filePath("runtime-of-the-program"));
    }
    if (setup == "no runtime folder")
        environment.remove("XDG_RUNTIME_DIR");
    if (setup == "refuse sends" && api == "alsa") {
        environment.insert("LD_PRELOAD", REFUSE_SEND_PATH);
        environment.insert("CORVANE_REFUSE_SEND_AFTER", "3");
    }
    return environment;
}

void UploadTest::initTestCase()
{
    runtimeOfTest = qgetenv("XDG_RUNTIME_DIR");
    QVERIFY(dir.isValid());
    update = makeUpdate(dir.filePath("update.cvn"),
                        {"--version", "2.0.0", "--total-size", "16384", "--message-size", "1024"});
    file = readFile(update);
    QCOMPARE(int(file.count(char(0xF7))), kMessages);
    QByteArray runTogether = file;
    runTogether.remove(file.indexOf(char(0xF7), 5000), 1);
    damaged = dir.filePath("damaged.cvn");
    writeFile(damaged, runTogether);
    fifo = dir.filePath("fifo.cvn");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
}

// Every device of a case is stopped before its record is read, and each stops cleanly.
void UploadTest::cleanup()
{
    if (!madeLock.isEmpty()) {
        QDir().rmdir(madeLock);
        QFile::remove(madeLock);
        madeLock.clear();
    }
    if (runtimeOfTest.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", runtimeOfTest);
    for (auto &device : devices)
        QVERIFY(device->stop());
    devices.clear();
    records.clear();
}

// Every JSON line of every case, against the schema the manual page names.
void UploadTest::cleanupTestCase()
{
    if (printedJson.isEmpty())
        return;
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(QStringLiteral(PYTHON3_PATH),
                    {QStringLiteral(SOURCE_DIR "/tests/validate-json.py"),
                     QStringLiteral(SOURCE_DIR "/docs/corvane-upload.schema.json")});
    validator.write(printedJson);
    validator.closeWriteChannel();
    QVERIFY(validator.waitForFinished(60000));
    QVERIFY2(validator.exitStatus() == QProcess::NormalExit && validator.exitCode() == 0,
             validator.readAll().constData());
}

// The command line as GNU tools take it, and what the program says when it cannot go on; none
// of it needs an instrument. Arguments pass through printf %b, so "\\xFF" is that byte.
void UploadTest::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments"); // UPDATE: the update file; DIR: a folder
    QTest::addColumn<QString>("server");        // JACK_DEFAULT_SERVER; "" as the test has it
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("result"); // the JSON outcome's; "" when the run prints none
    QTest::addColumn<QString>("said");   // in standard output and error together

    const QString again = "; see corvane-upload --help.";
    QTest::newRow("-h") << QStringList{"-h"} << "" << 0 << ""
                        << "Usage:";
    QTest::newRow("--help before a bad option") << QStringList{"--help", "--bogus"} << "" << 0 << ""
                                                << "Usage:";
    QTest::newRow("an unknown option as it was typed")
        << QStringList{"--json", "--port", "0", "-dash.cvn"} << "" << 1 << "bad-command-line"
        << "corvane-upload: unknown option '-dash.cvn'" + again;
    QTest::newRow("an empty --port")
        << QStringList{"--json", "--port", "", "UPDATE"} << "" << 1 << "bad-command-line"
        << "not an empty text" + again;
    QTest::newRow("--port twice") << QStringList{"--json", "--port", "a", "--port", "b", "UPDATE"}
                                  << "" << 1 << "bad-command-line"
                                  << "corvane-upload: --port is given more than once" + again;
    for (const char *timeout : {"1e9", "0.0001", "1,5"})
        QTest::newRow(qPrintable(QStringLiteral("--timeout %1").arg(timeout)))
            << QStringList{"--json", "--port", "0", "--timeout", timeout, "UPDATE"} << "" << 1
            << "bad-command-line"
            << QStringLiteral("--timeout takes a number of seconds from 0.001 to 1000000, not "
                              "\"%1\"")
                   .arg(timeout);
    QTest::newRow("a file name that is no UTF-8")
        << QStringList{"--json", "--check", "DIR/\\xFF.cvn"} << "" << 0 << "complete"
        << "\"version\":\"2.0.0\"";
    QTest::newRow("a missing file: the system's reason")
        << QStringList{"--json", "--check", "DIR/none.cvn"} << "" << 2 << "bad-file"
        << "cannot be read (No such file or directory)";
    QTest::newRow("--check --json FILE")
        << QStringList{"--check", "--json", "UPDATE"} << "" << 0 << "complete"
        << "\"version\":\"2.0.0\"";
    QTest::newRow("-json, then a bad option")
        << QStringList{"-json", "--bogus"} << "" << 1 << "bad-command-line"
        << "unknown option '--bogus'";
    QTest::newRow("--check -- a name with a dash")
        << QStringList{"--json", "--check", "--", "-x.cvn"} << "" << 0 << "complete"
        << "\"file\":\"-x.cvn\"";
    QTest::newRow("--api alsa while a JACK server runs")
        << QStringList{"--json", "--api", "alsa", "--list"} << "" << 3 << "no-midi-service"
        << "A JACK server is running: run again with --api jack, or start the ALSA sequencer.";
    QTest::newRow("no --port, no MIDI service")
        << QStringList{"--json", "UPDATE"} << "corvane-nobody" << 1 << "bad-command-line"
        << "with --port, once a MIDI service runs. No MIDI service could be reached.";
    QTest::newRow("no MIDI service: a sentence a service")
        << QStringList{"--json", "--list"} << "corvane-nobody" << 3 << "no-midi-service"
        << "No MIDI service could be reached. The ALSA sequencer cannot be opened (/dev/snd/seq: "
           "No such file or directory). No JACK server named \"corvane-nobody\" is running. "
           "Start the ALSA sequencer or a JACK server, then try again.";
}

void UploadTest::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, server);
    QFETCH(int, status);
    QFETCH(QString, result);
    QFETCH(QString, said);

    QTemporaryDir folder;
    const QByteArray odd = QFile::encodeName(folder.path()) + "/\xFF.cvn";
    QVERIFY(QFile::copy(update, folder.filePath("copy.cvn")));
    QCOMPARE(::rename(QFile::encodeName(folder.filePath("copy.cvn")).constData(), odd.constData()),
             0);
    QVERIFY(QFile::copy(update, folder.filePath("-x.cvn")));
    arguments.replaceInStrings(QRegularExpression("^UPDATE$"), update);
    arguments.replaceInStrings(QRegularExpression("^DIR/"), folder.path() + "/");
    QProcess program;
    if (!server.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("JACK_DEFAULT_SERVER", server);
        program.setProcessEnvironment(environment);
    }
    program.setStandardInputFile(QProcess::nullDevice());
    program.setWorkingDirectory(folder.path());
    program.start("bash",
                  QStringList{"-c",
                              "a=(); for x in \"$@\"; do a+=(\"$(printf %b \"$x\")\"); done; "
                              "exec \"$0\" \"${a[@]}\"",
                              UPLOAD_PATH} +
                      arguments);
    QVERIFY(program.waitForFinished(kLimitMs));
    const QByteArray out = program.readAllStandardOutput();
    const QString all = QString::fromUtf8(out + program.readAllStandardError());
    QVERIFY2(all.contains(said), qPrintable(all));
    QCOMPARE(program.exitCode(), status);
    if (result.isEmpty())
        return;
    keep(out);
    const QList<QJsonObject> events = eventsOf(out);
    QVERIFY2(!events.isEmpty(), out.constData());
    QCOMPARE(events.last().value("event").toString(), QString("outcome"));
    QCOMPARE(events.last().value("status").toInt(-1), status);
    QCOMPARE(events.last().value("result").toString(), result);
}

// The options and the exit statuses of --help, as the manual page has them.
void UploadTest::helpAgreesWithManual()
{
    QProcess program;
    startProgram(program, {"--help"});
    QVERIFY(program.waitForFinished(kLimitMs));
    const QString help = QString::fromUtf8(program.readAllStandardOutput());
    QFile page(SOURCE_DIR "/packaging/corvane-upload.1");
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString manual = QString::fromUtf8(page.readAll()).replace("\\-", "-");
    const auto all = [](const QString &text, const QString &pattern) {
        QStringList found;
        auto it =
            QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            for (int i = 1; i <= m.lastCapturedIndex(); ++i)
                if (!m.captured(i).isEmpty())
                    found << m.captured(i);
        }
        found.sort();
        return found;
    };
    const QString helpOptions = help.section("Options:", 1).section("\n\n", 0, 0);
    const QString manualOptions = manual.section(".SH OPTIONS", 1).section(".SH ", 0, 0);
    QCOMPARE(all(helpOptions, "^  (?:(-h), )?(--[a-z-]+)"),
             all(manualOptions,
                 "^\\.TP\n\\.BI? (--?[a-z-]+)|^\\.TP\n\\.BR (-h)? ?\"?,? ?\"? ?(--[a-z-]+)"));
    QCOMPARE(all(help.section("Exit status:", 1), "^  ([0-9]+) "),
             all(manual.section(".SH EXIT STATUS", 1).section(".SH ", 0, 0), "^\\.B ([0-9]+)$"));
    QVERIFY(help.split('\n').filter(QRegularExpression("^.{81}")).isEmpty());
}

// The note about a silent instrument ends by saying how to stop: it is wrapped whole, on lines no
// wider than the terminal, however narrow.
void UploadTest::waitingNoteIsWrappedWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("columns");
    const QString note = UpdateTexts::Waiting(4249, 100001, 75, 2, "F0 7E 10 06 01 F7", true,
                                              UpdateTexts::Face::Terminal);
    for (int columns : {200, 79, 39, 12})
        QTest::newRow(qPrintable(QStringLiteral("%1 columns").arg(columns))) << note << columns;
    QTest::newRow("a word wider than the line") << "ab 0123456789abcdef Ctrl-C" << 8;
    QTest::newRow("wide characters, 3 columns")
        << QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC Ctrl-C") << 3;
}

void UploadTest::waitingNoteIsWrappedWhole()
{
    QFETCH(QString, text);
    QFETCH(int, columns);
    const QStringList lines = Console::Wrap(text, columns);
    QString joined;
    for (const QString &line : lines) {
        QVERIFY2(Console::Cut(line, columns) == line, qPrintable(line));
        joined += QString(line).remove(' ');
    }
    QCOMPARE(joined, QString(text).remove(' '));
    QVERIFY(text.endsWith(lines.last()));
}

void UploadTest::sendOverJack_data()
{
    QTest::addColumn<QStringList>("options"); // besides --api API --json and the file
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<int>("deviceCount");
    QTest::addColumn<int>("deviceLaterMs"); // the devices start that long after the program
    QTest::addColumn<int>("interruptAt");   // SIGINT once progress reaches this percent
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("fewest"); // whole messages of the file in each device's record
    QTest::addColumn<int>("most");
    QTest::addColumn<QString>("sent");  // the file: "" the update, "damaged", "fifo"
    QTest::addColumn<bool>("held");     // this test holds the device's port as an updater does
    QTest::addColumn<int>("readLines"); // standard output closed after so many lines; -1 never
    // What else the case does: "SIGHUP" (at interruptAt, for SIGINT), "kill device" (SIGKILL to
    // the device at interruptAt), the program's own runtime folder or none, the port's lock file
    // made by another user or a folder in its place, the library refusing the fourth send.
    QTest::addColumn<QString>("setup");

    const QStringList port{"--port", "Corvane Device Out"};
    const QStringList yes = port + QStringList{"--yes"};
    const QStringList plainAck{"--no-version-reply"};
    QTest::newRow("whole update") << yes << QStringList() << 1 << 0 << -1 << 0 << "complete"
                                  << kMessages << kMessages << "" << false << -1 << "";
    QTest::newRow("--no") << port + QStringList{"--no"} << QStringList() << 1 << 0 << -1 << 4
                          << "declined" << 1 << 1 << "" << false << -1 << "";
    QTest::newRow("no terminal to ask on") << port << QStringList() << 1 << 0 << -1 << 4
                                           << "no-terminal" << 1 << 1 << "" << false << -1 << "";
    // No version to replace is no yes: still nothing beyond the header.
    QTest::newRow("--no, header answered with an ACK")
        << port + QStringList{"--no"} << plainAck << 1 << 0 << -1 << 4 << "declined" << 1 << 1 << ""
        << false << -1 << "";
    QTest::newRow("no terminal, header answered with an ACK")
        << port << plainAck << 1 << 0 << -1 << 4 << "no-terminal" << 1 << 1 << "" << false << -1
        << "";
    // Three messages answered: the fourth is sent, and nothing after it.
    QTest::newRow("silent device")
        << port + QStringList{"--yes", "--timeout", "2"} << QStringList{"--silent-after", "3"} << 1
        << 0 << -1 << 5 << "timeout" << 4 << 4 << "" << false << -1 << "";
    // Talking all the while: one note in the log at 3 s all the same.
    QTest::newRow("silent device sending other messages")
        << port + QStringList{"--yes", "--timeout", "4.5"}
        << QStringList{"--silent-after", "3", "--chatter", "40"} << 1 << 0 << -1 << 5 << "timeout"
        << 4 << 4 << "" << false << -1 << "";
    // Unplugged after five answers: the program ends by itself, without --timeout.
    QTest::newRow("instrument unplugged") << yes << QStringList{"--quit-after", "5"} << 1 << 0 << -1
                                          << 6 << "port-gone" << 5 << 6 << "" << false << -1 << "";
    // Replies 400 ms late: the signal comes with seconds of the transfer still to go.
    QTest::newRow("SIGINT") << yes << QStringList{"--delay", "400"} << 1 << 0 << 30 << 130
                            << "interrupted" << 1 << kMessages - 1 << "" << false << -1 << "";
    QTest::newRow("unknown port") << QStringList{"--port", "Corvane Keyboard", "--yes"}
                                  << QStringList() << 1 << 0 << -1 << 3 << "no-such-port" << 0 << 0
                                  << "" << false << -1 << "";
    // Both devices' ports contain the text.
    QTest::newRow("port of two devices") << yes << QStringList() << 2 << 0 << -1 << 3
                                         << "no-such-port" << 0 << 0 << "" << false << -1 << "";
    QTest::newRow("port appears later")
        << port + QStringList{"--yes", "--wait-for-port", "20"} << QStringList() << 1 << 2000 << -1
        << 0 << "complete" << kMessages << kMessages << "" << false << -1 << "";
    QTest::newRow("port held by another updater")
        << yes << QStringList() << 1 << 0 << -1 << 3 << "port-in-use" << 0 << 0 << "" << true << -1
        << "";
    QTest::newRow("two messages run together")
        << yes << QStringList() << 1 << 0 << -1 << 2 << "bad-file" << 0 << 0 << "damaged" << false
        << -1 << "";
    QTest::newRow("a FIFO as the file") << yes << QStringList() << 1 << 0 << -1 << 2 << "bad-file"
                                        << 0 << 0 << "fifo" << false << -1 << "";
    // As "| head -2" does: the update goes on to its end.
    // A terminal closed or an SSH connection lost mid-update: the update goes on to its end.
    QTest::newRow("SIGHUP") << yes << QStringList{"--delay", "100"} << 1 << 0 << 30 << 0
                            << "complete" << kMessages << kMessages << "" << false << -1
                            << "SIGHUP";
    // On the test's synchronous server the cycles wait seconds for the killed client: the run
    // ends at the stall (7) or the port's disappearance (6), whichever is seen first.
    QTest::newRow("device killed")
        << yes << QStringList{"--delay", "100"} << 1 << 0 << 30 << 6 << "port-gone" << 1
        << kMessages - 1 << "" << false << -1 << "kill device";
    // One lock for every updater on the machine, whatever its environment.
    for (const char *setup : {"own runtime folder", "no runtime folder", "lock of another user"})
        QTest::newRow(qPrintable(QStringLiteral("port held, %1").arg(setup)))
            << yes << QStringList() << 1 << 0 << -1 << 3 << "port-in-use" << 0 << 0 << "" << true
            << -1 << setup;
    QTest::newRow("lock unavailable")
        << yes << QStringList() << 1 << 0 << -1 << 3 << "lock-unavailable" << 0 << 0 << "" << false
        << -1 << "lock is a folder";
    QTest::newRow("lock unavailable, --no-lock")
        << yes + QStringList{"--no-lock"} << QStringList() << 1 << 0 << -1 << 0 << "complete"
        << kMessages << kMessages << "" << false << -1 << "lock is a folder";
    // RtMidi's ALSA output says so; its JACK output drops such a message without a word. The
    // sequencer refuses its fourth event, which is within the first three messages (how many
    // events a message takes is the library's affair), and nothing is sent after it.
    QTest::newRow("library refuses a send")
        << yes << QStringList() << 1 << 0 << -1 << 8 << "send-failed" << 1 << 2 << "" << false << -1
        << "refuse sends";
    // Another program connected to the instrument's input, sending SysEx all through the update.
    const QStringList others = yes + QStringList{"--disconnect-others"};
    const QStringList slow{"--delay", "100"};
    QTest::newRow("other sender") << yes << slow << 1 << 0 << -1 << 3 << "other-senders" << 0 << 0
                                  << "" << false << -1 << "other sender";
    QTest::newRow("other sender, --disconnect-others")
        << others << slow << 1 << 0 << -1 << 0 << "complete" << kMessages << kMessages << ""
        << false << -1 << "other sender";
    QTest::newRow("other sender, --disconnect-others, SIGINT")
        << others << QStringList{"--delay", "400"} << 1 << 0 << 30 << 130 << "interrupted" << 1
        << kMessages - 1 << "" << false << -1 << "other sender";
    QTest::newRow("other sender, --disconnect-others, unplugged")
        << others << QStringList{"--delay", "100", "--quit-after", "5"} << 1 << 0 << -1 << 6
        << "port-gone" << 5 << 6 << "" << false << -1 << "other sender, unplugged";
    // It connects once progress reaches interruptAt: named, and taken away with the option.
    QTest::newRow("sender connects during the update")
        << yes << slow << 1 << 0 << 30 << 0 << "complete" << kMessages << kMessages << "" << false
        << -1 << "sender connects";
    QTest::newRow("sender connects during the update, --disconnect-others")
        << others << slow << 1 << 0 << 30 << 0 << "complete" << kMessages << kMessages << ""
        << false << -1 << "sender connects";
    QTest::newRow("output closed after 2 lines")
        << yes << QStringList() << 1 << 0 << -1 << 0 << "" << kMessages << kMessages << "" << false
        << 2 << "";
}

void UploadTest::sendOverAlsa()
{
    if (!qEnvironmentVariableIsSet("CORVANE_ALSA_VM"))
        QSKIP("needs the ALSA sequencer of the ALSA test VM (tests/alsa-vm)");
    send("alsa");
}

void UploadTest::send(const QString &api)
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, deviceOptions);
    QFETCH(int, deviceCount);
    QFETCH(int, deviceLaterMs);
    QFETCH(int, interruptAt);
    QFETCH(int, status);
    QFETCH(QString, result);
    QFETCH(int, fewest);
    QFETCH(int, most);
    QFETCH(QString, sent);
    QFETCH(bool, held);
    QFETCH(int, readLines);
    QFETCH(QString, setup);
    if (setup == "refuse sends" && api == "jack")
        QSKIP("RtMidi's JACK output drops a message it cannot take without a word");
    if (setup.contains("sender") && api == "alsa")
        QSKIP("over ALSA the sender is another process: usbInstrument(other sender …)");

    const auto startDevices = [&] {
        bool started = true;
        for (int i = 0; i < deviceCount; ++i)
            started = startDevice(QStringList{"--api", api} + deviceOptions) && started;
        return started;
    };
    if (deviceLaterMs == 0)
        QVERIFY(startDevices());
    if (setup.startsWith("lock")) {
        // The port's lock file, made before anybody takes it.
        QVERIFY(gMIDI.UseApi(api.toStdString()));
        gMIDI.GetMIDIPortListName();
        const QStringList ports = gMIDI.MIDIportList.filter("Corvane Device Out");
        QCOMPARE(ports.size(), 1);
        madeLock =
            PortLock::Path(gMIDI.ApiName(), gMIDI.OutputName(gMIDI.PairedOutput(ports.first())));
        QFile::remove(madeLock);
        if (setup == "lock is a folder") {
            QVERIFY(QDir().mkdir(madeLock));
        } else {
            QVERIFY(QFile(madeLock).open(QIODevice::WriteOnly));
            QCOMPARE(::chown(QFile::encodeName(madeLock).constData(), 65534, 65534), 0);
        }
    }
    if (setup == "no runtime folder") // the holder has one
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeFolder()));
    if (held) {
        // This process opens the device's port as an updater does, and so holds it.
        QVERIFY(gMIDI.UseApi(api.toStdString()));
        gMIDI.GetMIDIPortListName();
        const QStringList ports = gMIDI.MIDIportList.filter("Corvane Device Out");
        QCOMPARE(ports.size(), 1);
        gMIDI.OpenMIDIPort(gMIDI.searchMIDIport(ports.first()));
        QVERIFY2(gMIDI.OpenError.isEmpty(), qPrintable(gMIDI.OpenError));
    }
    // Another program's output connected to the instrument's input, as a DAW's would be.
    const std::vector<unsigned char> foreign{0xF0, 0x7D, 0x01, 0xF7};
    std::unique_ptr<RtMidiOut> chatter;
    if (setup.startsWith("other sender"))
        chatter = chatterTo(kDeviceInput);
    const QString path = sent == "damaged" ? damaged : sent == "fifo" ? fifo : update;
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.setProcessEnvironment(environmentFor(api, setup));
    const QStringList arguments = QStringList{"--api", api, "--json"} + options + QStringList{path};
    if (readLines < 0) {
        startProgram(program, arguments);
    } else {
        // Its output read by a program that goes away, as in a script, whose shell leaves
        // SIGPIPE as it comes (QProcess ignores it, and its children inherit that).
        program.setStandardInputFile(QProcess::nullDevice());
        program.start("bash", QStringList{"-c",
                                          QStringLiteral("env --default-signal=PIPE \"$0\" "
                                                         "\"$@\" | head -%1; "
                                                         "exit ${PIPESTATUS[0]}")
                                              .arg(readLines),
                                          UPLOAD_PATH} +
                                  arguments);
    }
    QByteArray out;
    bool interrupted = false;
    QElapsedTimer clock, sinceSignal;
    clock.start();
    while (program.state() != QProcess::NotRunning && clock.elapsed() < kLimitMs) {
        if (deviceLaterMs > 0 && devices.empty() && clock.elapsed() >= deviceLaterMs)
            QVERIFY(startDevices());
        program.waitForReadyRead(50);
        out += program.readAllStandardOutput();
        const QList<int> progress = progressOf(eventsOf(out));
        // Until the program is told to stop: what the instrument gets after it is no concern.
        if (chatter && (!interrupted || setup == "sender connects") && !progress.isEmpty() &&
            progress.last() < 100)
            chatter->sendMessage(&foreign);
        if (interruptAt >= 0 && !interrupted && !progress.isEmpty() &&
            progress.last() >= interruptAt) {
            if (setup == "sender connects")
                chatter = chatterTo(kDeviceInput);
            else if (setup == "kill device")
                ::kill(pid_t(devices.back()->process.processId()), SIGKILL);
            else
                ::kill(pid_t(program.processId()), setup == "SIGHUP" ? SIGHUP : SIGINT);
            interrupted = true;
            sinceSignal.start();
        }
    }
    if (setup == "kill device") {
        // It never says goodbye: stopping it finds it gone, as it must be here.
        devices.back()->process.waitForFinished(1000);
        devices.pop_back();
        records.pop_back();
        --deviceCount;
        QVERIFY2(sinceSignal.elapsed() < 5000,
                 qPrintable(QStringLiteral("ended %1 ms after the device was killed")
                                .arg(sinceSignal.elapsed())));
        if (program.exitCode() == 7)
            status = 7, result = "service-gone";
    }
    const bool ended = program.state() == QProcess::NotRunning;
    if (!ended) {
        program.kill();
        program.waitForFinished(5000);
    }
    // Connected again at the end, whatever the end, unless its instrument has gone.
    const bool reconnected =
        chatter &&
        OtherSenders("Jack", kDeviceInput).List().filter(QRegularExpression("^Chatter:")).size() ==
            1;
    chatter.reset();
    gMIDI.EndService();
    QVERIFY2(ended && program.exitStatus() == QProcess::NormalExit,
             "the program did not end by itself");
    out += program.readAllStandardOutput();
    QCOMPARE(program.exitCode(), status);

    bool valid = true;
    const QList<QJsonObject> events = eventsOf(out, &valid);
    QVERIFY2(valid && (readLines >= 0 || out.endsWith('\n')), out.constData());
    keep(out);
    if (setup.contains("sender")) {
        const QJsonObject last = events.value(events.size() - 1);
        QCOMPARE(reconnected, setup != "other sender, unplugged");
        QCOMPARE(last.value("not_restored").toArray().size(), reconnected ? 0 : 1);
        QCOMPARE(last.value("senders").toArray().size(),
                 setup != "sender connects" || options.contains("--disconnect-others") ? 1 : 0);
    }
    if (setup == "sender connects") {
        const QList<QJsonObject> noted = eventsNamed(events, "other_senders");
        QCOMPARE(noted.size(), 1);
        QCOMPARE(noted.first().value("disconnected").toBool(),
                 options.contains("--disconnect-others"));
        return; // its messages may have reached the instrument before the note
    }
    // Notes at 3 s, then every 10 s, each once, whatever else the device sends.
    qint64 noted = -1;
    for (const QJsonObject &e : events) {
        if (e.value("event").toString() != "waiting")
            continue;
        const qint64 seconds = e.value("seconds").toInt();
        QVERIFY2(seconds > noted && (seconds == 3 || seconds % 10 == 0), out.constData());
        noted = seconds;
    }
    int acknowledged = fewest;
    if (readLines < 0) {
        const QJsonObject outcome = events.value(events.size() - 1);
        QCOMPARE(outcome.value("event").toString(), QString("outcome"));
        QCOMPARE(outcome.value("status").toInt(-1), status);
        QCOMPARE(outcome.value("result").toString(), result);
        acknowledged = outcome.value("acknowledged").toInt(-1);
    }
    // A port that is not there yet: the wait is said at once.
    if (deviceLaterMs > 0)
        QCOMPARE(events.value(0).value("event").toString(), QString("waiting_for_port"));
    // One event at every tenth, in order; all eleven for a whole update.
    const QList<int> progress = progressOf(events);
    for (int i = 0; i < progress.size(); ++i)
        QCOMPARE(progress.at(i), 10 * i);
    if (status == 0 && readLines < 0)
        QCOMPARE(progress.size(), 11);

    for (auto &device : devices)
        QVERIFY(device->stop());
    QCOMPARE(int(devices.size()), deviceCount);
    for (const QString &record : records) {
        // Another program's messages may reach the instrument again once the update has ended.
        QByteArray bytes = readFile(record);
        const QByteArray other(reinterpret_cast<const char *>(foreign.data()), int(foreign.size()));
        while (setup.contains("sender") && bytes.endsWith(other))
            bytes.chop(other.size());
        const int received = wholeMessagesOf(file, bytes);
        QVERIFY2(received >= fewest && received <= most,
                 qPrintable(QStringLiteral("%1 whole messages of the file").arg(received)));
        // Never past the message whose acknowledgement it waited for.
        QVERIFY2(
            received >= acknowledged && received <= acknowledged + 1,
            qPrintable(
                QStringLiteral("%1 received, %2 acknowledged").arg(received).arg(acknowledged)));
    }
}

// A bench: instruments plugged in one after another under one name, each updated once as it comes
// (again when it comes again), one already current, one that goes mid-update; the first Ctrl-C
// lets the station end with its summary, and every unit has its record.
void UploadTest::stationTakesEachUnit()
{
    const QString logPath = dir.filePath("station.log");
    QProcess station;
    QVERIFY(startStation(station, {"--api", "jack", "--station", "corvane device out", "--yes",
                                   "--json", "--log", logPath, update}));
    QByteArray out;
    const auto waitFor = [&](const QString &event, int count) {
        return readUntil(station, &out,
                         [&] { return eventsNamed(eventsOf(out), event).size() >= count; });
    };
    QVERIFY(waitFor("station", 1));
    const QList<QStringList> units{{"--version", "1.0.0"},
                                   {"--version", "1.0.0"},
                                   {"--version", "2.0.0"},
                                   {"--version", "1.0.0", "--quit-after", "5", "--delay", "50"}};
    for (int i = 0; i < units.size(); ++i) {
        QVERIFY(startDevice(QStringList{"--api", "jack"} + units.at(i)));
        QVERIFY2(waitFor("unit", i + 1), out.constData());
        QVERIFY(devices.back()->stop());
    }
    QVERIFY(stopStation(station, &out, 1));
    QCOMPARE(station.exitCode(), 9);
    QCOMPARE(readFile(records.at(0)), file);
    QCOMPARE(readFile(records.at(1)), file);
    QCOMPARE(readFile(records.at(2)), file.left(file.indexOf(char(0xF7)) + 1));
    const QList<QJsonObject> summary = eventsNamed(eventsOf(out), "summary");
    QCOMPARE(summary.size(), 1);
    QCOMPARE(summary.first().value("updated").toInt(), 2);
    QCOMPARE(summary.first().value("already_current").toInt(), 1);
    QCOMPARE(summary.first().value("failed").toInt(), 1);
    // The log holds the same records as the output, one a line, each written as its unit ended.
    const QByteArray log = readFile(logPath);
    keep(log);
    const QList<QJsonObject> recorded = eventsOf(log);
    QCOMPARE(recorded, eventsNamed(eventsOf(out), "unit"));
    QStringList results;
    for (const QJsonObject &unit : recorded) {
        results << unit.value("result").toString();
        QCOMPARE(unit.value("port").toString(), QString("Corvane Device Tx:Corvane Device Out"));
        QVERIFY(QDateTime::fromString(unit.value("started").toString(), Qt::ISODate).isValid());
    }
    QCOMPARE(results, (QStringList{"complete", "complete", "already-current", "port-gone"}));
    QCOMPARE(recorded.last().value("status").toInt(), 6);
}

// Ctrl-C while a unit runs: the first lets it finish, a second interrupts it as a single run's.
void UploadTest::stationStops_data()
{
    QTest::addColumn<int>("interrupts");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("result"); // the unit's
    QTest::newRow("one Ctrl-C") << 1 << 0 << "complete";
    QTest::newRow("two Ctrl-C") << 2 << 130 << "interrupted";
}

void UploadTest::stationStops()
{
    QFETCH(int, interrupts);
    QFETCH(int, status);
    QFETCH(QString, result);
    QProcess station;
    QVERIFY(startStation(
        station, {"--api", "jack", "--station", "Corvane Device Out", "--yes", "--json", update}));
    QVERIFY(startDevice({"--api", "jack", "--delay", "200"}));
    QByteArray out;
    readUntil(station, &out, [&] {
        const QList<int> progress = progressOf(eventsOf(out));
        return !progress.isEmpty() && progress.last() >= 10;
    });
    QVERIFY(stopStation(station, &out, interrupts));
    QCOMPARE(station.exitCode(), status);
    const QList<QJsonObject> units = eventsNamed(eventsOf(out), "unit");
    QCOMPARE(units.size(), 1);
    QCOMPARE(units.first().value("result").toString(), result);
    QCOMPARE(eventsOf(out).last().value("status").toInt(-1), status);
}

// A machine reached over SSH has no display, and the program must not even load Qt's GUI
// libraries: it runs with none named and glibc listing what it loads.
void UploadTest::checkLoadsNoDisplayLibrary()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    environment.insert("LD_DEBUG", "libs");
    QProcess program;
    program.setProcessEnvironment(environment);
    startProgram(program, {"--check", update});
    QVERIFY(program.waitForFinished(kLimitMs));
    const QString loaded = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitCode(), 0);
    QVERIFY2(loaded.contains(QRegularExpression("libQt\\dCore")), "glibc listed no libraries");
    const QRegularExpressionMatch gui = QRegularExpression("libQt\\d(Gui|Widgets)").match(loaded);
    QVERIFY2(!gui.hasMatch(), qPrintable(gui.captured()));
}

// Four instruments on the four ports of one interface, one program each, all at once.
void UploadTest::alsaFourPortsAtOnce()
{
    if (!qEnvironmentVariableIsSet("CORVANE_ALSA_VM"))
        QSKIP("needs the virtual raw MIDI ports of the ALSA test VM (tests/alsa-vm)");
    std::vector<std::unique_ptr<QProcess>> programs;
    for (int n = 0; n < 4; ++n) {
        QVERIFY(startDevice({"--rawmidi", QStringLiteral("hw:0,%1").arg(n)}));
        programs.push_back(std::make_unique<QProcess>());
        programs.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startProgram(*programs.back(),
                     {"--api", "alsa", "--port", QStringLiteral("Virtual Raw MIDI 0-%1").arg(n),
                      "--yes", "--timeout", "60", update});
    }
    for (auto &program : programs) {
        QVERIFY(program->waitForFinished(300000));
        QVERIFY2(program->exitCode() == 0, program->readAllStandardOutput().constData());
    }
    for (auto &device : devices)
        QVERIFY(device->stop());
    for (const QString &record : records)
        QVERIFY2(readFile(record) == file, qPrintable(record));
}

// Messages longer than a raw MIDI port carries whole: refused by the check and by a send.
void UploadTest::alsaLongMessagesRefused()
{
    if (!qEnvironmentVariableIsSet("CORVANE_ALSA_VM"))
        QSKIP("needs the virtual raw MIDI ports of the ALSA test VM (tests/alsa-vm)");
    const QString path = makeUpdate(dir.filePath("long.cvn"), {"--count", "3", "--message-size",
                                                               "6000", "--allow-long-messages"});
    QVERIFY(!path.isEmpty());
    QVERIFY(startDevice({"--rawmidi", "hw:0,0"}));
    for (const QStringList &arguments :
         {QStringList{"--check", path},
          QStringList{"--api", "alsa", "--port", "Virtual Raw MIDI 0-0", "--yes", "--timeout", "20",
                      path}}) {
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        startProgram(program, arguments);
        QVERIFY(program.waitForFinished(120000));
        QCOMPARE(program.exitCode(), 2);
    }
    QVERIFY(devices.back()->stop());
    QCOMPARE(readFile(records.last()), QByteArray());
}

// USB MIDI instruments on the VM's emulated USB bus, driven by snd-usb-audio as real ones are
// (tests/alsa-vm/usb-instrument.sh): one update each, 4,096-byte messages, byte for byte.
void UploadTest::usbInstrument_data()
{
    QTest::addColumn<int>("instruments");
    QTest::addColumn<int>(
        "plugLaterMs");                // plugged in that long after the programs started; -1 before
    QTest::addColumn<int>("unplugAt"); // pulled out once progress reaches this percent; -1 never
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("deviceOptions");
    // Another program's port routed to the first instrument with aconnect (a virtual raw MIDI
    // port that keeps writing SysEx once the update has begun), and the program's own options.
    QTest::addColumn<bool>("sender");
    QTest::addColumn<QStringList>("options");

    const QStringList none;
    QTest::newRow("whole update") << 1 << -1 << -1 << 0 << none << false << none;
    // Slow replies: the update is still going when the cable is pulled.
    QTest::newRow("unplugged mid-update")
        << 1 << -1 << 30 << 6 << QStringList{"--delay", "150"} << false << none;
    // A bench script meets a freshly plugged instrument this way.
    QTest::newRow("plugged in while --wait-for-port waits")
        << 1 << 3000 << -1 << 0 << none << false << none;
    QTest::newRow("two instruments at once") << 2 << -1 << -1 << 0 << none << false << none;
    const QStringList others{"--disconnect-others"};
    QTest::newRow("other sender") << 1 << -1 << -1 << 3 << none << true << none;
    QTest::newRow("other sender, --disconnect-others")
        << 1 << -1 << -1 << 0 << none << true << others;
    QTest::newRow("other sender, --disconnect-others, unplugged mid-update")
        << 1 << -1 << 30 << 6 << QStringList{"--delay", "150"} << true << others;
}

void UploadTest::usbInstrument()
{
    const QString usb = qEnvironmentVariable("CORVANE_USB_INSTRUMENT");
    if (usb.isEmpty())
        QSKIP("needs the USB MIDI instruments of the ALSA test VM (tests/alsa-vm)");
    QFETCH(int, instruments);
    QFETCH(int, plugLaterMs);
    QFETCH(int, unplugAt);
    QFETCH(int, status);
    QFETCH(QStringList, deviceOptions);
    QFETCH(bool, sender);
    QFETCH(QStringList, options);

    qputenv("CORVANE_DEVICE_SIM", SIM_PATH);
    const QString path = makeUpdate(dir.filePath("usb.cvn"), {"--version", "2.0.0", "--total-size",
                                                              "131072", "--message-size", "4096"});
    const QByteArray bytes = readFile(path);
    QStringList usbRecords;
    const auto plugAll = [&] {
        for (int n = 0; n < instruments; ++n) {
            usbRecords << dir.filePath(QStringLiteral("usb-%1-%2.bin").arg(n).arg(++runs));
            if (QProcess::execute(usb, QStringList{"plug", QString::number(n), usbRecords.last()} +
                                           deviceOptions) != 0)
                return false;
        }
        return true;
    };
    const auto unplugAll = [&] {
        for (int n = 0; n < instruments; ++n)
            QProcess::execute(usb, {"unplug", QString::number(n)});
    };
    if (plugLaterMs < 0 && !plugAll()) {
        unplugAll();
        QFAIL("the USB instruments could not be plugged in");
    }
    // The sequencer port of a virtual raw MIDI device sends what is written to the device.
    QFile writer("/dev/snd/midiC0D3");
    const QByteArray foreign = QByteArray::fromHex("F07D01F7");
    QString instrument; // the first instrument's port, as the sequencer lists it
    if (sender) {
        RtMidiOut ports(RtMidi::LINUX_ALSA, "Corvane test");
        for (unsigned int i = 0; i < ports.getPortCount(); ++i)
            if (QString::fromStdString(ports.getPortName(i)).startsWith("Corvane Keyboard 0:"))
                instrument = QString::fromStdString(ports.getPortName(i));
        const QString address = instrument.section(' ', -1);
        QVERIFY(writer.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(QProcess::execute("aconnect", {"Virtual Raw MIDI 0-3:0", address}), 0);
    }
    std::vector<std::unique_ptr<QProcess>> programs;
    QList<QByteArray> outs;
    for (int n = 0; n < instruments; ++n) {
        programs.push_back(std::make_unique<QProcess>());
        programs.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startProgram(*programs.back(),
                     QStringList{"--api", "alsa", "--json", "--port",
                                 QStringLiteral("Corvane Keyboard %1").arg(n), "--yes",
                                 "--wait-for-port", "30", "--timeout", "30", path} +
                         options);
        outs << QByteArray();
    }
    QElapsedTimer clock, sinceUnplug;
    qint64 unplugMs = 0;
    clock.start();
    bool plugged = plugLaterMs < 0;
    const auto running = [&] {
        for (auto &program : programs)
            if (program->state() != QProcess::NotRunning)
                return true;
        return false;
    };
    while (running() && clock.elapsed() < 120000) {
        if (!plugged && clock.elapsed() >= plugLaterMs)
            plugged = plugAll();
        for (int n = 0; n < instruments; ++n) {
            programs[size_t(n)]->waitForReadyRead(20);
            outs[n] += programs[size_t(n)]->readAllStandardOutput();
        }
        const QList<int> progress = progressOf(eventsOf(outs.first()));
        if (sender && !progress.isEmpty() && !sinceUnplug.isValid())
            writer.write(foreign);
        if (unplugAt >= 0 && !sinceUnplug.isValid() && !progress.isEmpty() &&
            progress.last() >= unplugAt) {
            QElapsedTimer took;
            took.start();
            QProcess::execute(usb, {"unplug", "0"});
            unplugMs = took.elapsed();
            sinceUnplug.start();
        }
    }
    if (sinceUnplug.isValid())
        qInfo("ended %.1f s after the instrument was unplugged (pulling it out took %.1f s)",
              sinceUnplug.elapsed() / 1000.0, unplugMs / 1000.0);
    // Routed again at the end, unless the instrument has gone.
    const int routed =
        sender && !sinceUnplug.isValid()
            ? OtherSenders("ALSA", instrument).List().filter("Virtual Raw MIDI 0-3").size()
            : 0;
    unplugAll();
    QVERIFY2(!running(), "a program did not end by itself");
    QCOMPARE(usbRecords.size(), instruments);
    for (int n = 0; n < instruments; ++n) {
        outs[n] += programs[size_t(n)]->readAllStandardOutput();
        keep(outs[n]);
        QCOMPARE(programs[size_t(n)]->exitCode(), status);
        const QList<QJsonObject> events = eventsOf(outs[n]);
        QCOMPARE(events.value(events.size() - 1).value("status").toInt(-1), status);
        QByteArray record = readFile(usbRecords.at(n));
        while (sender && record.endsWith(foreign)) // sent again once routed again
            record.chop(foreign.size());
        if (status == 0)
            QVERIFY2(record == bytes, qPrintable(usbRecords.at(n)));
        else if (status == 3)
            QVERIFY2(record.isEmpty(), qPrintable(usbRecords.at(n)));
        else
            QVERIFY2(wholeMessagesOf(bytes, record) >= 1, qPrintable(usbRecords.at(n)));
        if (sender && n == 0) {
            QCOMPARE(routed, sinceUnplug.isValid() ? 0 : 1);
            QCOMPARE(events.last().value("not_restored").toArray().size(),
                     sinceUnplug.isValid() ? 1 : 0);
            QCOMPARE(events.last().value("senders").toArray().size(), 1);
        }
    }
}

// A bench of USB instruments: the first (with a serial number) and the second (without) plugged
// in and pulled out in turn, then the first again: three units, each byte for byte.
void UploadTest::stationOverUsb()
{
    const QString usb = qEnvironmentVariable("CORVANE_USB_INSTRUMENT");
    if (usb.isEmpty())
        QSKIP("needs the USB MIDI instruments of the ALSA test VM (tests/alsa-vm)");
    qputenv("CORVANE_DEVICE_SIM", SIM_PATH);
    const QString path =
        makeUpdate(dir.filePath("bench.cvn"),
                   {"--version", "3.0.0", "--total-size", "32768", "--message-size", "4096"});
    const QString logPath = dir.filePath("bench.log");
    QProcess station;
    QVERIFY(startStation(station, {"--api", "alsa", "--station", "Corvane Keyboard", "--yes",
                                   "--json", "--log", logPath, path}));
    QByteArray out;
    QStringList usbRecords;
    for (int n : {0, 1, 0}) {
        usbRecords << dir.filePath(QStringLiteral("bench-%1.bin").arg(usbRecords.size()));
        QCOMPARE(QProcess::execute(usb, {"plug", QString::number(n), usbRecords.last()}), 0);
        readUntil(
            station, &out,
            [&] { return eventsNamed(eventsOf(out), "unit").size() >= usbRecords.size(); }, 60000);
        QProcess::execute(usb, {"unplug", QString::number(n)});
    }
    QVERIFY(stopStation(station, &out, 1));
    QCOMPARE(station.exitCode(), 0);
    const QList<QJsonObject> units = eventsOf(readFile(logPath));
    QCOMPARE(units.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(units.at(i).value("result").toString(), QString("complete"));
        QCOMPARE(units.at(i).value("serial").toString(), i == 1 ? QString() : QString("CV0000"));
        QVERIFY2(readFile(usbRecords.at(i)) == readFile(path), qPrintable(usbRecords.at(i)));
    }
}

QTEST_GUILESS_MAIN(UploadTest)
#include "tst_upload.moc"
