#include "app/UpdaterFlow.h"

#include "midi/MIDI.h"
#include "ui/MainWindow.h"
#include "ui/midiselection.h"
#include "update/HandleSys.h"

#include <QApplication>
#include <QFileDialog>
#include <QIcon>
#include <QMessageBox>

int RunUpdater()
{
    // The application's icon is every window's: the port dialog, the file dialog and the boxes.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":icon/UploaderIcon.ico")));
    MainWindow w(nullptr);
    midiselection dialog(nullptr);
    oHandleSys = nullptr;

    w.show();
    if (!gMIDI.ServiceError.isEmpty()) {
        // The library's reasons are shown as written, never as markup.
        QMessageBox box(
            QMessageBox::Critical, QStringLiteral("Corvane Uploader"),
            QStringLiteral("No MIDI service could be opened, so no MIDI port can be listed.\n\n"
                           "%1\n\nStart the computer's MIDI service (the ALSA sequencer or a JACK "
                           "server), then run the updater again.")
                .arg(gMIDI.ServiceError));
        box.setTextFormat(Qt::PlainText);
        box.setAccessibleName(MainWindow::BoxName(box.text()));
        box.exec();
    }
    dialog.setModal(true);
    dialog.exec();
    if (dialog.DialogResult != 1)
        return 0;

    w.setLabelMIDIportName(QString(gMIDI.MIDIportName));
    QString path = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Select file"), QString(),
                                                QStringLiteral("Corvane updater files (*.cvn)"));
    if (path.compare(QLatin1String(""), Qt::CaseSensitive) == 0)
        return 0;

    // The keyboard, and a screen reader's focus, go back to the window and its Exit button once
    // the dialogs have closed: during the transfer and after its last box.
    w.TakeKeyboard();
    oHandleSys = new HandleSys(path, &w);
    oHandleSys->ReadData(path);
    w.TakeKeyboard();
    // Exit pressed during the transfer ends the run once the transfer has stopped.
    if (!w.ExitPressed)
        QApplication::exec();
    return 0;
}
