// The port dialog and the start-up flow driven through their real widgets, against real ports of a
// private JACK server.
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "midi/MidiBackend.h"
#include "midi/PortLock.h"
#include "ui/MainWindow.h"
#include "ui/midiselection.h"
#include "ui_MainWindow.h"
#include "ui_midiselection.h"

#include <RtMidi.h>

#include "DeviceRunSupport.h"
#include "ModalDriver.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTextDocument>
#include <QtTest>

#include <functional>
#include <memory>

namespace
{

void clickEntry(midiselection *dialog, const QString &name)
{
    QListWidget *list = dialog->Form->listWidget;
    const QList<QListWidgetItem *> items = list->findItems(name, Qt::MatchExactly);
    QVERIFY2(!items.isEmpty(), qPrintable(name));
    const QRect rect = list->visualItemRect(items.first());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dialogListsPortsAndEnablesOkOnClick_data();
    void dialogListsPortsAndEnablesOkOnClick();
    void cancelEndsTheRunWithoutFileDialog();
    void escapeEndsTheRunLikeCancel();
    void vanishedPortIsReportedAndTheRunGoesOn();
    void heldPortIsRefusedAndTheChoiceStays();
    void unlockablePortIsSentToOnlyWhenTheUserSaysSo();
    void okOpensCurrentEntryAndAsksForTheFile_data();
    void okOpensCurrentEntryAndAsksForTheFile();
    void listFollowsPortsThatComeAndGo_data();
    void listFollowsPortsThatComeAndGo();

private:
    MidiBackend::OutputPtr deviceOut;
    MidiBackend::OutputPtr otherOut;
    MidiBackend::OutputPtr longOut;
    std::unique_ptr<RtMidiIn> deviceIn;
};

void StartupTest::initTestCase()
{
    QVERIFY2(midiin && midiout, qPrintable(gMIDI.ServiceError));
    deviceOut.reset(new RtMidiOut(RtMidi::UNIX_JACK, "Synth"));
    deviceOut->openVirtualPort("to host");
    otherOut.reset(new RtMidiOut(RtMidi::UNIX_JACK, "Keys"));
    otherOut->openVirtualPort("to host");
    // As long as the names of a USB interface's ports, which differ only at the end.
    longOut.reset(new RtMidiOut(RtMidi::UNIX_JACK, "Virtual Raw MIDI 0-2"));
    longOut->openVirtualPort("VirMIDI 0-2 port 2");
    deviceIn = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, "Synth");
    deviceIn->ignoreTypes(false, false, false);
    deviceIn->openVirtualPort("from host");
}

void StartupTest::dialogListsPortsAndEnablesOkOnClick_data()
{
    QTest::addColumn<int>("key"); // 0: a click on the second entry
    QTest::addColumn<int>("row"); // the entry chosen
    QTest::newRow("click") << 0 << 1;
    // The list has the focus, and its first entry is current but not chosen.
    QTest::newRow("arrow key") << int(Qt::Key_Down) << 1;
    QTest::newRow("Space") << int(Qt::Key_Space) << 0;
}

