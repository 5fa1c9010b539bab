// What the terminal program prints: plain lines for people (one line redrawn in place on a
// terminal), JSON objects a line for scripts, errors on standard error.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>

class Console
{
public:
    bool Json = false;
    bool Quiet = false;
    // Standard output is a terminal, and neither --quiet nor --json: progress is one line,
    // redrawn in place.
    bool Tty = false;

    // A line for people on standard output (nothing with --quiet or --json).
    void Line(const QString &text);
    // The progress line: redrawn in place on a terminal, else nothing (the caller prints lines).
    void Redraw(const QString &text);
    // One sentence on standard error, always.
    void Error(const QString &text);
    // One JSON object on one line of standard output, with --json only.
    void Event(const QJsonObject &object);
    // A question on standard error, after the progress line.
    void Prompt(const QString &text);
    // Text as it is on standard output, whatever the options (--help, --version).
    void Raw(const QString &text);
    // Why a write to standard output failed first; empty while all went out.
    QString OutputError;

    // Outside text (port names, version texts) as it is, with control characters as \xNN.
    static QString Printable(const QString &text);
    // 1234567 as "1,234,567".
    static QString Count(qint64 n);

private:
    void put(const char *text, FILE *stream);
    void flush(FILE *stream);
    // Ends a redrawn line before anything else is printed.
    void endLine();
    bool lineOpen = false;
};
