#include "ui/midiselection.h"
#include "ui_midiselection.h"

#include "midi/MIDI.h"

#include <QMessageBox>

midiselection::midiselection(QWidget *parent) : QDialog(parent), Form(new Ui_midiselection)
{
    Form->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    ItemSelected = -1;
    DialogResult = 0;
    Form->pushButtonOk->setEnabled(false);
    gMIDI.GetMIDIPortListName();
    for (const QString &name : gMIDI.MIDIportList)
        Form->listWidget->insertItem(Form->listWidget->count(), name);
}

midiselection::~midiselection()
{
    delete Form;
}

void midiselection::on_listWidget_itemClicked(QListWidgetItem *)
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
        // The run goes on (the device may still be reached), but the user must know why it may not.
        QMessageBox::warning(this, QStringLiteral("Corvane Uploader"), gMIDI.OpenError);
    }
    DialogResult = 1;
    close();
}

void midiselection::on_pushButtonCancel_clicked()
{
    DialogResult = 0;
    close();
}
