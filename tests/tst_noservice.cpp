// Start-up with no MIDI service at all: the updater must say so and end cleanly, never abort.
#include "app/UpdaterFlow.h"
#include "midi/MIDI.h"
#include "ui/midiselection.h"
#include "ui_midiselection.h"

#include "DeviceRunSupport.h"
#include "ModalDriver.h"

#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QtTest>

class NoServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void managerRunsWithoutPorts();
    void userIsToldAndCancelEndsTheRun();
    void executableDoesNotAbortAtStartUp();
};

void NoServiceTest::managerRunsWithoutPorts()
{
    QVERIFY(midiin == nullptr);
    QVERIFY(midiout == nullptr);
    QVERIFY(!gMIDI.ServiceError.isEmpty());
    QCOMPARE(gMIDI.GetMIDIPortListName(), 0);
    QVERIFY(gMIDI.MIDIportList.isEmpty());
    gMIDI.OpenMIDIPort(0);
    QVERIFY(gMIDI.OpenError.contains("no MIDI service"));
    unsigned char msg[] = {0xF0, 0x01, 0xF7};
    QCOMPARE(gMIDI.SendSys(msg, 3), qint64(3));
    QVERIFY(gMIDI.SendError.contains("no MIDI service")); // not sent, and said so
    gMIDI.CloseMIDIPort();
}

void NoServiceTest::userIsToldAndCancelEndsTheRun()
{
    QString dialogState;
    ModalDriver driver;
    driver.expectClick(QMessageBox::Ok);
    driver.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<midiselection *>(w);
        QVERIFY(dialog);
        // What to do is drawn on the empty list.
        auto *hint = dialog->Form->listWidget->findChild<QLabel *>("labelNoPort");
        dialogState = QString("%1 entries, ok %2, %3")
                          .arg(dialog->Form->listWidget->count())
                          .arg(dialog->Form->pushButtonOk->isEnabled() ? "enabled" : "disabled")
                          .arg(hint && hint->isVisible() ? hint->text() : "no hint");
        QTest::mouseClick(dialog->Form->pushButtonCancel, Qt::LeftButton);
    });
    QCOMPARE(runUpdater(), 0);
    QCOMPARE(driver.classNames(), (QStringList{"QMessageBox", "midiselection"}));
    const QString message = driver.seen().at(0).text;
    QVERIFY2(message.startsWith("No MIDI service could be opened"), qPrintable(message));
    QVERIFY2(message.contains("JACK"), qPrintable(message)); // the library's reason
    QCOMPARE(dialogState, QString("0 entries, ok disabled, No MIDI input found. Connect and switch "
                                  "on the instrument, then start the updater again."));
}

void NoServiceTest::executableDoesNotAbortAtStartUp()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "needs an X server: run it under xvfb-run");
    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    updater.start(QStringLiteral(UPDATER_PATH), QStringList());
    QVERIFY(updater.waitForStarted());
    // Started means the port dialog came up, after the box that says there is no MIDI service.
    const int shown = QProcess::execute(QStringLiteral(PORT_DIALOG_SHOWN),
                                        {QString::number(updater.processId())});
    QCOMPARE(shown, 0);
    QCOMPARE(updater.state(), QProcess::Running);
    updater.kill();
    updater.waitForFinished();
}

QTEST_MAIN(NoServiceTest)
#include "tst_noservice.moc"
