// Steps shared by the suites that drive the whole updater against the simulated device.
#pragma once

#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "ui/midiselection.h"
#include "ui_midiselection.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QtTest>

// The simulated device's output, as the updater lists it under JACK; ALSA adds its client and
// port numbers.
inline const QString kDevicePort = QStringLiteral("Corvane Device Tx:Corvane Device Out");

// One whole run of the updater, as main makes it, for suites that make several in one process.
// Qt 6 posts a Quit event when Exit closes the last window inside the event loop, and it outlives
// that loop: left there, it would end the next run's port dialog at once. The updater itself makes
// one run per process.
inline int runUpdater()
{
    const int status = RunUpdater();
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    return status;
}

inline MainWindow *mainWindow()
{
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *w = qobject_cast<MainWindow *>(top))
            return w;
    return nullptr;
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
