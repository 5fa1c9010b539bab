#include "ui/midiselection.h"
#include "ui_midiselection.h"

#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "update/UpdateTexts.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace
{
// Entries no wider than the list: the list stretches each to its own width, so the style elides a
// long name (in the middle, as the form asks) instead of the list scrolling sideways.
class EntryDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return QSize(0, QStyledItemDelegate::sizeHint(option, index).height());
    }
};
} // namespace

midiselection::midiselection(QWidget *parent)
    : QDialog(parent), Form(new Ui_midiselection), refreshTimer(new QTimer(this))
{
    Form->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    ItemSelected = -1;
    DialogResult = 0;
    enableOk(false);
    // For a screen reader, without a change on the screen: the dialog and the list are named
    // after the label above the list, which labels the list.
    const QString title = QCoreApplication::translate("midiselection", "MIDI port selection");
    setAccessibleName(title);
    Form->listWidget->setAccessibleName(title);
    Form->label->setBuddy(Form->listWidget);
    // With one port, an arrow key that cannot move chooses it all the same.
    Form->listWidget->installEventFilter(this);
    // The keyboard starts on the list; Tab goes on to "Ok" and "Cancel".
    Form->listWidget->setFocus();
    Form->listWidget->setItemDelegate(new EntryDelegate(Form->listWidget));
    // Many instruments offer their port only once plugged in with a button held, often after the
    // updater was started. RtMidi tells of no port coming or going under both ALSA and JACK, so
    // the list asks the service again every second while it is shown.
    refreshTimer->setInterval(1000);
    connect(refreshTimer, &QTimer::timeout, this, &midiselection::refreshList);
    refreshList();
}

void midiselection::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Time may have passed since the list was made (a box about the MIDI service came first).
    followPortsAgain();
}

void midiselection::followPortsAgain()
{
    refreshList();
    if (gMIDI.ServiceError.isEmpty())
        refreshTimer->start();
}

void midiselection::enableOk(bool on)
{
    Form->pushButtonOk->setEnabled(on);
    // Why it cannot be pressed, where a screen reader asks.
    Form->pushButtonOk->setAccessibleDescription(
        on ? QString()
           : QCoreApplication::translate("midiselection",
                                         "Choose the instrument's MIDI port in the list first."));
}

bool midiselection::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Form->listWidget && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            // After the list has moved, if it could: the entry it rests on is the choice.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    QListWidgetItem *current = Form->listWidget->currentItem();
                    if (current && Form->listWidget->selectedItems().isEmpty())
                        current->setSelected(true);
                },
                Qt::QueuedConnection);
            break;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void midiselection::hideEvent(QHideEvent *event)
{
    // A closed dialog holds no entry that a screen reader would still report as focused.
    Form->listWidget->selectionModel()->setCurrentIndex(QModelIndex(),
                                                        QItemSelectionModel::NoUpdate);
    // Nor the dialog itself: its window goes, once the hiding is done (it comes again if shown).
    QTimer::singleShot(0, this, [this] {
        if (!isVisible())
            destroy();
    });
    refreshTimer->stop();
    QDialog::hideEvent(event);
}

void midiselection::refreshList()
{
    gMIDI.GetMIDIPortListName();
    QStringList ports = gMIDI.MIDIportList;
    // A port that went while the service was listing it comes without a name: nothing to choose.
    ports.removeAll(QString());
    QStringList shown;
    for (int i = 0; i < Form->listWidget->count(); ++i)
        shown << Form->listWidget->item(i)->text();
    // Nothing touched when nothing changed: the selection, the scroll position and the focus stay.
    if (shown != ports) {
        refreshing = true;
        followPorts(ports);
        refreshing = false;
        keepChoice();
    }
    updateHint();
}

