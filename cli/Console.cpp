#include "cli/Console.h"

#include "update/UpdateFile.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>

void Console::put(const char *text, FILE *stream)
{
    // A failed write is remembered, never fatal: an update goes on when its reader has gone.
    if (std::fputs(text, stream) < 0 && stream == stdout && OutputError.isEmpty())
        OutputError = QString::fromLocal8Bit(std::strerror(errno));
}

void Console::flush(FILE *stream)
{
    if (std::fflush(stream) != 0 && stream == stdout && OutputError.isEmpty())
        OutputError = QString::fromLocal8Bit(std::strerror(errno));
}

void Console::Raw(const QString &text)
{
    put(text.toUtf8().constData(), stdout);
    flush(stdout);
}

void Console::endLine()
{
    if (!lineOpen)
        return;
    put("\n", stdout);
    flush(stdout);
    lineOpen = false;
}

void Console::Line(const QString &text)
{
    if (Quiet || Json)
        return;
    endLine();
    put(text.toUtf8().constData(), stdout);
    put("\n", stdout);
    flush(stdout);
}

void Console::Redraw(const QString &text)
{
    if (Quiet || Json || !Tty)
        return;
    // Back to the line's start and clear it, so a shorter text leaves nothing behind.
    put("\r\033[K", stdout);
    put(text.toUtf8().constData(), stdout);
    flush(stdout);
    lineOpen = true;
}

void Console::Error(const QString &text)
{
    endLine();
    put(text.toUtf8().constData(), stderr);
    put("\n", stderr);
    flush(stderr);
}

void Console::Event(const QJsonObject &object)
{
    if (!Json)
        return;
    put(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    put("\n", stdout);
    flush(stdout);
}

void Console::Prompt(const QString &text)
{
    endLine();
    put(text.toUtf8().constData(), stderr);
    flush(stderr);
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
    return UpdateFile::Grouped(n);
}
