#include "update/HandleSys.h"

#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "update/MIDIsysParser.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

HandleSys *oHandleSys = nullptr;

HandleSys::HandleSys(QString path, MainWindow *window) : UpdateTransfer(path), Window(window) {}

void HandleSys::showMessage(const QString &text, Qt::TextFormat format)
{
    if (BoxSink) {
        BoxSink(text);
        return;
    }
    QMessageBox box;
    box.setTextFormat(format);
    box.setText(text);
    box.exec();
}

void HandleSys::ReadData(QString path)
{
    if (!Load(path)) {
        // A file that cannot be opened or read whole is just illegal; one refused for what it
        // is or holds says why, so the user knows what to fetch again.
        QString text = QCoreApplication::translate("HandleSys", "Illegal file.");
        if (File.Fault != UpdateFile::Problem::CannotOpen &&
            File.Fault != UpdateFile::Problem::CannotRead)
            text += QStringLiteral("\n\n") + File.ProblemText(QFileInfo(path).fileName());
        showMessage(text, Qt::PlainText);
        return;
    }
    switch (Send()) {
    case Outcome::Complete:
        showMessage(QCoreApplication::translate("HandleSys", "End"));
        break;
    case Outcome::Illegal:
        showMessage(QCoreApplication::translate("HandleSys", "Illegal file."));
        break;
    case Outcome::TooLong:
        showMessage(QCoreApplication::translate(
                        "HandleSys", "This update file cannot be sent over MIDI: message %1 of %2 "
                                     "is %3 bytes long, and a MIDI interface (USB or 5-pin) takes "
                                     "at most %4 bytes in one message.\n\n"
                                     "Nothing was sent to the device.")
                        .arg(LongestNumber)
                        .arg(MessageCount)
                        .arg(LongestLength)
                        .arg(gMIDI.MessageLimit),
                    Qt::PlainText);
        break;
    case Outcome::Declined:
    case Outcome::Stopped:
    case Outcome::TimedOut:
    case Outcome::PortGone:
        break;
    }
}

void HandleSys::progress(int percent)
{
    if (ProgressSink)
        ProgressSink(percent);
    else if (Window)
        Window->SetProgressBarValue(percent);
}

void HandleSys::started()
{
    if (Window)
        Window->SetUpdaterersion(NewVersion, NewVersionText);
}

void HandleSys::sendFailed(qint64 message, qint64 messages)
{
    if (Window)
        Window->ShowSendFailed(gMIDI.OutputPortName, gMIDI.SendError, message, messages);
}

bool HandleSys::portGone(const QString &port, qint64 message, qint64 messages)
{
    // The window waits on: the user reads the note and presses Exit, or plugs the instrument in.
    Window->ShowPortGone(port, message, messages);
    return false;
}

void HandleSys::waiting(qint64 ms, qint64 message, qint64 messages, int others,
                        const QString &lastOther, bool advise)
{
    Window->ShowWaiting(int(ms / 1000), message, messages, others, lastOther, advise);
}

void HandleSys::waitOver()
{
    Window->ClearStatusNote();
}

bool HandleSys::ReplaceYesNo()
{
    const QString text = QCoreApplication::translate("HandleSys", "Current firmware version is ") +
                         DeviceVersion() + QLatin1Char('\n') +
                         QCoreApplication::translate("HandleSys", "New version is ") +
                         FileVersionText() + QLatin1Char('\n') +
                         QCoreApplication::translate("HandleSys", "Replace ?");

    if (BoxSink)
        return BoxSink(text);
    QMessageBox box;
    box.setWindowTitle(QCoreApplication::translate("HandleSys", "Updater message"));
    // Both versions come from outside; they are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Yes);
    box.addButton(QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.exec();
    // Closing the box counts as No.
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

void HandleSys::SetExit()
{
    ExitFlag = true;
}