void StartupTest::dialogListsPortsAndEnablesOkOnClick()
{
    QFETCH(int, key);
    QFETCH(int, row);
    midiselection dialog(nullptr);
    QCOMPARE(dialog.windowTitle(), QString("Dialog"));
    QCOMPARE(dialog.size(), QSize(240, 237));
    QCOMPARE(dialog.windowFlags(),
             Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    QVERIFY(dialog.isModal());
    QCOMPARE(dialog.windowModality(), Qt::WindowModal);
    QCOMPARE(dialog.Form->label->palette().color(QPalette::Disabled, QPalette::AlternateBase),
             QColor(85, 170, 0));
    QCOMPARE(dialog.Form->label->palette().color(QPalette::Active, QPalette::Window),
             QColor(0, 85, 255));
    // The title is whole in the font that stands in for Calibri here.
    QTextDocument title;
    title.setHtml(dialog.Form->label->text());
    QCOMPARE(title.toPlainText(), QString("MIDI port selection"));
    QVERIFY(dialog.Form->label->fontMetrics().horizontalAdvance(title.toPlainText()) <=
            dialog.Form->label->contentsRect().width());
    QStringList shown;
    for (int i = 0; i < dialog.Form->listWidget->count(); ++i) {
        const QListWidgetItem *item = dialog.Form->listWidget->item(i);
        shown << item->text();
        // The whole name on hover, where the list cuts it.
        QTextDocument tip;
        tip.setHtml(item->toolTip());
        QCOMPARE(tip.toPlainText(), item->text());
    }
    QCOMPARE(shown, gMIDI.MIDIportList);
    QVERIFY(shown.contains("Synth:to host"));
    QVERIFY(!dialog.Form->listWidget->findChild<QLabel *>("labelNoPort"));
    // A long name keeps its end, where it differs from its interface's other ports.
    QListWidget *list = dialog.Form->listWidget;
    QCOMPARE(list->textElideMode(), Qt::ElideMiddle);
    const auto longEntry =
        list->findItems("Virtual Raw MIDI 0-2:VirMIDI 0-2 port 2", Qt::MatchExactly);
    QCOMPARE(longEntry.size(), 1);
    QCOMPARE(dialog.ItemSelected, -1);
    QCOMPARE(dialog.DialogResult, 0);
    QVERIFY(!dialog.Form->pushButtonOk->isEnabled());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QVERIFY(list->fontMetrics().horizontalAdvance(longEntry.first()->text()) >
            list->viewport()->width());
    QVERIFY(list->viewport()->rect().contains(list->visualItemRect(longEntry.first())));
    QCOMPARE(QApplication::focusWidget(), list);
    QCOMPARE(list->currentRow(), 0);
    QVERIFY(!dialog.Form->pushButtonOk->isEnabled());
    QTest::mouseClick(dialog.Form->pushButtonOk, Qt::LeftButton); // disabled: nothing happens
    QCOMPARE(dialog.DialogResult, 0);
    if (key)
        QTest::keyClick(list, Qt::Key(key));
    else
        clickEntry(&dialog, list->item(row)->text());
    QVERIFY(dialog.Form->pushButtonOk->isEnabled());
    QCOMPARE(dialog.ItemSelected, 1);
    QCOMPARE(gMIDI.MIDIportName, list->item(row)->text());
}

void StartupTest::cancelEndsTheRunWithoutFileDialog()
{
    ModalDriver script;
    script.expect([](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        clickEntry(dialog, "Synth:to host");
        QTest::mouseClick(dialog->Form->pushButtonCancel, Qt::LeftButton);
    });
    QCOMPARE(runUpdater(), 0);
    QCOMPARE(script.classNames(), QStringList{"midiselection"});
    QCOMPARE(gMIDI.MIDIportName, QString("Synth:to host")); // chosen, but nothing opened
    QVERIFY(!midiin->isPortOpen());
    QVERIFY(!midiout->isPortOpen());
}

void StartupTest::escapeEndsTheRunLikeCancel()
{
    ModalDriver script;
    script.expect([](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        clickEntry(dialog, "Synth:to host");
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QCOMPARE(runUpdater(), 0);
    QCOMPARE(script.classNames(), QStringList{"midiselection"});
    QVERIFY(!midiin->isPortOpen());
}

void StartupTest::vanishedPortIsReportedAndTheRunGoesOn()
{
    MidiBackend::OutputPtr temporary(new RtMidiOut(RtMidi::UNIX_JACK, "Temp"));
    temporary->openVirtualPort("to\thost"); // the box shows the tab as its code, the list as it is
    bool choosingAgain = false;
    ModalDriver script;
    script.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        clickEntry(dialog, "Temp:to\thost");
        temporary->closePort(); // unplugged while the dialog is open
        QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton); // the box, then the choice
        choosingAgain = dialog->isVisible() && !dialog->Form->pushButtonOk->isEnabled() &&
                        !midiout->isPortOpen();
        temporary->openVirtualPort("to\thost"); // the list follows the ports again
        QTRY_VERIFY_WITH_TIMEOUT(gMIDI.searchMIDIport("Temp:to\thost") >= 0, 10000);
        clickEntry(dialog, "Temp:to\thost");
        QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton);
    });
    script.expectClick(QMessageBox::Ok);
    script.expect(&ModalDriver::reject);
    QCOMPARE(runUpdater(), 0);
    QVERIFY(choosingAgain);
    QCOMPARE(script.classNames(), (QStringList{"midiselection", "QMessageBox", "QFileDialog"}));
    const QString warning = script.seen().at(1).text;
    QVERIFY2(warning.contains("\"Temp:to\\x09host\"") && warning.contains("no longer available"),
             qPrintable(warning));
    QVERIFY(midiin->isPortOpen());
}

