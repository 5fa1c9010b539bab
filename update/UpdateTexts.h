// The sentences about a running update that both programs show, written once: the window puts
// them in its status line or a box, the terminal program on standard error or in its JSON.
// Each face only says how the user stops there: the window's Exit button or Ctrl-C.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class UpdateTexts
{
public:
    enum class Face { Window, Terminal };

    // The device has not acknowledged `message` for `seconds`; `others` messages came meanwhile
    // that are no acknowledgement, the last shown as `lastOther`. `advise` adds what to do.
    static QString Waiting(qint64 message, qint64 messages, qint64 seconds, int others,
                           const QString &lastOther, bool advise, Face face);
    // The port `port` went away while `message` waited for its acknowledgement.
    static QString PortGone(const QString &port, qint64 message, qint64 messages, Face face);
    // Other programs (`senders`) are connected to the instrument's input `port`: why that matters
    // and what to do; in the window, the box that offers to disconnect them.
    static QString OthersSending(const QString &port, const QStringList &senders, Face face);
    // `senders` connected to the instrument's input during the update; `disconnected` until its
    // end.
    static QString OthersJoined(const QStringList &senders, bool disconnected);
    // Senders that could not be disconnected, nothing sent; or not connected again after the
    // update.
    static QString NotDisconnected(const QStringList &senders);
    static QString NotRestored(const QStringList &senders);
    // The MIDI service stopped serving the ports (`reason`, a sentence without its full stop)
    // while `message` waited for its acknowledgement.
    static QString ServiceGone(const QString &reason, qint64 message, qint64 messages, Face face);
    // `message` did not go out: `port` refused it, or no output port is open (empty).
    static QString SendFailed(const QString &port, qint64 message, qint64 messages, Face face);
    // The library's own words for a failed send, for those who want them.
    static QString LibrarySaid(const QString &reason);
    // Message `number` is `length` bytes long, more than the port carries (`limit`).
    static QString TooLong(qint64 number, qint64 messages, qint64 length, qint64 limit);
    // Outside text (port names, version texts) as it is, with control characters as \xNN and
    // invisible formatting characters (a right-to-left override) as \uNNNN: on one line, and
    // nothing in it hidden or taken as a terminal's command.
    static QString Printable(const QString &text);
};
