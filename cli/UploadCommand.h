// The terminal program: its command line, the port list, the file check, and one update.
#pragma once

#include "cli/Console.h"
#include "update/UpdateTransfer.h"

#include <QString>
#include <QByteArrayList>
#include <QJsonArray>
#include <QStringList>

class TerminalTransfer;

class UploadCommand
{
public:
    enum Status {
        Complete = 0,
        BadCommandLine = 1,
        BadFile = 2,
        NoPort = 3,
        Declined = 4,
        TimedOut = 5,
        PortGone = 6,
        ServiceGone = 7,
        SendFailed = 8,
        UnitFailed = 9,
        Interrupted = 130,
    };

    // Runs the program with `arguments` (the program's name first); returns its exit status.
    // `nativeArguments`, when given, are the same as the system passed them: file names are
    // opened by those bytes.
    int Run(const QStringList &arguments, const QByteArrayList &nativeArguments = {});

    static QString HelpText();

    // Which of `names` the text of --port means: a number from the list, else the one exact
    // name, else the one name that contains it, case aside. Several exact names or several that
    // contain it are all returned; none, an empty list.
    static QList<int> MatchPort(const QStringList &names, const QString &wanted);

private:
    int run(const QStringList &arguments);
    int list();
    int check(const QString &path);
    int send(const QString &path);
    // The update station (StationCommand) with the checked file at `path`.
    int station(const QString &path, const QString &pattern, bool force, const QString &logPath);
    // The port of --port, once it is listed (within --wait-for-port); what matches it.
    QList<int> awaitPort();
    // Opens the port of --port and its output, under the port's lock; Complete, or the run's end.
    int openPort();
    // What is sent where, before the header goes.
    void announce(TerminalTransfer &transfer, const QString &path);
    // The run's end after the transfer ended with `outcome`, having sent for `tookMs`.
    int ended(UpdateTransfer::Outcome outcome, const TerminalTransfer &transfer, qint64 tookMs);
    int declined(const TerminalTransfer &transfer);
    // Starts the MIDI service; when none can be reached, the sentence that says why.
    QString startMidi();
    // The service's name as --api spells it.
    std::string apiName() const;
    // The bytes typed for the file name `argument`.
    QByteArray nativeName(const QString &argument) const;
    // The input ports (those of `only` when given), each with its paired output, one a line;
    // also as JSON objects into `json` when given.
    QStringList portLines(const QList<int> &only = QList<int>(), QJsonArray *json = nullptr);
    // How long the MIDI service may take to let the program go at its end.
    static constexpr int EndServiceMs = 500;
    // Closes the MIDI service at the run's end; ends the process with `status` when that stalls.
    void endService(int status);
    // Prints the help or the version; 1 when standard output cannot take it.
    int printed(const QString &text);
    // The sentence for output that could not be written.
    QString outputLost() const;
    // Ends a run: says `text` on standard error unless it is empty, and the outcome as JSON.
    int finish(int status, const QString &result, const QString &text = QString());

    Console console;
    QByteArrayList native;
    std::string api;
    QString portText;
    int answer = 0; // 0 ask, 1 yes, 2 no
    double timeoutSeconds = 0;
    double waitForPortSeconds = 0;
    // Send when the port's lock cannot be taken (never when another updater holds it).
    bool noLock = false;
    // Disconnect the other programs that send to the instrument, for the update.
    bool disconnectOthers = false;
    // An instrument that reports the file's version gets the header only.
    bool skipCurrent = false;
    // The other senders refused for, or disconnected for the update; those not connected again.
    QStringList senders;
    QStringList notRestored;
    qint64 acknowledged = 0;
    qint64 messages = 0;
    // An update was begun: from then on its own outcome is the exit status.
    bool sending = false;
};
