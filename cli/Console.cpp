#include "cli/Console.h"

#include <QJsonDocument>

#include <cstdio>

void Console::endLine()
{
    if (!lineOpen)
        return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
    lineOpen = false;
}

void Console::Line(const QString &text)
{
    if (Quiet || Json)
        return;
    endLine();
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void Console::Redraw(const QString &text)
{
    if (Quiet || Json || !Tty)
        return;
    // Back to the line's start and clear it, so a shorter text leaves nothing behind.
    std::fputs("\r\033[K", stdout);
    std::fputs(text.toUtf8().constData(), stdout);
    std::fflush(stdout);
    lineOpen = true;
}

void Console::Error(const QString &text)
{
    endLine();
    std::fputs(text.toUtf8().constData(), stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
}

void Console::Event(const QJsonObject &object)
{
    if (!Json)
        return;
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void Console::Prompt(const QString &text)
{
    endLine();
    std::fputs(text.toUtf8().constData(), stderr);
    std::fflush(stderr);
}

QString Console::Printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            out += QLatin1String("\\x") +
                   QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString Console::Count(qint64 n)
{
    QString digits = QString::number(n < 0 ? -n : n);
    for (int i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return n < 0 ? QLatin1Char('-') + digits : digits;
}
