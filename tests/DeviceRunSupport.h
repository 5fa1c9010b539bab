// Steps shared by the suites that drive the whole updater against the simulated device.
#pragma once

#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "ui/midiselection.h"
#include "ui_MainWindow.h"
#include "ui_midiselection.h"

#include "DeviceProcess.h"
#include "ModalDriver.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QtTest>

// The simulated device's output, as the updater lists it under JACK; ALSA adds its client and
// port numbers.
inline const QString kDevicePort = QStringLiteral("Corvane Device Tx:Corvane Device Out");

inline MainWindow *mainWindow()
{
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *w = qobject_cast<MainWindow *>(top))
            return w;
    return nullptr;
}


// Where a failed run leaves what it showed: next to CTest's log (CORVANE_TEST_ARTIFACTS), named
// after the program, the case and its row.
inline QString artifactPath(const QString &suffix)
{
    QString name = QCoreApplication::applicationName() + '-' +
                   QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        name += '-' + QString::fromUtf8(QTest::currentDataTag());
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]+")), QStringLiteral("_"));
    const QString dir = qEnvironmentVariable("CORVANE_TEST_ARTIFACTS", QDir::currentPath());
    QDir().mkpath(dir);
    return QDir(dir).filePath(name + suffix);
}

// Keeps a run through the real windows from outliving its purpose. When a check has failed (in a
// dialog's handler, say) or nothing has moved for `stallSeconds` (the progress, the windows, the
// device's record), it saves a screenshot and the device's record next to the log, then closes
// every window and presses Exit until the run returns.
class RunGuard
{
public:
    RunGuard(const QString &recordPath, int stallSeconds) : record(recordPath), limit(stallSeconds)
    {
        still.start();
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { tick(); });
        timer.start(20);
    }

    bool stalled = false;

private:
    void tick()
    {
        if (!ending) {
            const QString now = state();
            if (now != last) {
                last = now;
                still.restart();
            }
            stalled = still.elapsed() >= limit * 1000;
            if (!stalled && !QTest::currentTestFailed())
                return;
            ending = true;
            keepEvidence();
        }
        if (QWidget *modal = QApplication::activeModalWidget())
            ModalDriver::reject(modal);
        else if (MainWindow *main = mainWindow())
            main->Form->pushButton->click();
    }

    // Whatever a working run changes: the windows open, the progress, what the device received.
    QString state() const
    {
        const QWidget *modal = QApplication::activeModalWidget();
        const MainWindow *main = mainWindow();
        return QStringLiteral("%1 %2 %3")
            .arg(quintptr(modal))
            .arg(main && main->Form->progressBar->isVisible() ? main->Form->progressBar->value()
                                                              : -1)
            .arg(record.isEmpty() ? 0 : QFileInfo(record).size());
    }

    void keepEvidence() const
    {
        // Every window drawn where it stands; the offscreen platform has no screen to grab.
        QRect area;
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (const QWidget *w : windows)
            if (w->isVisible())
                area |= w->geometry();
        QImage screen(area.size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
        screen.fill(Qt::darkGray);
        QPainter painter(&screen);
        for (QWidget *w : windows)
            if (w->isVisible() && !w->isModal())
                painter.drawPixmap(w->geometry().topLeft() - area.topLeft(), w->grab());
        for (QWidget *w : windows) // the boxes over the windows they belong to
            if (w->isVisible() && w->isModal())
                painter.drawPixmap(w->geometry().topLeft() - area.topLeft(), w->grab());
        painter.end();
        const QString shot = artifactPath(QStringLiteral(".png"));
        if (screen.save(shot))
            qWarning("what was on screen: %s", qPrintable(shot));
        else
            qWarning("could not save a screenshot in %s", qPrintable(shot));
        if (!record.isEmpty() && QFile::exists(record)) {
            const QString copy = artifactPath(QStringLiteral("-record.bin"));
            QFile::remove(copy);
            QFile::copy(record, copy);
            qWarning("what the device received: %s", qPrintable(copy));
        }
    }

    QString record;
    int limit;
    QTimer timer;
    QElapsedTimer still;
    QString last;
    bool ending = false;
};

// One whole run of the updater, as main makes it, for suites that make several in one process.
// A run that stops moving for `stallSeconds`, or in which a check failed, is ended (see RunGuard)
// and fails the case: no run waits for a time limit of the test runner.
// Qt 6 posts a Quit event when Exit closes the last window inside the event loop, and it outlives
// that loop: left there, it would end the next run's port dialog at once. The updater itself makes
// one run per process.
inline int runUpdater(const QString &recordPath = QString(), int stallSeconds = 60)
{
    RunGuard guard(recordPath, stallSeconds);
    const int status = RunUpdater();
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    if (guard.stalled)
        QTest::qFail(qPrintable(QStringLiteral("the run made no progress for %1 s and was ended")
                                    .arg(stallSeconds)),
                     __FILE__, __LINE__);
    return status;
}

// Clicks the one port whose name starts with `name`, then "Ok".
inline void pickPort(QWidget *w, const QString &name)
{
    auto *dialog = qobject_cast<midiselection *>(w);
    QVERIFY(dialog);
    QListWidget *list = dialog->Form->listWidget;
    const QList<QListWidgetItem *> items = list->findItems(name, Qt::MatchStartsWith);
    QVERIFY2(items.size() == 1, qPrintable(gMIDI.MIDIportList.join(", ")));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(items.first()).center());
    QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton);
}

inline void pickDevicePort(QWidget *w)
{
    pickPort(w, kDevicePort);
}

inline void chooseFile(QWidget *w, const QString &path)
{
    auto *files = qobject_cast<QFileDialog *>(w);
    QVERIFY(files);
    // Typed into the dialog's file name field, as a person would.
    auto *edit = files->findChild<QLineEdit *>("fileNameEdit");
    QVERIFY(edit);
    edit->clear();
    QTest::keyClicks(edit, path);
    QTest::keyClick(edit, Qt::Key_Return);
}
