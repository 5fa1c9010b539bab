// The update station: every instrument whose input port name contains a pattern is updated with
// one file as soon as its port appears, several at once, each unit by a run of its own (a child
// process of this program, with the single run's lock, checks and outcome), and each finished unit
// is recorded. A unit is a port from its appearance to its disappearance.
#pragma once

#include "cli/Console.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class PortWatch;
class QFile;
class QProcess;
class QSocketNotifier;
class QTimer;

class StationCommand : public QObject
{
    Q_OBJECT

public:
    // The exit status when a unit failed (0 when none did, 130 after a second Ctrl-C).
    static constexpr int UnitFailed = 9;
    // How long the ports must stay as they are before a new one is taken: an instrument registers
    // its ports one after another, and its input must not be paired with another's output.
    static constexpr int SettleMs = 30;

    struct Settings {
        QString pattern;
        QString path;            // the update file as given, for people
        QString version;         // its version text
        QStringList unitOptions; // for each unit's run: --api, --timeout, --force and the like
        QString log;             // --log FILE; empty for none
    };

    StationCommand(Console &console, Settings settings);
    ~StationCommand() override;

    // Runs until stopped, with the update file's checked bytes; returns the exit status.
    int Run(const QByteArray &file);

private:
    struct Unit;

    bool prepare(const QByteArray &file);
    void look();
    void start(const QString &port);
    void read(Unit &unit);
    void ended(Unit &unit);
    void record(const Unit &unit, const QJsonObject &object);
    void said(const QString &line);
    void redraw();
    void signalled();
    void stopWhenDone();

    Console &console;
    Settings settings;
    QString filePath; // the checked bytes every unit reads
    int fileFd = -1;
    std::unique_ptr<PortWatch> watch;
    QSocketNotifier *watchNotifier = nullptr;
    QSocketNotifier *signalNotifier = nullptr;
    QTimer *settle = nullptr;
    std::unique_ptr<QFile> log;
    std::vector<std::unique_ptr<Unit>> units;
    QStringList present; // the matching ports listed now, each a unit once taken
    int stops = 0;       // Ctrl-C or SIGTERM so far
    int updated = 0, current = 0, failed = 0;
};
