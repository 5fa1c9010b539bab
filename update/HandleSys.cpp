#include "update/HandleSys.h"

#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "update/MIDIsysParser.h"
#include "update/UpdateTexts.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

HandleSys::HandleSys(QString path, MainWindow *window) : UpdateTransfer(path), Window(window) {}

void HandleSys::showMessage(const QString &text, Qt::TextFormat format)
{
    if (BoxSink) {
        BoxSink(text);
        return;
    }
    // A screen reader names a box after its first words, and says the end of an update in so
    // many words, also once the box is gone.
    const QString end = QCoreApplication::translate("HandleSys", "End");
    const QString name = text == end
                             ? QCoreApplication::translate("HandleSys", "The update is complete")
                             : MainWindow::BoxName(text);
    if (Window && text == end)
        Window->Announce(QCoreApplication::translate(
            "HandleSys", "The update is complete: every message was sent and acknowledged."));
    QMessageBox box;
    box.setTextFormat(format);
    box.setText(text);
    box.setAccessibleName(name);
    box.exec();
}

void HandleSys::ReadData(QString path)
{
    if (!Load(path)) {
        // A file that cannot be opened or read is just illegal; one refused for what it is or
        // holds, or because it is still being written, says why, so the user knows what to do.
        QString text = QCoreApplication::translate("HandleSys", "Illegal file.");
        if (File.Fault != UpdateFile::Problem::CannotOpen &&
            File.Fault != UpdateFile::Problem::CannotRead)
            text += QStringLiteral("\n\n") + File.ProblemText(QFileInfo(path).fileName());
        showMessage(text, Qt::PlainText);
        return;
    }
    const Outcome outcome = Send();
    // The other programs taken away for the update that could not be given back.
    if (!NotRestored.isEmpty() && Window)
        Window->ShowStatusNote(UpdateTexts::NotRestored(NotRestored));
    switch (outcome) {
    case Outcome::Complete:
        showMessage(QCoreApplication::translate("HandleSys", "End"));
        break;
    case Outcome::TooLong:
        showMessage(
            UpdateTexts::TooLong(LongestNumber, MessageCount, LongestLength, gMIDI.MessageLimit),
            Qt::PlainText);
        break;
    case Outcome::OthersConnected:
        showMessage(UpdateTexts::NotDisconnected(NotDisconnected), Qt::PlainText);
        break;
    case Outcome::Declined:
    case Outcome::Stopped:
    case Outcome::TimedOut:
    case Outcome::PortGone:
    case Outcome::ServiceGone:
    case Outcome::SendFailed:
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

bool HandleSys::sendFailed(qint64 message, qint64 messages)
{
    // The window waits on: the user reads the note and presses Exit.
    if (!Window)
        return false;
    // The library's own words help a developer, not the person updating: they go to the
    // tool tip and the standard error stream.
    qWarning("Message %lld of %lld could not be sent: %s", message, messages,
             qPrintable(gMIDI.SendError));
    const QString text =
        UpdateTexts::SendFailed(gMIDI.OutputPortName, message, messages, UpdateTexts::Face::Window);
    Window->ShowStatusNote(text, UpdateTexts::LibrarySaid(gMIDI.SendError));
    Window->Announce(text);
    return false;
}

bool HandleSys::portGone(const QString &port, qint64 message, qint64 messages)
{
    // The window waits on: the user reads the note and presses Exit, or plugs the instrument in.
    const QString text = UpdateTexts::PortGone(port, message, messages, UpdateTexts::Face::Window);
    Window->ShowStatusNote(text);
    Window->Announce(text);
    return false;
}

void HandleSys::othersJoined(const QStringList &senders, bool disconnected)
{
    const QString text = UpdateTexts::OthersJoined(senders, disconnected);
    Window->ShowStatusNote(text);
    Window->Announce(text);
}

bool HandleSys::serviceGone(const QString &reason, qint64 message, qint64 messages)
{
    const QString text =
        UpdateTexts::ServiceGone(reason, message, messages, UpdateTexts::Face::Window);
    Window->ShowStatusNote(text);
    Window->Announce(text);
    return false;
}

void HandleSys::waiting(qint64 ms, qint64 message, qint64 messages, int others,
                        const QString &lastOther, bool advise)
{
    const QString text = UpdateTexts::Waiting(message, messages, ms / 1000, others, lastOther,
                                              advise, UpdateTexts::Face::Window);
    Window->ShowStatusNote(text);
    // Said when its meaning changes, not with every second it counts: once when the device falls
    // silent, once more with the advice.
    const int stage = advise ? 2 : 1;
    if (stage > spokenStage) {
        spokenStage = stage;
        Window->Announce(text);
    }
}

void HandleSys::waitOver()
{
    spokenStage = 0;
    Window->ClearStatusNote();
}

bool HandleSys::ReplaceYesNo()
{
    // Both versions come from outside: a control character in one shows as its code and keeps
    // each version on its own line.
    const QString text = QCoreApplication::translate("HandleSys", "Current firmware version is ") +
                         UpdateTexts::Printable(DeviceVersion()) + QLatin1Char('\n') +
                         QCoreApplication::translate("HandleSys", "New version is ") +
                         UpdateTexts::Printable(FileVersionText()) + QLatin1Char('\n') +
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
