#include "cli/UploadCommand.h"

#include "cli/StationCommand.h"
#include "cli/TerminalTransfer.h"
#include "midi/MIDI.h"
#include "midi/MidiBackend.h"
#include "midi/OtherSenders.h"

#include <RtMidi.h>
#include "update/UpdateTexts.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace
{

// Why `file` (whose Load gave `loaded`) is no update file the program sends; empty when it is one.
QString fileProblem(UpdateTransfer &file, bool loaded, const QString &path)
{
    const QString name = Console::Printable(path);
    if (!loaded)
        return file.File.ProblemText(name);
    // The window sends a file without a header; a script's run never guesses.
    if (file.ChechHeader() <= 0)
        return QStringLiteral("The file \"%1\" does not begin with an update file's header "
                              "(F0 7E 10 07 02): check that it is a Corvane update file (.cvn).")
            .arg(name);
    return QString();
}

// Runs `work` with standard error sent to /dev/null: the MIDI libraries print their own lines
// while they look for a service that is not there, or close clients of one that has gone; what
// matters of it comes back in words of the program's own.
void quietly(const std::function<void()> &work)
{
    std::fflush(stderr);
    const int savedStderr = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (savedStderr >= 0 && devNull >= 0)
        ::dup2(devNull, STDERR_FILENO);
    work();
    std::fflush(stderr);
    if (savedStderr >= 0 && devNull >= 0)
        ::dup2(savedStderr, STDERR_FILENO);
    if (devNull >= 0)
        ::close(devNull);
    if (savedStderr >= 0)
        ::close(savedStderr);
}

// Whether the MIDI service `api` ("alsa", "jack") can be reached now.
bool reachable(const std::string &api)
{
    bool reached = false;
    quietly([&] {
        std::unique_ptr<RtMidiIn> probe(
            MidiBackend::openInput("Corvane Uploader", 100, nullptr, api));
        reached = probe != nullptr;
    });
    return reached;
}

} // namespace

QString UploadCommand::HelpText()
{
    return QStringLiteral(
        "Usage:\n"
        "  corvane-upload --list [--api alsa|jack] [--json]\n"
        "  corvane-upload --check FILE [--json]\n"
        "  corvane-upload [--api alsa|jack] --port PORT [--yes | --no]\n"
        "                 [--timeout SECONDS] [--wait-for-port SECONDS] [--no-lock]\n"
        "                 [--disconnect-others] [--skip-current] [--quiet | --json] FILE\n"
        "  corvane-upload [--api alsa|jack] --station PATTERN --yes [--force]\n"
        "                 [--log FILE] [--timeout SECONDS] [--no-lock]\n"
        "                 [--disconnect-others] [--quiet | --json] FILE\n"
        "\n"
        "Sends a Corvane update file (.cvn) to a MIDI instrument one message at a time,\n"
        "and waits for the instrument's acknowledgement after each, as Corvane Uploader\n"
        "does in its window.\n"
        "\n"
        "Options:\n"
        "  --list                   List the MIDI input ports, numbered from 0, each\n"
        "                           with the output port it is paired with.\n"
        "  --check FILE             Check an update file without sending it: its\n"
        "                           version, its messages, and whether its longest\n"
        "                           message fits a MIDI port.\n"
        "  --api alsa|jack          The MIDI service: the ALSA sequencer or a JACK\n"
        "                           server (default: the ALSA sequencer where there is\n"
        "                           one).\n"
        "  --port PORT              The port the instrument sends on, as --list shows\n"
        "                           it: its number, its whole name, or a part of its\n"
        "                           name that no other port has. The update goes to\n"
        "                           the output port paired with it.\n"
        "  --yes                    Replace the instrument's firmware version without\n"
        "                           asking.\n"
        "  --no                     Never replace it: only the file's header is sent,\n"
        "                           whether or not the instrument reports its version.\n"
        "  --timeout SECONDS        Give up when an acknowledgement takes longer, from\n"
        "                           0.001 to 1000000 seconds (default: wait as long as\n"
        "                           it takes).\n"
        "  --wait-for-port SECONDS  Wait up to that long for the port to appear, from 0\n"
        "                           to 1000000 seconds (default: 0).\n"
        "  --no-lock                Send even when the port's lock cannot be taken, so\n"
        "                           that another updater sending to it goes unseen.\n"
        "  --disconnect-others      Disconnect the other programs connected to the\n"
        "                           instrument's port for the update, and connect them\n"
        "                           again at its end (without it, nothing is sent\n"
        "                           while they are connected).\n"
        "  --skip-current           Send only the header to an instrument that has the\n"
        "                           file's version already (result already-current).\n"
        "  --station PATTERN        Update every instrument whose port contains PATTERN\n"
        "                           as soon as it is plugged in, several at once, until\n"
        "                           Ctrl-C; with --yes, and without asking.\n"
        "  --force                  With --station: update instruments that have the\n"
        "                           file's version already too.\n"
        "  --log FILE               With --station: add a JSON record of each finished\n"
        "                           instrument to FILE.\n"
        "  --quiet                  Print errors only.\n"
        "  --json                   Print JSON objects, one a line, for scripts (their\n"
        "                           schema: man corvane-upload).\n"
        "  -h, --help               Print this text.\n"
        "  --version                Print the program's version.\n"
        "\n"
        "Without --yes or --no, the question \"Replace version X with Y? [y/N]\" is asked\n"
        "on the terminal; with no terminal to ask on, nothing beyond the header is sent.\n"
        "Ctrl-C stops between two messages; the update is then not complete; a hang-up\n"
        "does not stop it. One update at a time per instrument, for every user of the\n"
        "machine: a port that another Corvane updater is sending to is refused. An\n"
        "update file is at most 256 MiB, made of whole System Exclusive messages only.\n"
        "\n"
        "Exit status:\n"
        "  0    the whole file was sent and acknowledged (--check: the file can be sent)\n"
        "  1    bad command line; or --help, --version, --list or --check could not\n"
        "       write their output\n"
        "  2    the file cannot be read, is no update file, is damaged, or holds a\n"
        "       message longer than the port carries (nothing sent)\n"
        "  3    no MIDI service, no such port, another updater is sending to it, its\n"
        "       lock cannot be taken, or other programs are connected to it (nothing\n"
        "       sent)\n"
        "  4    the replacement was declined, or not confirmed (only the header sent)\n"
        "  5    no acknowledgement within --timeout\n"
        "  6    the instrument's port went away during the update\n"
        "  7    the MIDI service stopped during the update\n"
        "  8    the MIDI library refused to send a message\n"
        "  9    --station: an instrument's update failed\n"
        "  130  interrupted (Ctrl-C, SIGTERM)\n");
}

