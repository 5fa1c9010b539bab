#include "ui/midiselection.h"
#include "ui_midiselection.h"

#include "midi/MIDI.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

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

midiselection::midiselection(QWidget *parent) : QDialog(parent), Form(new Ui_midiselection)
{
    Form->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    ItemSelected = -1;
    DialogResult = 0;
    Form->pushButtonOk->setEnabled(false);
    // The keyboard starts on the list; Tab goes on to "Ok" and "Cancel".
    Form->listWidget->setFocus();
    Form->listWidget->setItemDelegate(new EntryDelegate(Form->listWidget));
    gMIDI.GetMIDIPortListName();
    for (const QString &name : gMIDI.MIDIportList) {
        Form->listWidget->insertItem(Form->listWidget->count(), name);
        // The list is narrower than long names: the form elides them in the middle, as two ports
        // of one interface differ at the end, and the whole name shows on hover.
        Form->listWidget->item(Form->listWidget->count() - 1)->setToolTip(plainToolTip(name));
    }
    if (Form->listWidget->count() == 0) {
        // Drawn over the empty list, not an entry of it: there is still nothing to choose.
        auto *hint = new QLabel(QCoreApplication::translate("midiselection",
                                                            "No MIDI input found. Connect and "
                                                            "switch on the instrument, then start "
                                                            "the updater again."),
                                Form->listWidget->viewport());
        hint->setObjectName(QStringLiteral("labelNoPort"));
        hint->setTextFormat(Qt::PlainText);
        hint->setWordWrap(true);
        hint->setAlignment(Qt::AlignCenter);
        hint->setStyleSheet(QStringLiteral("color: rgb(128, 128, 128);"));
        (new QVBoxLayout(Form->listWidget->viewport()))->addWidget(hint);
    }
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
    if (!Form->listWidget->selectedItems().isEmpty())
        chooseCurrentEntry();
}

void midiselection::chooseCurrentEntry()
{
    QListWidgetItem *current = Form->listWidget->currentItem();
    gMIDI.MIDIportName = current ? current->text() : QString();
    ItemSelected = 1;
    Form->pushButtonOk->setEnabled(true);
}

void midiselection::on_pushButtonOk_clicked()
{
    if (ItemSelected < 0)
        return;
    QListWidgetItem *current = Form->listWidget->currentItem();
    gMIDI.MIDIportName = current ? current->text() : QString();
    int index = gMIDI.searchMIDIport(gMIDI.MIDIportName);
    gMIDI.OpenMIDIPort(index);
    if (!gMIDI.OpenError.isEmpty()) {
        // Unless another updater holds the port (below), the run goes on (the device may still be
        // reached), but the user must know why it may not. It names ports as other MIDI clients
        // called them: shown as written, never as markup.
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Corvane Uploader"), gMIDI.OpenError,
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    // Another updater is sending to that instrument and nothing was opened: the user may choose
    // another port, or cancel.
    if (!gMIDI.PortBusy.isEmpty())
        return;
    DialogResult = 1;
    close();
}

void midiselection::on_pushButtonCancel_clicked()
{
    DialogResult = 0;
    close();
}
