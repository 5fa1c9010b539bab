#include "cli/Console.h"

#include "update/UpdateFile.h"
#include "update/UpdateTexts.h"

#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

// The terminal's width in columns; 0 when standard output is none or does not say.
int terminalColumns()
{
    winsize size = {};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? int(size.ws_col) : 0;
}

// Appends the code point `c`, in two halves beyond the first 65,536.
void append(QString *out, uint c)
{
    if (QChar::requiresSurrogates(c))
        *out += QChar(QChar::highSurrogate(c));
    *out += QChar(QChar::requiresSurrogates(c) ? QChar::lowSurrogate(c) : c);
}

// The terminal columns that `text` takes.
int width(const QString &text)
{
    int columns = 0;
    for (const uint c : text.toUcs4())
        columns += std::max(0, ::wcwidth(wchar_t(c)));
    return columns;
}

} // namespace

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
    redrawnLines = 0;
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

void Console::Redraw(const QString &text, bool wrap)
{
    if (Quiet || Json || !Tty)
        return;
    // Back to the first line of the last redraw and clear from there, so a shorter text leaves
    // nothing behind. The width is asked each time: the window may have been resized since. The
    // last column stays free, since a terminal wraps as soon as it is written.
    Clear();
    const int columns = terminalColumns() - 1;
    QStringList lines = wrap ? Wrap(text, columns) : text.split(QLatin1Char('\n'));
    if (!wrap)
        for (QString &line : lines)
            line = Cut(line, columns);
    put(lines.join(QLatin1Char('\n')).toUtf8().constData(), stdout);
    flush(stdout);
    lineOpen = true;
    redrawnLines = int(lines.size());
}

void Console::Clear()
{
    if (Quiet || Json || !Tty || !lineOpen)
        return;
    put("\r", stdout);
    if (redrawnLines > 1)
        put(QStringLiteral("\033[%1A").arg(redrawnLines - 1).toLatin1().constData(), stdout);
    put("\033[J", stdout);
    flush(stdout);
    lineOpen = false;
    redrawnLines = 0;
}

void Console::Error(const QString &text)
{
    endLine();
    if (promptOpen) {
        put("\n", stderr);
        promptOpen = false;
    }
    put(text.toUtf8().constData(), stderr);
    put("\n", stderr);
    flush(stderr);
}

void Console::Event(QJsonObject object)
{
    if (!Json)
        return;
    object.insert(QStringLiteral("schema"), SchemaVersion);
    put(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    put("\n", stdout);
    flush(stdout);
}

void Console::Prompt(const QString &text)
{
    endLine();
    put(text.toUtf8().constData(), stderr);
    flush(stderr);
    promptOpen = true;
}

QString Console::Printable(const QString &text)
{
    return UpdateTexts::Printable(text);
}

QString Console::Count(qint64 n)
{
    return UpdateFile::Grouped(n);
}

QString Console::Count(qint64 n, const QString &unit)
{
    return QStringLiteral("%1 %2").arg(Count(n), n == 1 ? unit : unit + QLatin1Char('s'));
}

QStringList Console::Wrap(const QString &text, int columns)
{
    if (columns <= 0)
        return {text};
    if (text.contains(QLatin1Char('\n'))) {
        QStringList lines;
        for (const QString &paragraph : text.split(QLatin1Char('\n')))
            lines += Wrap(paragraph, columns);
        return lines;
    }
    QStringList lines{QString()};
    int used = 0;
    for (QString word : text.split(QLatin1Char(' '))) {
        if (word.isEmpty())
            continue;
        if (used > 0 && used + 1 + width(word) > columns) {
            lines << QString();
            used = 0;
        }
        if (used > 0) {
            lines.last() += QLatin1Char(' ');
            ++used;
        }
        // A word wider than a whole line goes on in pieces.
        while (used + width(word) > columns) {
            QString piece = Cut(word, columns - used);
            if (piece.isEmpty()) // a character wider than the whole line
                piece = word.left(word.at(0).isHighSurrogate() ? 2 : 1);
            lines.last() += piece;
            lines << QString();
            used = 0;
            word = word.mid(piece.size());
        }
        lines.last() += word;
        used += width(word);
    }
    return lines;
}

QString Console::Cut(const QString &text, int columns)
{
    if (columns <= 0)
        return text;
    QString out;
    int used = 0;
    for (const uint c : text.toUcs4()) {
        const int width = std::max(0, ::wcwidth(wchar_t(c)));
        if (used + width > columns)
            break;
        used += width;
        append(&out, c);
    }
    return out;
}