QList<int> UploadCommand::MatchPort(const QStringList &names, const QString &wanted)
{
    bool isNumber = false;
    const int number = wanted.toInt(&isNumber);
    if (isNumber && !wanted.startsWith(QLatin1Char('+')) && !wanted.startsWith(QLatin1Char('-')))
        return number < names.size() ? QList<int>{number} : QList<int>();
    QList<int> exact, containing;
    for (int i = 0; i < names.size(); ++i) {
        if (names.at(i) == wanted)
            exact << i;
        if (!wanted.isEmpty() && names.at(i).contains(wanted, Qt::CaseInsensitive))
            containing << i;
    }
    return exact.isEmpty() ? containing : exact;
}

int UploadCommand::Run(const QStringList &arguments, const QByteArrayList &nativeArguments)
{
    // A reader that goes away (corvane-upload ... | head) must not end an update half-way: the
    // writes to it fail instead, and the update goes on to its own end and status.
    std::signal(SIGPIPE, SIG_IGN);
    native = nativeArguments;
    const int status = run(arguments);
    endService(status);
    return status;
}

void UploadCommand::endService(int status)
{
    // Leaves the MIDI service in order, quietly (after the outcome nothing more is said), but
    // never for long: closing a client waits for the server, and a server that has stopped, or
    // that waits for a killed client, would hold the exit for as long as it stalls.
    std::fflush(stdout);
    std::promise<void> closed;
    std::future<void> done = closed.get_future();
    quietly([&] {
        std::thread closing([&closed] {
            gMIDI.EndService();
            closed.set_value();
        });
        if (done.wait_for(std::chrono::milliseconds(EndServiceMs)) == std::future_status::ready) {
            closing.join();
            return;
        }
        closing.detach();
        std::_Exit(status);
    });
}