// Another updater sends to the instrument: nothing is opened, and the user may choose again.
void StartupTest::heldPortIsRefusedAndTheChoiceStays()
{
    gMIDI.CloseMIDIPort(); // the port an earlier case opened is let go
    const QString instrument = gMIDI.OutputName(gMIDI.PairedOutput("Synth:to host"));
    PortLock other(QStringLiteral("Jack"), instrument);
    QCOMPARE(other.state(), PortLock::Held);
    bool stillOpen = false;
    ModalDriver script;
    script.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        clickEntry(dialog, "Synth:to host");
        QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton);
        stillOpen = dialog->isVisible();
        QTest::mouseClick(dialog->Form->pushButtonCancel, Qt::LeftButton);
    });
    script.expectClick(QMessageBox::Ok);
    QCOMPARE(runUpdater(), 0);
    QCOMPARE(script.classNames(), (QStringList{"midiselection", "QMessageBox"}));
    QVERIFY(stillOpen);
    const QString warning = script.seen().at(1).text;
    QVERIFY2(warning.contains(
                 QStringLiteral("\"%1\" is being updated by tst_startup (process").arg(instrument)),
             qPrintable(warning));
    QVERIFY(!midiin->isPortOpen());
    QVERIFY(!midiout->isPortOpen());
}

// A port whose lock cannot be taken: a box says why; "Choose again" opens nothing, "Send without
// the lock" goes on to the file.
void StartupTest::unlockablePortIsSentToOnlyWhenTheUserSaysSo()
{
    gMIDI.CloseMIDIPort();
    const QString lock = PortLock::Path(QStringLiteral("Jack"),
                                        gMIDI.OutputName(gMIDI.PairedOutput("Synth:to host")));
    QFile::remove(lock);
    QVERIFY(QDir().mkdir(lock));
    bool openedNothing = false;
    const auto answer = [](const char *button) {
        return [button](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            for (QAbstractButton *b : box ? box->buttons() : QList<QAbstractButton *>())
                if (b->text() == button)
                    return b->click();
            ModalDriver::reject(w);
        };
    };
    ModalDriver script;
    script.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        clickEntry(dialog, "Synth:to host");
        QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton); // "Choose again"
        openedNothing = dialog->isVisible() && !midiout->isPortOpen();
        clickEntry(dialog, "Synth:to host");
        QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton); // "Send without the lock"
    });
    script.expect(answer("Choose again"));
    script.expect(answer("Send without the lock"));
    script.expect(&ModalDriver::reject);
    const int status = runUpdater();
    QDir().rmdir(lock);
    QCOMPARE(status, 0);
    QVERIFY(openedNothing);
    QCOMPARE(script.classNames(),
             (QStringList{"midiselection", "QMessageBox", "QMessageBox", "QFileDialog"}));
    QVERIFY2(script.seen().at(1).text.contains(lock), qPrintable(script.seen().at(1).text));
    QVERIFY(midiout->isPortOpen());
}

void StartupTest::okOpensCurrentEntryAndAsksForTheFile_data()
{
    QTest::addColumn<QList<int>>("keys"); // none: the mouse
    QTest::addColumn<bool>("late");       // Synth's port opens after the dialog (last: it moves)
    QTest::newRow("mouse") << QList<int>{} << false;
    // Synth's port is the first entry, current once the list has the focus.
    QTest::newRow("Space, Enter on the list") << QList<int>{Qt::Key_Space, Qt::Key_Return} << false;
    QTest::newRow("arrows, Enter on Ok")
        << QList<int>{Qt::Key_Down, Qt::Key_Up, Qt::Key_Tab, Qt::Key_Enter} << false;
    QTest::newRow("mouse, instrument plugged in after the start") << QList<int>{} << true;
}

