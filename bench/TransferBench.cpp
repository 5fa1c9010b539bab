// Transfer benchmark, updater side: one update file sent through the updater's real path (port
// manager, HandleSys::ReadData with SendSys, Ack and delay, the receive assembler and parser on
// the MIDI input thread) to the simulated device. Prints key=value figures; asserts nothing.
//
// Usage: corvane-bench-transfer FILE [--budget SECONDS] [--port NAME] [--jack-log FILE]
// The device must be running (corvane-device-sim --no-version-reply) on a MIDI service.
#include "BenchSupport.h"

#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "ui_MainWindow.h"
#include "update/HandleSys.h"

#include <RtMidi.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Point {
    long messages; // acknowledged so far
    std::int64_t wallNs;
    std::int64_t cpuNs;
};

int usage()
{
    std::fprintf(stderr, "Usage: corvane-bench-transfer FILE [--budget SECONDS] [--port NAME] "
                         "[--jack-log FILE]\n");
    return 2;
}

// Time per message between the first point at or after message a and the last at or before b.
double msPerMessage(const std::vector<Point> &points, long a, long b)
{
    const Point *from = nullptr, *to = nullptr;
    for (const Point &p : points) {
        if (!from && p.messages >= a)
            from = &p;
        if (p.messages <= b)
            to = &p;
    }
    if (!from || !to || to->messages - from->messages < 8)
        return -1;
    return double(to->wallNs - from->wallNs) / 1e6 / double(to->messages - from->messages);
}

} // namespace

