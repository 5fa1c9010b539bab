// The modal dialog in which the user picks the device's MIDI input port.
#pragma once

#include <QDialog>

class QLabel;
class QListWidgetItem;
class QTimer;
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

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void on_pushButtonOk_clicked();
    void on_listWidget_itemClicked(QListWidgetItem *item);
    void on_listWidget_itemSelectionChanged();
    void on_pushButtonCancel_clicked();

private:
    // A box that says `text` and offers `goButton` or "Choose again"; true for the first.
    bool goOn(const QString &text, const QString &goButton);
    void chooseCurrentEntry();
    // "Ok" enabled or not, with the reason it is not for assistive technology.
    void enableOk(bool on);
    void refreshList();
    // The list as the ports are now, and from then on every second.
    void followPortsAgain();
    void followPorts(const QStringList &ports);
    void keepChoice();
    void updateHint();

    QTimer *refreshTimer;
    QLabel *hint = nullptr;
    // Set while the list is being changed to the ports listed: the entry that the list selects
    // in place of a removed one is not the user's choice.
    bool refreshing = false;
};