void StartupTest::okOpensCurrentEntryAndAsksForTheFile()
{
    QFETCH(QList<int>, keys);
    QFETCH(bool, late);
    if (late)
        deviceOut->closePort();
    QString portLabel;
    QString caption;
    QStringList filters;
    int dialogResult = -1;
    ModalDriver script;
    script.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        // The dialog's icon is the application's, as every window's is.
        QCOMPARE(dialog->windowIcon().pixmap(32, 32).toImage(),
                 QIcon(":icon/UploaderIcon.ico").pixmap(32, 32).toImage());
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        if (late) {
            QListWidget *list = dialog->Form->listWidget;
            auto listed = [&] { return list->findItems("Synth:to host", Qt::MatchExactly).size(); };
            QVERIFY(!listed());
            deviceOut->openVirtualPort("to host");
            QTRY_VERIFY_WITH_TIMEOUT(listed(), 10000); // a failure here ends the run at once
        }
        for (int key : keys)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        if (keys.isEmpty()) {
            clickEntry(dialog, "Keys:to host");
            // Ok takes the entry that is current when it is pressed.
            QListWidget *list = dialog->Form->listWidget;
            list->setCurrentRow(gMIDI.searchMIDIport("Synth:to host"));
            QTest::mouseClick(dialog->Form->pushButtonOk, Qt::LeftButton);
        }
        dialogResult = dialog->DialogResult;
    });
    script.expect([&](QWidget *w) {
        auto *files = qobject_cast<QFileDialog *>(w);
        QVERIFY(files);
        caption = files->windowTitle();
        filters = files->nameFilters();
        for (QWidget *top : QApplication::topLevelWidgets())
            if (auto *main = qobject_cast<MainWindow *>(top))
                portLabel = main->Form->labelMIDIportName->text();
        files->reject();
    });
    QCOMPARE(runUpdater(), 0);
    QCOMPARE(script.classNames(), (QStringList{"midiselection", "QFileDialog"}));
    QCOMPARE(dialogResult, 1);
    QCOMPARE(caption, QString("Select file"));
    QCOMPARE(filters, QStringList{"Corvane updater files (*.cvn)"});
    QCOMPARE(portLabel, QString("Selected MIDI port: Synth:to host"));
    QCOMPARE(gMIDI.MIDIportName, QString("Synth:to host"));
    QVERIFY2(gMIDI.OpenError.isEmpty(), qPrintable(gMIDI.OpenError));
    QVERIFY(midiin->isPortOpen());
    QVERIFY(midiout->isPortOpen());

    // The best-matching output is the device's own input: a message sent reaches it.
    std::vector<unsigned char> ack{0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
    gMIDI.SendSys(ack.data(), qint64(ack.size()));
    std::vector<unsigned char> got;
    auto poll = [&] {
        if (got.empty())
            deviceIn->getMessage(&got);
        return !got.empty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(poll(), 3000);
    QCOMPARE(got, ack);
}

void StartupTest::listFollowsPortsThatComeAndGo_data()
{
    QTest::addColumn<bool>("empty");     // no port at all until Plugged's opens
    QTest::addColumn<QString>("chosen"); // clicked once listed; empty: none
    QTest::newRow("another port comes and goes") << false << "Synth:to host";
    QTest::newRow("the chosen port goes") << false << "Plugged:to host";
    QTest::newRow("an empty list gets a port and loses it") << true << "";
}

void StartupTest::listFollowsPortsThatComeAndGo()
{
    QFETCH(bool, empty);
    QFETCH(QString, chosen);
    const QString plugged("Plugged:to host");
    std::vector<std::pair<RtMidiOut *, const char *>> others; // closed while the dialog is open
    if (empty)
        others = {{deviceOut.get(), "to host"},
                  {otherOut.get(), "to host"},
                  {longOut.get(), "VirMIDI 0-2 port 2"}};
    for (const auto &port : others)
        port.first->closePort();
    auto replug = qScopeGuard([&] {
        for (const auto &port : others)
            port.first->openVirtualPort(port.second);
    });
    MidiBackend::OutputPtr pluggedOut(new RtMidiOut(RtMidi::UNIX_JACK, "Plugged"));
    gMIDI.MIDIportName.clear();
    midiselection dialog(nullptr);
    QListWidget *list = dialog.Form->listWidget;
    auto hint = [&] {
        auto *l = list->findChild<QLabel *>("labelNoPort");
        return l && l->isVisible() ? l->text() : "";
    };
    // The selection, the choice, "Ok" and the focus: as a name chosen, or "" for none.
    auto choiceIs = [&](const QString &name) {
        const auto selected = list->selectedItems();
        QCOMPARE(selected.isEmpty() ? QString() : selected.first()->text(), name);
        QCOMPARE(dialog.ItemSelected, name.isEmpty() ? -1 : 1);
        QCOMPARE(dialog.Form->pushButtonOk->isEnabled(), !name.isEmpty());
        QCOMPARE(QApplication::focusWidget(), list);
        QCOMPARE(gMIDI.MIDIportName, name);
    };
    const QString emptyHint("No MIDI input found. Connect and switch on the instrument: it appears "
                            "here when it is ready.");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(hint(), empty ? emptyHint : QString());
    const QString kept = chosen == plugged ? QString() : chosen;
    if (!kept.isEmpty())
        clickEntry(&dialog, kept);
    pluggedOut->openVirtualPort("to host");
    QTRY_VERIFY_WITH_TIMEOUT(list->findItems(plugged, Qt::MatchExactly).size() == 1, 10000);
    QCOMPARE(hint(), QString());
    choiceIs(kept);
    gMIDI.GetMIDIPortListName();
    QCOMPARE(list->item(gMIDI.searchMIDIport(plugged))->text(), plugged); // in the service's order
    if (chosen == plugged)
        clickEntry(&dialog, plugged);
    pluggedOut->closePort();
    QTRY_VERIFY_WITH_TIMEOUT(list->findItems(plugged, Qt::MatchExactly).isEmpty(), 10000);
    choiceIs(kept);
    QCOMPARE(hint(), empty ? emptyHint : QString());
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
