// What the terminal program prints: plain lines for people (one line redrawn in place on a
// terminal), JSON objects a line for scripts, errors on standard error.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>

class Console
{
public:
    // The version of the JSON objects' schema (docs/corvane-upload.schema.json), in every object:
    // raised when a key changes its meaning or goes.
    static constexpr int SchemaVersion = 1;

    bool Json = false;
    bool Quiet = false;
    // Standard output is a terminal, and neither --quiet nor --json: progress is one line,
    // redrawn in place.
    bool Tty = false;

    // A line for people on standard output (nothing with --quiet or --json).
    void Line(const QString &text);
    // The progress line: redrawn in place on a terminal, cut to its width so that it never wraps
    // by itself (a line the terminal wrapped cannot be redrawn), else nothing (the caller prints
    // lines). With `wrap`, the whole text on as many lines as it needs, all redrawn in place;
    // without, each of its lines cut.
    void Redraw(const QString &text, bool wrap = false);
    // Takes the redrawn lines off the terminal, so what comes next is printed in their place.
    void Clear();
    // One sentence on standard error, always.
    void Error(const QString &text);
    // One JSON object on one line of standard output, with --json only; the schema's version is
    // added.
    void Event(QJsonObject object);
    // A question on standard error, after the progress line.
    void Prompt(const QString &text);
    // The question was answered with a line: the terminal is at a new line's start.
    void Answered() { promptOpen = false; }
    // Text as it is on standard output, whatever the options (--help, --version).
    void Raw(const QString &text);
    // Why a write to standard output failed first; empty while all went out.
    QString OutputError;

    // Outside text (port names, version texts) as the window shows it too: UpdateTexts::Printable.
    static QString Printable(const QString &text);
    // 1234567 as "1,234,567".
    static QString Count(qint64 n);
    // 1 as "1 byte", 1024 as "1,024 bytes", for a `unit` that takes an s.
    static QString Count(qint64 n, const QString &unit);
    // `text` cut to `columns` terminal columns; as it is when columns <= 0.
    static QString Cut(const QString &text, int columns);
    // `text` on lines of at most `columns` terminal columns, broken between words (a word wider
    // than a line is cut) and at its line feeds; one line when columns <= 0.
    static QStringList Wrap(const QString &text, int columns);

private:
    void put(const char *text, FILE *stream);
    void flush(FILE *stream);
    // Ends a redrawn line before anything else is printed.
    void endLine();
    bool lineOpen = false;
    // The lines the last redraw took, to go back over them.
    int redrawnLines = 0;
    // A question waits on standard error: what comes next begins a line of its own.
    bool promptOpen = false;
};
