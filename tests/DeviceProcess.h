// The simulated device as a process, for the suites that run whole updates against it.
#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#ifdef SIM_PATH
// The simulated device as a process: its options, its record file and what it printed.
class Device
{
public:
    QProcess process;
    QByteArray output;

    // verbose: one line per message received, with what was sent back.
    bool start(const QStringList &options, const QString &record, bool verbose = false)
    {
        output.clear();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{"--record", record};
        if (verbose)
            arguments << "-v";
        process.start(QStringLiteral(SIM_PATH), arguments + options);
        if (!process.waitForStarted())
            return false;
        QElapsedTimer clock;
        clock.start();
        while (!output.contains("ready\n") && clock.elapsed() < 20000) {
            if (process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(50);
            output += process.readAllStandardOutput();
        }
        return output.contains("ready\n");
    }

    // What it printed so far; the GUI thread calls this from its timers.
    const QByteArray &printed()
    {
        output += process.readAllStandardOutput();
        return output;
    }

    // True when it ended by itself on the signal, as it must.
    bool stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        process.terminate();
        if (process.waitForFinished(10000))
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        process.kill();
        process.waitForFinished(5000);
        return false;
    }
};

#endif
