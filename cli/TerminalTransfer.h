// The update transfer as the terminal program runs it: sleeps until the device answers instead of
// polling, asks its question on the terminal, prints progress, and stops on SIGINT or SIGTERM
// between messages.
#pragma once

#include "update/UpdateTransfer.h"

class Console;

class TerminalTransfer : public UpdateTransfer
{
public:
    enum class Answer { Ask, Yes, No };

    // `nativePath`, when given, is the file's name as the system has it (any bytes), and `path`
    // the same for people.
    TerminalTransfer(const QString &path, Console &console, Answer answer,
                     const QByteArray &nativePath = QByteArray());

    // Makes SIGINT and SIGTERM stop the program, and lets replies from the device wake it. Once,
    // at the start: until HoldSignals they come in at once (the file's read asks between pieces).
    static bool CatchSignals();
    // From now on SIGINT and SIGTERM come in only inside the waits, never in the middle of a
    // send. Before any MIDI thread starts, so that every one of them inherits the block.
    static bool HoldSignals();
    // True once SIGINT or SIGTERM came.
    static bool Interrupted();
    // Sleeps up to ms milliseconds, less when a signal or a message from the device comes.
    static void Sleep(int ms);

    // An instrument that reports the file's own version gets the header only.
    bool SkipCurrent = false;
    // It did: nothing beyond the header was sent.
    bool AlreadyCurrent = false;
    // The question could not be asked: standard input is no terminal.
    bool NoTerminal = false;
    // The device's version text, once it answered the header with one.
    QString Device;
    // The port that went away, when that ended the transfer.
    QString GonePort;
    // Why the MIDI service no longer served the ports, when that ended the transfer.
    QString GoneService;
    // How long the question waited for its answer.
    qint64 QuestionMs = 0;
    // SIGINT or SIGTERM came while the question waited: only the header went out.
    bool InterruptedAtQuestion = false;

protected:
    void idle() override;
    bool confirmReplace() override;
    bool goOnUnasked() override;
    bool cancelled() override { return Interrupted(); }
    void started() override;
    void progress(int percent) override;
    bool sendFailed(qint64 message, qint64 messages) override;
    bool portGone(const QString &port, qint64 message, qint64 messages) override;
    bool serviceGone(const QString &reason, qint64 message, qint64 messages) override;
    void waiting(qint64 ms, qint64 message, qint64 messages, int others, const QString &lastOther,
                 bool advise) override;
    void waitOver() override;
    void othersJoined(const QStringList &senders, bool disconnected) override;

private:
    // Reads one answer from the terminal; false on a signal or the end of the input.
    bool readAnswer(QString *line);

    Console &console;
    Answer answer;
    qint64 rateStartMs = 0;
    qint64 rateStartBytes = 0;
    qint64 lastRedrawMs = -1;
    int lastTenth = -1;
    // The second of the last note in a log, so that it comes once whatever else arrives.
    qint64 lastNoteSecond = -1;
};
