#include "ui/MainWindow.h"
#include "ui_MainWindow.h"

#include "update/HandleSys.h"

#include <QCoreApplication>
#include <QIcon>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), Form(new Ui_MainWindow)
{
    setWindowIcon(QIcon(":icon/UploaderIcon.ico"));
    Form->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    Form->progressBar->hide();
    Form->labelPercent->hide();
    Form->labelMsg->hide();
    Form->labelVersion->setText(QStringLiteral("Updater version ") + QStringLiteral("1.0.2"));
}

MainWindow::~MainWindow()
{
    delete Form;
}

void MainWindow::setLabelMIDIportName(QString name)
{
    Form->labelMIDIportName->setText(QStringLiteral("Selected MIDI port: ") + name);
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
    Form->labelMsg->setText(QStringLiteral("Updating to version ") +
                            (text ? QString::fromUtf8(text) : QString()));
}

void MainWindow::on_pushButton_clicked()
{
    ExitPressed = true;
    if (oHandleSys)
        oHandleSys->SetExit();
    QCoreApplication::quit();
}
