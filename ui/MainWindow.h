// The updater's frameless main window: logo, updater version, selected port, progress and Exit.
#pragma once

#include <QMainWindow>

class Ui_MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void setLabelMIDIportName(QString name);
    void SetProgressBarValue(int value);
    void SetUpdaterersion(char *text);
    // The status line while the transfer waits for the device: how long it has been silent, or
    // which send the MIDI library refused; messages count from 1.
    void ShowNoAnswer(int seconds, qint64 message, qint64 messages);
    void ShowSendFailed(QString port, QString reason, qint64 message, qint64 messages);
    void ClearStatusNote();

    Ui_MainWindow *Form;
    // Set by Exit, so the run can end even when Exit was pressed before the event loop started.
    bool ExitPressed = false;

private slots:
    void on_pushButton_clicked();
};