// Makes the list's entries `ports`, in the service's order, with the fewest insertions and
// removals (a longest common subsequence of the two): an entry that stays is the same item, so
// the selection and the entry under the mouse stay with it.
void midiselection::followPorts(const QStringList &ports)
{
    QListWidget *list = Form->listWidget;
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->item(i)->text();
    const int n = shown.size();
    const int m = ports.size();
    // common[i * (m + 1) + j]: how many entries shown[i..] and ports[j..] have in common, in order.
    std::vector<int> common(size_t(n + 1) * size_t(m + 1), 0);
    auto at = [&](int i, int j) -> int & { return common[size_t(i) * size_t(m + 1) + size_t(j)]; };
    for (int i = n - 1; i >= 0; --i)
        for (int j = m - 1; j >= 0; --j)
            at(i, j) = shown.at(i) == ports.at(j) ? at(i + 1, j + 1) + 1
                                                  : std::max(at(i + 1, j), at(i, j + 1));
    int row = 0;
    for (int i = 0, j = 0; i < n || j < m;) {
        if (i < n && j < m && shown.at(i) == ports.at(j)) {
            ++i;
            ++j;
            ++row;
        } else if (j < m && (i == n || at(i, j + 1) >= at(i + 1, j))) {
            auto *item = new QListWidgetItem(ports.at(j++));
            // The list is narrower than long names: the form elides them in the middle, as two
            // ports of one interface differ at the end, and the whole name shows on hover.
            item->setToolTip(plainToolTip(item->text()));
            item->setData(Qt::AccessibleDescriptionRole, item->text());
            list->insertItem(row++, item);
        } else {
            delete list->takeItem(row);
            ++i;
        }
    }
}

// The user's choice stays while its port is listed; when the port has gone, nothing is chosen
// and "Ok" waits for another choice. A removed entry that was current hands its selection to a
// neighbour, which the user did not choose.
void midiselection::keepChoice()
{
    QListWidget *list = Form->listWidget;
    const QString chosen = ItemSelected < 0 ? QString() : gMIDI.MIDIportName;
    const QList<QListWidgetItem *> matches =
        chosen.isEmpty() ? QList<QListWidgetItem *>() : list->findItems(chosen, Qt::MatchExactly);
    if (matches.isEmpty()) {
        list->clearSelection();
        if (ItemSelected >= 0)
            gMIDI.MIDIportName.clear();
        ItemSelected = -1;
        enableOk(false);
        return;
    }
    const QList<QListWidgetItem *> selected = list->selectedItems();
    if (selected.size() == 1 && selected.first()->text() == chosen)
        return;
    // The chosen item itself went, but a port of the same name is listed: "Ok" opens the last
    // one so named (searchMIDIport), so that one is shown chosen.
    refreshing = true;
    list->setCurrentItem(matches.last());
    refreshing = false;
}

void midiselection::updateHint()
{
    QListWidget *list = Form->listWidget;
    if (list->count() > 0) {
        if (hint)
            hint->hide();
        return;
    }
    if (!hint) {
        // Without a MIDI service no port can come: the updater must be started again once there
        // is one.
        const QString text =
            gMIDI.ServiceError.isEmpty()
                ? QCoreApplication::translate("midiselection", "No MIDI input found. Connect and "
                                                               "switch on the instrument: it "
                                                               "appears here when it is ready.")
                : QCoreApplication::translate("midiselection", "No MIDI input found. Connect and "
                                                               "switch on the instrument, then "
                                                               "start the updater again.");
        // Drawn over the empty list, not an entry of it: there is still nothing to choose.
        hint = new QLabel(text, list->viewport());
        hint->setObjectName(QStringLiteral("labelNoPort"));
        hint->setTextFormat(Qt::PlainText);
        hint->setWordWrap(true);
        hint->setAlignment(Qt::AlignCenter);
        hint->setStyleSheet(QStringLiteral("color: rgb(128, 128, 128);"));
        (new QVBoxLayout(list->viewport()))->addWidget(hint);
    }
    hint->show();
}

// A tool tip is shown as rich text when it looks like markup; an escaped one shows a port name
// exactly as it is, on one line.
QString midiselection::plainToolTip(const QString &text)
{
    return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
}

midiselection::~midiselection()
{
    delete Form;
}