int main(int argc, char **argv)
{
    // No display here; the window still exists, paints and takes events as it does for a user.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    std::string path, jackLog;
    double budgetSeconds = 0;
    QString port = QStringLiteral("Corvane Device Tx:Corvane Device Out");
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--budget" && i + 1 < args.size())
            budgetSeconds = args[++i].toDouble();
        else if (args[i] == "--port" && i + 1 < args.size())
            port = args[++i];
        else if (args[i] == "--jack-log" && i + 1 < args.size())
            jackLog = args[++i].toStdString();
        else if (path.empty() && !args[i].startsWith("--"))
            path = args[i].toStdString();
        else
            return usage();
    }
    if (path.empty())
        return usage();

    bench::FileScan scan;
    std::string error;
    if (!bench::scanUpdateFile(path, &scan, &error)) {
        std::fprintf(stderr, "corvane-bench-transfer: %s\n", error.c_str());
        return 1;
    }
    if (!gMIDI.ServiceError.isEmpty()) {
        std::fprintf(stderr, "corvane-bench-transfer: no MIDI service: %s\n",
                     qPrintable(gMIDI.ServiceError));
        return 1;
    }

    // The port dialog's steps: list, write the chosen name, find it, open it.
    gMIDI.GetMIDIPortListName();
    gMIDI.MIDIportName = port;
    gMIDI.OpenMIDIPort(gMIDI.searchMIDIport(gMIDI.MIDIportName));
    if (!gMIDI.OpenError.isEmpty()) {
        std::fprintf(stderr, "corvane-bench-transfer: %s\nports: %s\n", qPrintable(gMIDI.OpenError),
                     qPrintable(gMIDI.MIDIportList.join(", ")));
        return 1;
    }

    MainWindow window(nullptr);
    window.show();
    window.setLabelMIDIportName(QString(gMIDI.MIDIportName));
    // In a real run the window has long been shown and painted when the transfer starts: the
    // port and file dialogs come first.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 200)
        QApplication::processEvents(QEventLoop::AllEvents, 50);

    const QString file = QString::fromStdString(path);
    oHandleSys = new HandleSys(file, &window);

    // Progress is set once per acknowledged message; its value changes at most 101 times, and
    // each change tells exactly how many messages are through (see FileScan::firstAt).
    std::vector<Point> points;
    points.reserve(128);
    std::int64_t startNs = 0;
    bool stoppedByBudget = false;
    QObject::connect(window.Form->progressBar, &QProgressBar::valueChanged, [&](int value) {
        if (value < 0 || value > 100)
            return;
        // 0 is shown right after the first acknowledgement, whatever the file's size.
        const long k = value == 0 ? 1 : scan.firstAt[value];
        if (k <= 0 || (!points.empty() && k <= points.back().messages))
            return;
        const std::int64_t now = bench::nowNs();
        points.push_back({k, now, bench::processCpuNs()});
        // Past the budget the transfer is stopped as Exit stops it; the figures then cover the
        // messages acknowledged up to here.
        if (budgetSeconds > 0 && !stoppedByBudget && now - startNs > budgetSeconds * 1e9 &&
            k < scan.messages) {
            stoppedByBudget = true;
            oHandleSys->SetExit();
        }
    });

    // A message or an ACK lost on the way (JACK drops MIDI events in a cycle it skips) leaves the
    // updater waiting for good: it neither times out nor repeats. When progress stops for much
    // longer than its pace so far, stop as Exit does; the figures end at the last progress seen.
    bool stalled = false;
    QTimer watchdog;
    watchdog.setInterval(1000);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        const std::int64_t now = bench::nowNs();
        const std::int64_t lastNs = points.empty() ? startNs : points.back().wallNs;
        double limitNs = 10e9;
        if (!points.empty() && points.back().messages > 1) {
            const double perMessage = double(lastNs - startNs) / double(points.back().messages);
            const double perPercent = double(scan.messages) / 100.0 + 1.0;
            limitNs = std::max(limitNs, 5.0 * perMessage * perPercent);
        }
        if (!stalled && now - lastNs > limitNs) {
            stalled = true;
            oHandleSys->SetExit();
        }
    });
    watchdog.start();

    // Closes the "End" box the way a user would, with its OK button.
    QString boxText;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxText = box->text();
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->done(0);
    });
    closer.start();

    const long xruns0 = bench::xrunLines(jackLog);
    const std::int64_t cpu0 = bench::processCpuNs();
    startNs = bench::nowNs();
    oHandleSys->ReadData(file);
    const std::int64_t endNs = bench::nowNs();
    const long xruns = xruns0 < 0 ? -1 : bench::xrunLines(jackLog) - xruns0;
    closer.stop();
    watchdog.stop();

    const long hwmKb = bench::statusKb("VmHWM");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);

    if (points.empty()) {
        std::fprintf(stderr, "corvane-bench-transfer: no message was acknowledged\n");
        return 1;
    }
    const Point &last = points.back();
    const bool complete = last.messages == scan.messages;
    if (stalled)
        std::fprintf(stderr,
                     "corvane-bench-transfer: %s: no progress after %ld of %ld messages; "
                     "stopped as Exit does\n",
                     path.c_str(), last.messages, scan.messages);
    if (complete && boxText != QLatin1String("End")) {
        std::fprintf(stderr, "corvane-bench-transfer: expected the \"End\" box, saw \"%s\"\n",
                     qPrintable(boxText));
        return 1;
    }

    bench::put("file_bytes", scan.size);
    bench::put("message_bytes", scan.dataMessageSize);
    bench::put("messages_total", scan.messages);
    bench::put("messages", last.messages);
    bench::put("stopped_by_budget", stoppedByBudget ? 1 : 0);
    bench::put("stalled", stalled ? 1 : 0);
    // From the call of ReadData (the file's load included) to the last acknowledgement counted.
    bench::put("wall_ns", last.wallNs - startNs);
    bench::put("cpu_ns", last.cpuNs - cpu0);
    bench::put("readdata_ns", endNs - startNs);
    bench::put("xruns", xruns);
    bench::put("hwm_kb", hwmKb);
    bench::put("maxrss_kb", usage.ru_maxrss);
    // Under JACK, the server's shared memory is mapped (and locked) into every client and counts
    // in its resident set: here so that the table can show the process's own part apart.
    bench::put("rss_shmem_kb", bench::statusKb("RssShmem"));
    bench::put("rss_anon_kb", bench::statusKb("RssAnon"));
    // Time per message over the first and the last quarter of the messages counted: flat within
    // a file when these agree.
    const double early = msPerMessage(points, 2, last.messages / 4);
    const double late = msPerMessage(points, last.messages * 3 / 4, last.messages);
    bench::put("early_us", early < 0 ? -1 : (long long)(early * 1000));
    bench::put("late_us", late < 0 ? -1 : (long long)(late * 1000));
    std::fflush(stdout);

    // The updater never deletes its MIDI objects, so a JACK server sees its clients vanish at exit
    // and misses cycles meanwhile; closed here, that does not spill into the next case's figures.
    gMIDI.CloseMIDIPort();
    delete midiin;
    midiin = nullptr;
    delete midiout;
    midiout = nullptr;
    return 0;
}
