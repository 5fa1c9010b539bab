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
    // Back to the line's start and clear it, so a shorter text leaves nothing behind. The width
    // is asked each time: the window may have been resized since. The last column stays free,
    // since a terminal wraps as soon as it is written.
    put("\r\033[K", stdout);
    put(Cut(text, terminalColumns() - 1).toUtf8().constData(), stdout);
    flush(stdout);
    lineOpen = true;
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