void midiselection::on_listWidget_itemClicked(QListWidgetItem *)
{
    chooseCurrentEntry();
}

// An arrow key or Space selects an entry: the keyboard's choice, as a click is the mouse's. The
// entry that the list makes current when it takes the focus is not selected, so "Ok" stays
// disabled until the user chooses. Enter on the list then presses "Ok", the dialog's default
// button.
void midiselection::on_listWidget_itemSelectionChanged()
{
    if (!refreshing && !Form->listWidget->selectedItems().isEmpty())
        chooseCurrentEntry();
}

void midiselection::chooseCurrentEntry()
{
    QListWidgetItem *current = Form->listWidget->currentItem();
    gMIDI.MIDIportName = current ? current->text() : QString();
    ItemSelected = 1;
    enableOk(true);
}

void midiselection::on_pushButtonOk_clicked()
{
    if (ItemSelected < 0)
        return;
    // The list stays as the user sees it while the port opens and a box may tell about it.
    refreshTimer->stop();
    QListWidgetItem *current = Form->listWidget->currentItem();
    gMIDI.MIDIportName = current ? current->text() : QString();
    int index = gMIDI.searchMIDIport(gMIDI.MIDIportName);
    gMIDI.AllowUnlocked = false;
    gMIDI.OpenMIDIPort(index);
    // The port cannot be locked: the user decides whether to send unseen by other updaters.
    if (!gMIDI.LockError.isEmpty() && gMIDI.OutputPortName.isEmpty()) {
        if (!goOn(gMIDI.OpenError + QLatin1Char(' ') +
                      QCoreApplication::translate("midiselection",
                                                  "Send without the lock only when no other "
                                                  "updater can be sending to this instrument."),
                  QCoreApplication::translate("midiselection", "Send without the lock"))) {
            followPortsAgain();
            return;
        }
        gMIDI.AllowUnlocked = true;
        gMIDI.OpenMIDIPort(gMIDI.searchMIDIport(gMIDI.MIDIportName));
    }
    if (!gMIDI.OpenError.isEmpty()) {
        // The user must know why the run goes on with a problem, or does not. It names ports as
        // other MIDI clients called them: plain text, never markup.
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Corvane Uploader"), gMIDI.OpenError,
                        QMessageBox::Ok, this);
        box.setAccessibleName(MainWindow::BoxName(gMIDI.OpenError));
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    // Another updater is sending to that instrument, or a port has gone: the update would have
    // no port to go to, or the device's answers none to come back by. The user may choose
    // another port, or cancel.
    if (!gMIDI.PortBusy.isEmpty() || gMIDI.OutputPortName.isEmpty() || !gMIDI.InputOpen) {
        gMIDI.CloseMIDIPort();
        followPortsAgain();
        return;
    }
    // Other programs send to the instrument: disconnected for the update, or another choice.
    gMIDI.DisconnectOtherSenders = false;
    const QStringList others = gMIDI.OthersSending();
    if (!others.isEmpty()) {
        if (!goOn(
                UpdateTexts::OthersSending(gMIDI.OutputPortName, others, UpdateTexts::Face::Window),
                QCoreApplication::translate("midiselection",
                                            "Disconnect them during the update"))) {
            gMIDI.CloseMIDIPort();
            followPortsAgain();
            return;
        }
        gMIDI.DisconnectOtherSenders = true;
    }
    DialogResult = 1;
    close();
}

bool midiselection::goOn(const QString &text, const QString &goButton)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Corvane Uploader"), text,
                    QMessageBox::NoButton, this);
    box.setAccessibleName(MainWindow::BoxName(text));
    box.setTextFormat(Qt::PlainText);
    QPushButton *go = box.addButton(goButton, QMessageBox::AcceptRole);
    QPushButton *back = box.addButton(QCoreApplication::translate("midiselection", "Choose again"),
                                      QMessageBox::RejectRole);
    box.setDefaultButton(back);
    box.exec();
    return box.clickedButton() == go;
}

void midiselection::on_pushButtonCancel_clicked()
{
    DialogResult = 0;
    close();
}