int UploadCommand::run(const QStringList &arguments)
{
    // Known before the command line is read, so that a bad one ends in JSON too; as the help
    // wins, wherever it stands. Options end at "--", as in every GNU tool.
    const int end = arguments.indexOf(QStringLiteral("--"));
    QStringList options = arguments.mid(1, end < 0 ? -1 : end - 1);
    console.Json =
        options.contains(QStringLiteral("--json")) || options.contains(QStringLiteral("-json"));
    if (options.contains(QStringLiteral("--help")) || options.contains(QStringLiteral("-h")))
        return printed(HelpText());
    // --check takes its file as a send does, so that "--check --json FILE" and
    // "--check -- -x.cvn" mean what they say; "--check=FILE" is still taken.
    QString checkFile;
    QStringList words = arguments;
    for (int i = 1; i < words.size() && (end < 0 || i < end); ++i) {
        const QString &word = words.at(i);
        if (word.startsWith(QStringLiteral("--check=")) ||
            word.startsWith(QStringLiteral("-check="))) {
            checkFile = word.section(QLatin1Char('='), 1);
            words[i] = QStringLiteral("--check");
        }
    }

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption listOption(QStringLiteral("list"));
    const QCommandLineOption checkOption(QStringLiteral("check"));
    const QCommandLineOption apiOption(QStringLiteral("api"), QString(), QStringLiteral("API"));
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("PORT"));
    const QCommandLineOption yesOption(QStringLiteral("yes"));
    const QCommandLineOption noOption(QStringLiteral("no"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QString(),
                                           QStringLiteral("SECONDS"));
    const QCommandLineOption waitOption(QStringLiteral("wait-for-port"), QString(),
                                        QStringLiteral("SECONDS"));
    const QCommandLineOption noLockOption(QStringLiteral("no-lock"));
    const QCommandLineOption othersOption(QStringLiteral("disconnect-others"));
    const QCommandLineOption skipOption(QStringLiteral("skip-current"));
    const QCommandLineOption stationOption(QStringLiteral("station"), QString(),
                                           QStringLiteral("PATTERN"));
    const QCommandLineOption forceOption(QStringLiteral("force"));
    const QCommandLineOption logOption(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"));
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption versionOption(QStringLiteral("version"));
    parser.addOptions({listOption, checkOption, apiOption, portOption, yesOption, noOption,
                       timeoutOption, waitOption, noLockOption, othersOption, skipOption,
                       stationOption, forceOption, logOption, quietOption, jsonOption,
                       versionOption});

    const auto bad = [this](const QString &why) {
        return finish(BadCommandLine, QStringLiteral("bad-command-line"),
                      QStringLiteral("corvane-upload: %1; see corvane-upload --help.").arg(why));
    };
    if (!parser.parse(words)) {
        // Named as it was typed: the parser drops the dashes, and an argument meant as a file
        // name ("-update.cvn") must be recognisable.
        for (const QString &name : parser.unknownOptionNames()) {
            for (const QString &typed : options) {
                const QString bare = typed.section(QLatin1Char('='), 0, 0);
                if (bare == QLatin1Char('-') + name || bare == QStringLiteral("--") + name)
                    return bad(
                        QStringLiteral("unknown option '%1'").arg(Console::Printable(typed)));
            }
        }
        QString why = parser.errorText();
        while (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        return bad(Console::Printable(why));
    }
    // The last of two values winning silently hides a mistake in a script.
    const QStringList given = parser.optionNames();
    for (const QString &name : given)
        if (given.count(name) > 1)
            return bad(QStringLiteral("--%1 is given more than once").arg(name));
    if (parser.isSet(versionOption))
        return printed(QStringLiteral("corvane-upload %1\n").arg(QStringLiteral(CORVANE_VERSION)));

    console.Json = parser.isSet(jsonOption); // -json too
    console.Quiet = parser.isSet(quietOption);
    console.Tty = ::isatty(STDOUT_FILENO) && !console.Json && !console.Quiet;
    if (console.Json && console.Quiet)
        return bad(QStringLiteral("--quiet and --json exclude each other"));
    if (parser.isSet(yesOption) && parser.isSet(noOption))
        return bad(QStringLiteral("--yes and --no exclude each other"));
    if (parser.isSet(apiOption)) {
        const QString name = parser.value(apiOption);
        if (name != QLatin1String("alsa") && name != QLatin1String("jack"))
            return bad(QStringLiteral("--api takes alsa or jack, not \"%1\"")
                           .arg(Console::Printable(name)));
        api = name.toStdString();
    }
    const auto seconds = [&](const QCommandLineOption &option, double least, double *value) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        *value = parser.value(option).toDouble(&ok);
        return ok && *value >= least && *value <= 1e6;
    };
    if (!seconds(timeoutOption, 0.001, &timeoutSeconds))
        return bad(QStringLiteral("--timeout takes a number of seconds from 0.001 to 1000000, "
                                  "not \"%1\"")
                       .arg(Console::Printable(parser.value(timeoutOption))));
    if (!seconds(waitOption, 0, &waitForPortSeconds))
        return bad(QStringLiteral("--wait-for-port takes a number of seconds from 0 to 1000000, "
                                  "not \"%1\"")
                       .arg(Console::Printable(parser.value(waitOption))));
    answer = parser.isSet(yesOption) ? 1 : parser.isSet(noOption) ? 2 : 0;
    portText = parser.value(portOption);
    if (parser.isSet(portOption) && portText.trimmed().isEmpty())
        return bad(QStringLiteral("--port takes a port's number or a part of its name, not an "
                                  "empty text"));

    const QStringList files = parser.positionalArguments();
    const bool sendOptions =
        parser.isSet(portOption) || parser.isSet(yesOption) || parser.isSet(noOption) ||
        parser.isSet(timeoutOption) || parser.isSet(waitOption) || parser.isSet(quietOption) ||
        parser.isSet(noLockOption) || parser.isSet(othersOption) || parser.isSet(skipOption) ||
        parser.isSet(stationOption) || parser.isSet(forceOption) || parser.isSet(logOption);
    if (parser.isSet(listOption)) {
        if (parser.isSet(checkOption) || sendOptions || !files.isEmpty())
            return bad(QStringLiteral("--list takes only --api and --json"));
        return list();
    }
    if (parser.isSet(checkOption)) {
        if (sendOptions || parser.isSet(apiOption) || files.size() + !checkFile.isEmpty() != 1)
            return bad(QStringLiteral("--check takes one file and --json"));
        return check(checkFile.isEmpty() ? files.first() : checkFile);
    }
    noLock = parser.isSet(noLockOption);
    disconnectOthers = parser.isSet(othersOption);
    skipCurrent = parser.isSet(skipOption);
    if (parser.isSet(stationOption)) {
        if (parser.isSet(portOption) || parser.isSet(noOption) || parser.isSet(waitOption) ||
            parser.isSet(skipOption))
            return bad(QStringLiteral("--station takes no --port, --no, --wait-for-port or "
                                      "--skip-current: it updates every matching port"));
        if (!parser.isSet(yesOption))
            return bad(QStringLiteral("--station needs --yes: a station asks no questions"));
        if (parser.value(stationOption).trimmed().isEmpty())
            return bad(QStringLiteral("--station takes a part of a port's name, not an empty "
                                      "text"));
        if (files.size() != 1)
            return bad(QStringLiteral("--station takes one update file"));
        return station(files.first(), parser.value(stationOption), parser.isSet(forceOption),
                       parser.value(logOption));
    }
    if (parser.isSet(forceOption) || parser.isSet(logOption))
        return bad(QStringLiteral("--force and --log go with --station"));
    if (files.size() != 1)
        return bad(files.isEmpty() ? QStringLiteral("no update file given")
                                   : QStringLiteral("one update file at a time"));
    if (!parser.isSet(portOption)) {
        const QString service = startMidi();
        if (!service.isEmpty())
            return finish(BadCommandLine, QStringLiteral("bad-command-line"),
                          QStringLiteral("corvane-upload: say which MIDI port the instrument is "
                                         "on with --port, once a MIDI service runs. %1")
                              .arg(service));
        finish(BadCommandLine, QStringLiteral("bad-command-line"),
               QStringLiteral("corvane-upload: say which MIDI port the instrument is on with "
                              "--port: a number or a part of a name from this list; see "
                              "corvane-upload --help."));
        for (const QString &line : portLines())
            console.Error(line);
        return BadCommandLine;
    }
    return send(files.first());
}

int UploadCommand::printed(const QString &text)
{
    console.Raw(text);
    if (console.OutputError.isEmpty())
        return Complete;
    console.Error(outputLost());
    return BadCommandLine;
}

QString UploadCommand::outputLost() const
{
    return QStringLiteral("corvane-upload: standard output could not be written (%1).")
        .arg(console.OutputError);
}

QByteArray UploadCommand::nativeName(const QString &argument) const
{
    // The bytes that were typed: a name that is no valid text in the locale's encoding reads
    // back as another name.
    for (int i = native.size() - 1; i > 0; --i)
        if (QString::fromLocal8Bit(native.at(i)) == argument)
            return native.at(i);
    return QFile::encodeName(argument);
}

QString UploadCommand::startMidi()
{
    // The reasons that matter come back in ServiceError, one sentence a service.
    bool started = false;
    quietly([&] { started = gMIDI.UseApi(api); });
    if (started)
        return QString();
    // The advice names what runs: a service left out by --api is no service to start.
    QString advice = QStringLiteral("Start the ALSA sequencer or a JACK server, then try again.");
    if (api == "alsa")
        advice = reachable("jack") ? QStringLiteral("A JACK server is running: run again with "
                                                    "--api jack, or start the ALSA sequencer.")
                                   : QStringLiteral("Start the ALSA sequencer, then try again.");
    else if (api == "jack")
        advice = reachable("alsa") ? QStringLiteral("The ALSA sequencer is running: run again "
                                                    "with --api alsa, or start the JACK server.")
                                   : QStringLiteral("Start the JACK server, then try again.");
    return QStringLiteral("No MIDI service could be reached. %1 %2")
        .arg(Console::Printable(gMIDI.ServiceError.simplified()), advice);
}

QStringList UploadCommand::portLines(const QList<int> &only, QJsonArray *json)
{
    QStringList lines;
    gMIDI.GetMIDIPortListName();
    for (int i = 0; i < gMIDI.MIDIportList.size(); ++i) {
        if (!only.isEmpty() && !only.contains(i))
            continue;
        const QString out = gMIDI.OutputName(gMIDI.PairedOutput(gMIDI.MIDIportList.at(i)));
        const QStringList others =
            out.isEmpty() ? QStringList() : OtherSenders(gMIDI.ApiName(), out).List();
        if (json)
            json->append(QJsonObject{
                {QStringLiteral("number"), i},
                {QStringLiteral("input"), gMIDI.MIDIportList.at(i)},
                {QStringLiteral("output"), out.isEmpty() ? QJsonValue() : QJsonValue(out)},
                {QStringLiteral("senders"), QJsonArray::fromStringList(others)}});
        lines << QStringLiteral("%1  %2  ->  %3")
                     .arg(i, 2)
                     .arg(Console::Printable(gMIDI.MIDIportList.at(i)),
                          out.isEmpty() ? QStringLiteral("(no output port)")
                                        : Console::Printable(out));
        if (!others.isEmpty())
            lines.last() += QStringLiteral("  (other senders: %1)")
                                .arg(Console::Printable(others.join(QStringLiteral(", "))));
    }
    if (lines.isEmpty())
        lines << QStringLiteral("(no MIDI input port)");
    return lines;
}

int UploadCommand::list()
{
    const QString service = startMidi();
    if (!service.isEmpty())
        return finish(NoPort, QStringLiteral("no-midi-service"), service);
    QJsonArray ports;
    const QStringList lines = portLines({}, &ports);
    console.Event({{QStringLiteral("event"), QStringLiteral("list")},
                   {QStringLiteral("api"), QString::fromStdString(apiName())},
                   {QStringLiteral("ports"), ports}});
    console.Line(QStringLiteral("MIDI service: %1").arg(gMIDI.ApiName()));
    for (const QString &line : lines)
        console.Line(line);
    return finish(Complete, QStringLiteral("complete"));
}

std::string UploadCommand::apiName() const
{
    // As --api spells it.
    return gMIDI.ApiName() == QLatin1String("ALSA") ? "alsa" : "jack";
}

int UploadCommand::check(const QString &path)
{
    TerminalTransfer file(path, console, TerminalTransfer::Answer::No, nativeName(path));
    const bool loaded = file.Load(path);
    QString problem = fileProblem(file, loaded, path);
    const qint64 alsa = MIDI::ApiMessageLimit("alsa");
    const qint64 jack = MIDI::ApiMessageLimit("jack");
    const bool fitsAlsa = alsa <= 0 || file.LongestLength <= alsa;
    const bool fitsJack = jack <= 0 || file.LongestLength <= jack;
    const bool tooLong = problem.isEmpty() && !fitsAlsa;
    if (tooLong)
        problem =
            UpdateTexts::TooLong(file.LongestNumber, file.MessageCount, file.LongestLength, alsa);

    // What the file holds is shown for an update file only, long messages and all.
    const bool update = problem.isEmpty() || tooLong;
    QJsonObject json{{QStringLiteral("event"), QStringLiteral("check")},
                     {QStringLiteral("file"), path}};
    if (update) {
        json.insert(QStringLiteral("version"), file.FileVersionText());
        json.insert(QStringLiteral("messages"), file.MessageCount);
        json.insert(QStringLiteral("size"), file.FileLen);
        json.insert(QStringLiteral("longest"),
                    QJsonObject{{QStringLiteral("message"), file.LongestNumber},
                                {QStringLiteral("size"), file.LongestLength}});
        json.insert(QStringLiteral("fits"), QJsonObject{{QStringLiteral("alsa"), fitsAlsa},
                                                        {QStringLiteral("jack"), fitsJack}});
        json.insert(QStringLiteral("limits"),
                    QJsonObject{{QStringLiteral("alsa"), alsa}, {QStringLiteral("jack"), jack}});
        console.Event(json);

        const auto fits = [&](bool ok, qint64 limit) {
            return QStringLiteral("%1 (at most %2 in one message)")
                .arg(ok ? QStringLiteral("fits") : QStringLiteral("too long"),
                     Console::Count(limit, QStringLiteral("byte")));
        };
        console.Line(QStringLiteral("File:            %1").arg(Console::Printable(path)));
        console.Line(
            QStringLiteral("Version:         %1").arg(Console::Printable(file.FileVersionText())));
        console.Line(QStringLiteral("Messages:        %1").arg(Console::Count(file.MessageCount)));
        console.Line(QStringLiteral("Size:            %1")
                         .arg(Console::Count(file.FileLen, QStringLiteral("byte"))));
        console.Line(QStringLiteral("Longest message: %1 (message %2)")
                         .arg(Console::Count(file.LongestLength, QStringLiteral("byte")),
                              Console::Count(file.LongestNumber)));
        console.Line(QStringLiteral("ALSA:            %1").arg(fits(fitsAlsa, alsa)));
        console.Line(QStringLiteral("JACK:            %1").arg(fits(fitsJack, jack)));
    } else {
        console.Event(json);
    }
    if (problem.isEmpty())
        return finish(Complete, QStringLiteral("complete"));
    return finish(BadFile,
                  tooLong ? QStringLiteral("message-too-long") : QStringLiteral("bad-file"),
                  problem);
}

int UploadCommand::finish(int status, const QString &result, const QString &text)
{
    // Whatever a list, a check or the version printed is all they do: losing it is a failure,
    // and the outcome says so.
    if (!sending && status == Complete && !console.OutputError.isEmpty())
        return finish(BadCommandLine, QStringLiteral("output-error"), outputLost());
    if (!text.isEmpty())
        console.Error(text);
    QJsonObject outcome{{QStringLiteral("event"), QStringLiteral("outcome")},
                        {QStringLiteral("status"), status},
                        {QStringLiteral("result"), result}};
    if (!text.isEmpty())
        outcome.insert(QStringLiteral("error"), text);
    if (messages > 0) {
        outcome.insert(QStringLiteral("acknowledged"), acknowledged);
        outcome.insert(QStringLiteral("messages"), messages);
    }
    // Those refused for, or those taken away during the update, and those left disconnected.
    if (!senders.isEmpty())
        outcome.insert(QStringLiteral("senders"), QJsonArray::fromStringList(senders));
    if (!notRestored.isEmpty())
        outcome.insert(QStringLiteral("not_restored"), QJsonArray::fromStringList(notRestored));
    console.Event(outcome);
    return status;
}

int UploadCommand::send(const QString &path)
{
    sending = true;
    // A terminal closed or an SSH connection lost must not cut an update half-way: it goes on to
    // its end and its own status, and what it prints meanwhile is lost.
    std::signal(SIGHUP, SIG_IGN);
    if (!TerminalTransfer::CatchSignals())
        return finish(BadCommandLine, QStringLiteral("internal"),
                      QStringLiteral("The program could not set up its signal handling."));
    TerminalTransfer transfer(path, console,
                              answer == 1   ? TerminalTransfer::Answer::Yes
                              : answer == 2 ? TerminalTransfer::Answer::No
                                            : TerminalTransfer::Answer::Ask,
                              nativeName(path));
    transfer.SkipCurrent = skipCurrent;
    const bool loaded = transfer.Load(path);
    if (TerminalTransfer::Interrupted())
        return finish(Interrupted, QStringLiteral("interrupted"),
                      QStringLiteral("Interrupted while the update file was read: nothing was "
                                     "sent."));
    const QString problem = fileProblem(transfer, loaded, path);
    if (!problem.isEmpty())
        return finish(BadFile, QStringLiteral("bad-file"), problem);
    if (!TerminalTransfer::HoldSignals())
        return finish(BadCommandLine, QStringLiteral("internal"),
                      QStringLiteral("The program could not set up its signal handling."));
    messages = transfer.MessageCount;

    const QString service = startMidi();
    if (!service.isEmpty())
        return finish(NoPort, QStringLiteral("no-midi-service"), service);
    // Its lines when a server goes ("CheckRes error") say less than the outcome will.
    MidiBackend::silenceJack();
    int status = openPort();
    if (status != Complete)
        return status;
    // Nothing goes out while another program sends to the instrument too, unless it is taken away
    // for the update.
    senders = gMIDI.OthersSending();
    if (!senders.isEmpty() && !disconnectOthers)
        return finish(
            NoPort, QStringLiteral("other-senders"),
            UpdateTexts::OthersSending(gMIDI.OutputPortName, senders, UpdateTexts::Face::Terminal));
    gMIDI.DisconnectOtherSenders = disconnectOthers;
    announce(transfer, path);
    // Ctrl-C pressed while the service or the port was opening: nothing has gone out yet.
    if (TerminalTransfer::Interrupted())
        return finish(Interrupted, QStringLiteral("interrupted"),
                      QStringLiteral("Interrupted before the update began: nothing was sent."));
    transfer.AckTimeoutMs = qint64(timeoutSeconds * 1000);
    QElapsedTimer took;
    took.start();
    const UpdateTransfer::Outcome outcome = transfer.Send();
    acknowledged = transfer.Acknowledged;
    senders = transfer.Disconnected;
    notRestored = transfer.NotRestored;
    if (!notRestored.isEmpty())
        console.Error(UpdateTexts::NotRestored(notRestored));
    // The time the question waited for its answer is no time of the update's.
    return ended(outcome, transfer, took.elapsed() - transfer.QuestionMs);
}

int UploadCommand::station(const QString &path, const QString &pattern, bool force,
                           const QString &logPath)
{
    sending = true; // a long run: its output may go, its units go on
    // The file is read and checked once, before any instrument is taken.
    TerminalTransfer file(path, console, TerminalTransfer::Answer::No, nativeName(path));
    const bool loaded = file.Load(path);
    const QString problem = fileProblem(file, loaded, path);
    if (!problem.isEmpty())
        return finish(BadFile, QStringLiteral("bad-file"), problem);
    const QString service = startMidi();
    if (!service.isEmpty())
        return finish(NoPort, QStringLiteral("no-midi-service"), service);
    MidiBackend::silenceJack();
    StationCommand::Settings settings;
    settings.pattern = pattern;
    settings.path = path;
    settings.version = file.FileVersionText();
    settings.log = logPath;
    settings.unitOptions = QStringList{QStringLiteral("--api"), QString::fromStdString(apiName())};
    if (timeoutSeconds > 0)
        settings.unitOptions << QStringLiteral("--timeout") << QString::number(timeoutSeconds);
    if (noLock)
        settings.unitOptions << QStringLiteral("--no-lock");
    if (disconnectOthers)
        settings.unitOptions << QStringLiteral("--disconnect-others");
    if (!force)
        settings.unitOptions << QStringLiteral("--skip-current");
    StationCommand station(console, settings);
    return station.Run(QByteArray(reinterpret_cast<const char *>(file.FileBuf), int(file.FileLen)));
}

QList<int> UploadCommand::awaitPort()
{
    // The port: at once, or as soon as it appears within --wait-for-port.
    QElapsedTimer waited;
    waited.start();
    const qint64 limitMs = qint64(waitForPortSeconds * 1000);
    QList<int> matches;
    bool cameLater = false;
    for (;;) {
        gMIDI.GetMIDIPortListName();
        matches = MatchPort(gMIDI.MIDIportList, portText);
        if (!matches.isEmpty() && cameLater) {
            // An instrument that has just come registers its ports one after another: its input
            // must not be paired with another output for want of its own.
            TerminalTransfer::Sleep(1000);
            gMIDI.GetMIDIPortListName();
            matches = MatchPort(gMIDI.MIDIportList, portText);
        }
        if (!matches.isEmpty() || waited.elapsed() >= limitMs || TerminalTransfer::Interrupted())
            break;
        const qint64 left = (limitMs - waited.elapsed() + 999) / 1000;
        const QString text =
            QStringLiteral("Waiting up to %1 for a MIDI input port that matches "
                           "\"%2\" (Ctrl-C stops): %3 s left.")
                .arg(Console::Count(qint64(waitForPortSeconds + 0.999), QStringLiteral("second")),
                     Console::Printable(portText), Console::Count(left));
        // On a terminal the seconds count down in place; a log gets one line.
        if (!cameLater) {
            if (!console.Tty)
                console.Line(text.section(QStringLiteral(" (Ctrl-C"), 0, 0) + QLatin1Char('.'));
            console.Event({{QStringLiteral("event"), QStringLiteral("waiting_for_port")},
                           {QStringLiteral("port"), portText},
                           {QStringLiteral("seconds"), waitForPortSeconds}});
        }
        console.Redraw(text);
        cameLater = true;
        TerminalTransfer::Sleep(250);
    }
    return matches;
}

int UploadCommand::openPort()
{
    const QList<int> matches = awaitPort();
    if (matches.isEmpty() && TerminalTransfer::Interrupted())
        return finish(Interrupted, QStringLiteral("interrupted"),
                      QStringLiteral("Interrupted while waiting for the MIDI port: nothing was "
                                     "sent."));
    if (matches.size() != 1) {
        const QString text =
            matches.isEmpty()
                ? QStringLiteral("No MIDI input port matches \"%1\": choose one of these by its "
                                 "number or a part of its name; nothing was sent.")
                      .arg(Console::Printable(portText))
                : QStringLiteral("\"%1\" matches %2 MIDI input ports: give more of the name, or "
                                 "the port's number; nothing was sent.")
                      .arg(Console::Printable(portText))
                      .arg(matches.size());
        finish(NoPort, QStringLiteral("no-such-port"), text);
        for (const QString &line : portLines(matches))
            console.Error(line);
        return NoPort;
    }

    gMIDI.AllowUnlocked = noLock;
    gMIDI.OpenMIDIPort(matches.first());
    if (!gMIDI.PortBusy.isEmpty())
        return finish(NoPort, QStringLiteral("port-in-use"), Console::Printable(gMIDI.PortBusy));
    if (!gMIDI.LockError.isEmpty() && !noLock)
        return finish(NoPort, QStringLiteral("lock-unavailable"),
                      QStringLiteral("%1 Make the lock file usable, or run again with --no-lock "
                                     "to send without it.")
                          .arg(Console::Printable(gMIDI.OpenError.simplified())));
    if (!gMIDI.OpenError.isEmpty())
        return finish(NoPort, QStringLiteral("port-not-opened"),
                      QStringLiteral("%1 Check the port with corvane-upload --list.")
                          .arg(Console::Printable(gMIDI.OpenError.simplified())));
    return Complete;
}

void UploadCommand::announce(TerminalTransfer &transfer, const QString &path)
{
    QJsonObject ports{{QStringLiteral("event"), QStringLiteral("ports")},
                      {QStringLiteral("api"), QString::fromStdString(apiName())},
                      {QStringLiteral("input"), gMIDI.MIDIportName},
                      {QStringLiteral("output"), gMIDI.OutputPortName},
                      {QStringLiteral("file"), path},
                      {QStringLiteral("version"), transfer.FileVersionText()},
                      {QStringLiteral("messages"), transfer.MessageCount},
                      {QStringLiteral("size"), transfer.FileLen},
                      {QStringLiteral("locked"), gMIDI.LockError.isEmpty()}};
    if (!gMIDI.LockError.isEmpty())
        ports.insert(QStringLiteral("lock_error"), gMIDI.LockError);
    if (!senders.isEmpty())
        ports.insert(QStringLiteral("senders"), QJsonArray::fromStringList(senders));
    console.Event(ports);
    console.Line(QStringLiteral("Sending \"%1\" (version %2) to \"%3\", answers from \"%4\" (%5).")
                     .arg(Console::Printable(path), Console::Printable(transfer.FileVersionText()),
                          Console::Printable(gMIDI.OutputPortName),
                          Console::Printable(gMIDI.MIDIportName), gMIDI.ApiName()));
    if (!senders.isEmpty()) {
        QStringList shown;
        for (const QString &sender : senders)
            shown << Console::Printable(sender);
        console.Line(QStringLiteral("Disconnected during the update, connected again at its end: "
                                    "%1.")
                         .arg(shown.join(QStringLiteral(", "))));
    }
    if (!gMIDI.LockError.isEmpty())
        console.Line(QStringLiteral("Without the port's lock (--no-lock): %1. Another updater "
                                    "sending to this instrument now would not be seen.")
                         .arg(Console::Printable(gMIDI.LockError)));
}

int UploadCommand::ended(UpdateTransfer::Outcome outcome, const TerminalTransfer &transfer,
                         qint64 tookMs)
{
    const QString stoppedAt =
        acknowledged == 0 ? QStringLiteral("no message was acknowledged")
                          : QStringLiteral("message %1 of %2 was the last acknowledged")
                                .arg(Console::Count(acknowledged), Console::Count(messages));
    switch (outcome) {
    case UpdateTransfer::Outcome::Complete:
        console.Line(QStringLiteral("Update complete: %1, %2, all acknowledged, in %3 s.")
                         .arg(Console::Count(messages, QStringLiteral("message")),
                              Console::Count(transfer.FileLen, QStringLiteral("byte")))
                         .arg(double(tookMs) / 1000.0, 0, 'f', 1));
        return finish(Complete, QStringLiteral("complete"));
    case UpdateTransfer::Outcome::TooLong:
        return finish(BadFile, QStringLiteral("message-too-long"),
                      UpdateTexts::TooLong(transfer.LongestNumber, messages, transfer.LongestLength,
                                           gMIDI.MessageLimit));
    case UpdateTransfer::Outcome::Declined:
        return declined(transfer);
    case UpdateTransfer::Outcome::Stopped:
        if (transfer.InterruptedAtQuestion)
            return finish(Interrupted, QStringLiteral("interrupted"),
                          QStringLiteral("Interrupted at the question: only the file's header was "
                                         "sent, and the instrument keeps version %1.")
                              .arg(Console::Printable(transfer.Device)));
        return finish(Interrupted, QStringLiteral("interrupted"),
                      QStringLiteral("Interrupted: %1, and the update is not complete; run it "
                                     "again to finish it.")
                          .arg(stoppedAt));
    case UpdateTransfer::Outcome::PortGone:
        return finish(PortGone, QStringLiteral("port-gone"),
                      UpdateTexts::PortGone(Console::Printable(transfer.GonePort), transfer.Message,
                                            messages, UpdateTexts::Face::Terminal));
    case UpdateTransfer::Outcome::ServiceGone:
        return finish(ServiceGone, QStringLiteral("service-gone"),
                      UpdateTexts::ServiceGone(Console::Printable(transfer.GoneService),
                                               transfer.Message, messages,
                                               UpdateTexts::Face::Terminal));
    case UpdateTransfer::Outcome::SendFailed:
        return finish(
            SendFailed, QStringLiteral("send-failed"),
            UpdateTexts::SendFailed(Console::Printable(gMIDI.OutputPortName), transfer.Message,
                                    messages, UpdateTexts::Face::Terminal) +
                QLatin1Char(' ') + UpdateTexts::LibrarySaid(Console::Printable(gMIDI.SendError)));
    case UpdateTransfer::Outcome::OthersConnected:
        return finish(NoPort, QStringLiteral("other-senders"),
                      UpdateTexts::NotDisconnected(transfer.NotDisconnected));
    case UpdateTransfer::Outcome::TimedOut:
        return finish(TimedOut, QStringLiteral("timeout"),
                      QStringLiteral("No acknowledgement of message %1 of %2 came within %3 s: "
                                     "%4, and the update is not complete; check the MIDI "
                                     "connection and the instrument, then run it again.")
                          .arg(Console::Count(transfer.Message), Console::Count(messages))
                          .arg(timeoutSeconds)
                          .arg(stoppedAt));
    }
    return finish(BadFile, QStringLiteral("bad-file"));
}

int UploadCommand::declined(const TerminalTransfer &transfer)
{
    if (transfer.AlreadyCurrent) {
        console.Line(QStringLiteral("The instrument has version %1 already: only the file's header "
                                    "was sent.")
                         .arg(Console::Printable(transfer.Device)));
        return finish(Complete, QStringLiteral("already-current"));
    }
    const QString has = transfer.Device.isEmpty()
                            ? QStringLiteral("The instrument took the header without saying "
                                             "which version it has")
                            : QStringLiteral("The instrument has version %1")
                                  .arg(Console::Printable(transfer.Device));
    if (transfer.NoTerminal)
        return finish(Declined, QStringLiteral("no-terminal"),
                      QStringLiteral("%1, and updating it needs a yes, but standard input is "
                                     "no terminal to ask on: only the file's header was "
                                     "sent; run again with --yes to update it.")
                          .arg(has));
    return finish(
        Declined, QStringLiteral("declined"),
        QStringLiteral("%1, and it keeps it (%2): only the file's header was sent.")
            .arg(has, answer == 2 ? QStringLiteral("--no") : QStringLiteral("answered no")));
}
