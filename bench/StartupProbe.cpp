// Start-up probe: the updater's own main (QApplication, then RunUpdater) with an event filter that
// notes when the port dialog is first shown and painted; after an idle wait it reports the clocks
// and the peak memory, and cancels the dialog, which ends the run as Cancel does.
//
// Usage (through corvane-bench-startup): corvane-bench-startup-probe [--idle-ms N]
#include "BenchSupport.h"

#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "ui/midiselection.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QTimer>

namespace {

class Watcher : public QObject
{
public:
    explicit Watcher(int idleMs) : idleMs(idleMs) {}

    std::int64_t shownNs = 0;
    std::int64_t paintedNs = 0;
    long idleHwmKb = -1;
    long idleRssKb = -1;
    long idleShmemKb = -1;
    bool serviceError = false;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::Show && type != QEvent::Paint)
            return false;
        if (auto *box = qobject_cast<QMessageBox *>(object)) {
            // Only shown when no MIDI service could be opened: note it and go on to the dialog.
            if (type == QEvent::Show) {
                serviceError = true;
                QTimer::singleShot(0, box, [box] { box->done(0); });
            }
            return false;
        }
        auto *dialog = qobject_cast<midiselection *>(object);
        if (!dialog)
            return false;
        if (type == QEvent::Show && !shownNs)
            shownNs = bench::nowNs();
        if (type == QEvent::Paint && !paintedNs) {
            paintedNs = bench::nowNs();
            QTimer::singleShot(idleMs, dialog, [this, dialog] {
                idleHwmKb = bench::statusKb("VmHWM");
                idleRssKb = bench::statusKb("VmRSS");
                idleShmemKb = bench::statusKb("RssShmem");
                dialog->reject();
            });
        }
        return false;
    }

private:
    int idleMs;
};

} // namespace

int main(int argc, char **argv)
{
    const std::int64_t mainNs = bench::nowNs();
    int idleMs = 1000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--idle-ms") == 0)
            idleMs = std::atoi(argv[i + 1]);

    // From here on exactly what the updater's main does, with the watcher installed.
    QApplication a(argc, argv);
    const std::int64_t appNs = bench::nowNs();
    Watcher watcher(idleMs);
    a.installEventFilter(&watcher);
    RunUpdater();

    bench::put("main_ns", mainNs);
    bench::put("app_ns", appNs);
    bench::put("shown_ns", watcher.shownNs);
    bench::put("painted_ns", watcher.paintedNs);
    bench::put("idle_hwm_kb", watcher.idleHwmKb);
    bench::put("idle_rss_kb", watcher.idleRssKb);
    bench::put("idle_shmem_kb", watcher.idleShmemKb);
    bench::put("ports", gMIDI.MIDIportList.size());
    bench::put("service_error", watcher.serviceError ? 1 : 0);
    std::fflush(stdout);
    return 0;
}
