#include "ui/MainWindow.h"
#include "ui_MainWindow.h"

#include "ui/midiselection.h"
#include "update/HandleSys.h"

#include <QCoreApplication>
#include <QIcon>
#include <QStatusBar>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), Form(new Ui_MainWindow)
{
    setWindowIcon(QIcon(":icon/UploaderIcon.ico"));
    Form->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    Form->progressBar->hide();
    Form->labelPercent->hide();
    Form->labelMsg->hide();
    Form->labelVersion->setText(QStringLiteral("Updater version ") + QStringLiteral("1.0.2"));
    // Amber reads well on the black window and marks the line as a warning.
    Form->statusBar->setStyleSheet(QStringLiteral("color: rgb(255, 191, 0);"));
}

MainWindow::~MainWindow()
{
    delete Form;
}

void MainWindow::setLabelMIDIportName(QString name)
{
    // Port names come from any MIDI client on the system: shown as written, never as markup.
    Form->labelMIDIportName->setTextFormat(Qt::PlainText);
    Form->labelMIDIportName->setText(QStringLiteral("Selected MIDI port: ") + name);
    // The label is narrower than the longest names; the whole name is one hover away.
    Form->labelMIDIportName->setToolTip(midiselection::plainToolTip(name));
}

void MainWindow::SetProgressBarValue(int value)
{
    Form->progressBar->show();
    Form->progressBar->setValue(value);
    Form->labelPercent->show();
    Form->labelPercent->setText(QString::number(value) + QLatin1Char('%'));
}

void MainWindow::SetUpdaterersion(char *text)
{
    Form->labelMsg->show();
    Form->labelMsg->setTextFormat(Qt::PlainText); // the version text comes from the file
    Form->labelMsg->setText(QStringLiteral("Updating to version ") +
                            (text ? QString::fromUtf8(text) : QString()));
}

void MainWindow::ShowNoAnswer(int seconds, qint64 message, qint64 messages)
{
    Form->statusBar->showMessage(
        QCoreApplication::translate("MainWindow",
                                    "No answer from the device for %1 s (message %2 of %3). Check "
                                    "the MIDI connection, or press Exit.")
            .arg(seconds)
            .arg(message)
            .arg(messages));
}

void MainWindow::ShowSendFailed(QString port, QString reason, qint64 message, qint64 messages)
{
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    const QString where =
        port.isEmpty()
            ? QCoreApplication::translate("MainWindow", "the MIDI output")
            : QCoreApplication::translate("MainWindow", "the MIDI port \"%1\"").arg(port);
    Form->statusBar->showMessage(
        QCoreApplication::translate("MainWindow",
                                    "Message %1 of %2 could not be sent to %3: %4. Check the MIDI "
                                    "connection, or press Exit.")
            .arg(message)
            .arg(messages)
            .arg(where, reason));
}

void MainWindow::ClearStatusNote()
{
    Form->statusBar->clearMessage();
}

void MainWindow::on_pushButton_clicked()
{
    ExitPressed = true;
    if (oHandleSys)
        oHandleSys->SetExit();
    QCoreApplication::quit();
}
