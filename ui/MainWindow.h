// The updater's frameless main window: logo, updater version, selected port, progress and Exit.
#pragma once

#include <QMainWindow>

class Announcer;
class QLabel;
class Ui_MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void setLabelMIDIportName(QString name);
    void SetProgressBarValue(int value);
    // `whole`: the version text as the question showed it, for the tool tip and to tell whether
    // `text` was cut; null to take `text` as whole.
    void SetUpdaterersion(char *text, QString whole = QString());
    // The status line while the transfer waits for the device, a port that has gone, a send that
    // failed (UpdateTexts); `detail` goes to the tool tip only. Both are shown printable
    // (UpdateTexts::Printable), as are the port's name and the version text above.
    void ShowStatusNote(const QString &text, const QString &detail = QString());
    void ClearStatusNote();
    // Says `text` to a screen reader, once; nothing on the screen changes. What it said last stays
    // readable (the end of an update, after the "End" box).
    void Announce(const QString &text);
    // Makes the window active with Exit, its one control, holding the keyboard.
    void TakeKeyboard();
    // The accessible name of a box that says `text`: its first words.
    static QString BoxName(const QString &text);

    Ui_MainWindow *Form;
    // The status line: the whole note, word-wrapped on as many lines as it needs (the window
    // grows downwards by them); the whole text, and a failed send's reason, in its tool tip.
    QLabel *StatusNote;
    Announcer *Speaker;
    // Set by Exit, so the run can end even when Exit was pressed before the event loop started.
    bool ExitPressed = false;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    int statusBarHeight() const;
    void fitStatusNote();

    int oneLineStatusHeight = 0; // the status bar's height with at most one line
    int statusGrowth = 0;        // what the window has grown by for the note's other lines

private slots:
    void on_pushButton_clicked();
};
