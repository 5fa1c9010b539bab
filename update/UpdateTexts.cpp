#include "update/UpdateTexts.h"

#include "update/UpdateFile.h"

#include <QCoreApplication>

namespace
{

QString tr(const char *text)
{
    return QCoreApplication::translate("UpdateTexts", text);
}

QString count(qint64 n)
{
    return UpdateFile::Grouped(n);
}

QString hex(uint c, int digits)
{
    return QString::number(c, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

// Appends the code point `c`, in two halves beyond the first 65,536.
void append(QString *out, uint c)
{
    if (QChar::requiresSurrogates(c))
        *out += QChar(QChar::highSurrogate(c));
    *out += QChar(QChar::requiresSurrogates(c) ? QChar::lowSurrogate(c) : c);
}

// What stops an update: the window's button, the terminal's key.
QString stopKey(UpdateTexts::Face face)
{
    return face == UpdateTexts::Face::Window ? tr("Exit") : QStringLiteral("Ctrl-C");
}

} // namespace

QString UpdateTexts::Waiting(qint64 message, qint64 messages, qint64 seconds, int others,
                             const QString &lastOther, bool advise, Face face)
{
    QString text = tr("Waiting for the device to acknowledge message %1 of %2: %3 s.")
                       .arg(count(message), count(messages), count(seconds));
    if (others == 1)
        text += tr(" It sent 1 message that is no acknowledgement: %1").arg(lastOther);
    else if (others > 1)
        text += tr(" It sent %1 messages that are no acknowledgement, the last: %2")
                    .arg(count(others), lastOther);
    // The bytes end the sentence; an ellipsis after them (the message went on) ends it already.
    if (others > 0 && !text.endsWith(QChar(0x2026)))
        text += QLatin1Char('.');
    if (advise)
        text += tr(" If no answer comes, check the MIDI connection and the instrument. %1 stops "
                   "here: the update is not complete.")
                    .arg(stopKey(face));
    return text;
}

QString UpdateTexts::PortGone(const QString &port, qint64 message, qint64 messages, Face face)
{
    // The terminal program ends by itself there; the window waits for Exit.
    return tr("The MIDI port \"%1\" has gone: was the instrument disconnected? The update stopped "
              "at message %2 of %3 and is not complete. Reconnect the instrument, %4run the "
              "update again.")
        .arg(port, count(message), count(messages),
             face == Face::Window ? tr("press Exit and ") : tr("then "));
}

namespace
{
// "A", "A and B", "A, B and C", each name quoted and shown printable.
QString names(const QStringList &senders)
{
    QStringList quoted;
    for (const QString &sender : senders)
        quoted << QStringLiteral("\"%1\"").arg(UpdateTexts::Printable(sender));
    if (quoted.size() < 2)
        return quoted.join(QString());
    const QString last = quoted.takeLast();
    return tr("%1 and %2").arg(quoted.join(QStringLiteral(", ")), last);
}
} // namespace

QString UpdateTexts::OthersSending(const QString &port, const QStringList &senders, Face face)
{
    return tr("Other programs send to the instrument's MIDI port \"%1\": %2. Their messages would "
              "mix with the update, and the instrument's answers to them would count as "
              "acknowledgements, so the update could run ahead of what the instrument has taken. "
              "%3")
        .arg(Printable(port), names(senders),
             face == Face::Window
                 ? tr("Close them, or disconnect them during the update: they are connected again "
                      "at its end, however it ends.")
                 : tr("Close them, or run again with --disconnect-others to disconnect them during "
                      "the update (they are connected again at its end); nothing was sent."));
}

QString UpdateTexts::OthersJoined(const QStringList &senders, bool disconnected)
{
    return disconnected ? tr("%1 connected to the instrument's port during the update and was "
                             "disconnected until its end.")
                              .arg(names(senders))
                        : tr("%1 connected to the instrument's port during the update: its "
                             "messages may mix with the update's.")
                              .arg(names(senders));
}

QString UpdateTexts::NotDisconnected(const QStringList &senders)
{
    return tr("Other programs that send to the instrument could not be disconnected: %1. Nothing "
              "was sent; close them, then run the update again.")
        .arg(Printable(senders.join(QStringLiteral(", "))));
}

QString UpdateTexts::NotRestored(const QStringList &senders)
{
    return tr("Not connected again after the update: %1.")
        .arg(Printable(senders.join(QStringLiteral(", "))));
}

QString UpdateTexts::ServiceGone(const QString &reason, qint64 message, qint64 messages, Face face)
{
    return tr("%1. The update stopped at message %2 of %3 and is not complete. Start the MIDI "
              "service again if it has stopped, %4run the update again.")
        .arg(reason, count(message), count(messages),
             face == Face::Window ? tr("press Exit and ") : tr("then "));
}

QString UpdateTexts::SendFailed(const QString &port, qint64 message, qint64 messages, Face face)
{
    const QString where = port.isEmpty() ? tr("no MIDI output port is open")
                                         : tr("the MIDI port \"%1\" did not take it").arg(port);
    // The terminal program ends there by itself; the window waits for Exit.
    return tr("Message %1 of %2 could not be sent: %3. The update is not complete: check the MIDI "
              "connection, %4run the update again.")
        .arg(count(message), count(messages), where,
             face == Face::Window ? tr("press Exit and ") : tr("then "));
}

QString UpdateTexts::LibrarySaid(const QString &reason)
{
    return tr("The MIDI library said: %1").arg(reason);
}

QString UpdateTexts::TooLong(qint64 number, qint64 messages, qint64 length, qint64 limit)
{
    return tr("This update file cannot be sent over MIDI: message %1 of %2 is %3 bytes long, and "
              "a MIDI interface (USB or 5-pin) takes at most %4 bytes in one message. Nothing "
              "was sent to the device.")
        .arg(count(number), count(messages), count(length), count(limit));
}

QString UpdateTexts::Printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const uint c : text.toUcs4()) {
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
            out += QLatin1String("\\x") + hex(c, 2);
        else if (QChar::category(c) == QChar::Other_Format || c == 0x2028 || c == 0x2029)
            out += QLatin1String("\\u") + hex(c, 4);
        else
            append(&out, c);
    }
    return out;
}
