// The modal dialog in which the user picks the device's MIDI input port.
#pragma once

#include <QDialog>

class QListWidgetItem;
class Ui_midiselection;

class midiselection : public QDialog
{
    Q_OBJECT

public:
    explicit midiselection(QWidget *parent = nullptr);
    ~midiselection() override;
    // A port name as a tool tip that shows it as written, never as markup.
    static QString plainToolTip(const QString &text);

    Ui_midiselection *Form;
    int ItemSelected;
    int DialogResult;

private slots:
    void on_pushButtonOk_clicked();
    void on_listWidget_itemClicked(QListWidgetItem *item);
    void on_listWidget_itemSelectionChanged();
    void on_pushButtonCancel_clicked();

private:
    void chooseCurrentEntry();
};
