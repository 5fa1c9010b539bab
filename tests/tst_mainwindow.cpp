// The main window's form and its three visible states, and what Exit does.
#include "ui/MainWindow.h"
#include "ui_MainWindow.h"
#include "update/HandleSys.h"
#include "update/UpdateTexts.h"

#include "ViewChecks.h"

#include <QIcon>
#include <QImage>
#include <QTextDocument>
#include <QtTest>

namespace
{

// What a person reads: a text that Qt takes for rich text is shown rendered.
QString shown(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void idleWindowShowsOnlyLogoVersionAndExit();
    void formMatchesTheDesign_data();
    void formMatchesTheDesign();
    void logoComesFromTheResources();
    void progressAppearsWithItsFirstValue_data();
    void progressAppearsWithItsFirstValue();
    void targetVersionIsDecodedAsUtf8();
    void portLabelNamesTheSelectedPort_data();
    void portLabelNamesTheSelectedPort();
    void exitWithoutTransferOnlyQuits();
    void exitDuringTransferStopsIt();
};

void MainWindowTest::idleWindowShowsOnlyLogoVersionAndExit()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(!w.Form->progressBar->isVisible());
    QVERIFY(!w.Form->labelPercent->isVisible());
    QVERIFY(!w.Form->labelMsg->isVisible());
    QVERIFY(w.Form->pushButton->isVisible());
    QVERIFY(w.Form->label->isVisible());
    QCOMPARE(w.Form->labelVersion->text(), QString("Updater version 1.0.2"));
    QCOMPARE(w.Form->labelVersion->styleSheet(), QString("color: rgb(255, 255, 255);"));
    QCOMPARE(w.Form->labelVersion->geometry(), QRect(446, 0, 211, 20));
    QCOMPARE(int(w.windowFlags()), 0x901);
    QCOMPARE(w.size(), QSize(675, 332));
    QCOMPARE(w.windowTitle(), QString("Corvane Uploader"));
}

void MainWindowTest::formMatchesTheDesign_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<int>("pointSize"); // -1: the default font
    QTest::newRow("exit") << "pushButton" << QRect(580, 260, 75, 23)
                          << "background-color: rgb(152, 152, 152);" << -1;
    QTest::newRow("port") << "labelMIDIportName" << QRect(40, 10, 400, 16) << "" << -1;
    QTest::newRow("logo") << "label" << QRect(30, 240, 311, 41)
                          << "image: url(:/new/prefix1/FileVari/Logo.png);" << -1;
    QTest::newRow("version") << "labelVersion" << QRect(446, 0, 211, 20)
                             << "color: rgb(255, 255, 255);" << 10;
    QTest::newRow("bar") << "progressBar" << QRect(180, 110, 281, 23)
                         << "color: transparent;\nborder-style:solid;\nbackground-color: rgb(0, 0, "
                            "128);\n\n"
                         << -1;
    QTest::newRow("percent") << "labelPercent" << QRect(470, 111, 56, 20)
                             << "color: rgb(0, 85, 255);" << 14;
    QTest::newRow("message") << "labelMsg" << QRect(10, 150, 655, 31)
                             << "color: rgb(0, 85, 255);\nbackground-color: rgb(0, 0, 128);" << 14;
}

void MainWindowTest::formMatchesTheDesign()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, styleSheet);
    QFETCH(int, pointSize);
    MainWindow w;
    auto *widget = w.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), w.Form->centralWidget);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->styleSheet(), styleSheet);
    if (pointSize > 0)
        QCOMPARE(widget->font().pointSize(), pointSize);
    else
        QCOMPARE(widget->font(), QFont());
    // The children stack in the designed order, the message line on top.
    const QObjectList order = w.Form->centralWidget->children();
    QCOMPARE(order.last(), w.Form->labelMsg);
}

void MainWindowTest::logoComesFromTheResources()
{
    QImage logo(":/new/prefix1/FileVari/Logo.png");
    QCOMPARE(logo.size(), QSize(612, 103));
    // The window's icon, for the task bar and the window switcher.
    const QIcon icon(":icon/UploaderIcon.ico");
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
    MainWindow w;
    QCOMPARE(w.windowIcon().pixmap(32, 32).toImage(), icon.pixmap(32, 32).toImage());
}

void MainWindowTest::progressAppearsWithItsFirstValue_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("percent");
    QTest::newRow("start") << 0 << "0%";
    QTest::newRow("middle") << 42 << "42%";
    QTest::newRow("done") << 100 << "100%";
}

void MainWindowTest::progressAppearsWithItsFirstValue()
{
    QFETCH(int, value);
    QFETCH(QString, percent);
    MainWindow w;
    w.show();
    w.SetProgressBarValue(value);
    QVERIFY(w.Form->progressBar->isVisible());
    QVERIFY(w.Form->labelPercent->isVisible());
    QVERIFY(!w.Form->labelMsg->isVisible());
    QCOMPARE(w.Form->progressBar->value(), value);
    QCOMPARE(w.Form->labelPercent->text(), percent);
    // Readable whole in the window's own font, not cut at the label's edge.
    QVERIFY2(w.Form->labelPercent->fontMetrics().horizontalAdvance(percent) <=
                 w.Form->labelPercent->contentsRect().width(),
             qPrintable(
                 QString::number(w.Form->labelPercent->fontMetrics().horizontalAdvance(percent))));
}

void MainWindowTest::targetVersionIsDecodedAsUtf8()
{
    MainWindow w;
    w.show();
    QByteArray text = QString::fromUtf8("2.0 \u00e9t\u00e9").toUtf8();
    w.SetUpdaterersion(text.data());
    QVERIFY(w.Form->labelMsg->isVisible());
    QCOMPARE(w.Form->labelMsg->text(), QString::fromUtf8("Updating to version 2.0 \u00e9t\u00e9"));
    w.SetUpdaterersion(nullptr);
    QCOMPARE(w.Form->labelMsg->text(), QString("Updating to version "));
}

void MainWindowTest::portLabelNamesTheSelectedPort_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "Corvane Device:out";
    // Names come from any MIDI client: markup in them is shown as written.
    QTest::newRow("markup") << "Synth <b>X</b> & <i>co</i>";
    QTest::newRow("longer than the label")
        << "Virtual Raw MIDI 0-0:VirMIDI 0-0 20:0 (2nd interface)";
    // Shown as the terminal program shows them: control characters as their codes, on one line.
    QTest::newRow("control characters") << "Synth\n\x1B[2J\tX\u202E";
}

void MainWindowTest::portLabelNamesTheSelectedPort()
{
    QFETCH(QString, name);
    const QString printable = UpdateTexts::Printable(name);
    MainWindow w;
    w.show();
    w.setLabelMIDIportName(name);
    QLabel *label = w.Form->labelMIDIportName;
    // Whole where it fits, else cut with a mark: never clipped at the label's edge.
    const QString whole = "Selected MIDI port: " + printable;
    const QString text = shown(label->text(), label->textFormat());
    QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= label->contentsRect().width(),
             qPrintable(text));
    if (text != whole)
        QVERIFY2(text.endsWith(QChar(0x2026)) && whole.startsWith(text.chopped(1)),
                 qPrintable(text));
    // The whole name, wherever the label cuts it, in its tool tip.
    QCOMPARE(shown(label->toolTip(), Qt::AutoText), printable);
    // The name must be readable on the black window: some of its pixels are drawn in green.
    const QImage shot = label->grab().toImage();
    int green = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            green += c.green() > 128 && c.red() < 100 && c.blue() < 100;
        }
    QVERIFY2(green > 20, qPrintable(QString::number(green)));

    // When the port goes, the status line names it as written, every word in view: the window
    // grows downwards by the lines it takes, and back when the note goes; the form stays put.
    const QRect window = w.geometry();
    const QRect form = w.Form->centralWidget->geometry();
    const QRect bar = w.Form->statusBar->geometry();
    w.ShowStatusNote(UpdateTexts::PortGone(name, 11, 41, UpdateTexts::Face::Window));
    const QString note = "The MIDI port \"" + printable +
                         "\" has gone: was the instrument disconnected? The update stopped at "
                         "message 11 of 41 and is not complete. Reconnect the instrument, press "
                         "Exit and run the update again.";
    QCOMPARE(shown(w.StatusNote->text(), w.StatusNote->textFormat()), note);
    QVERIFY(inView(&w, w.StatusNote, note));
    QCOMPARE(w.Form->centralWidget->geometry(), form);
    QCOMPARE(w.geometry(), window.adjusted(0, 0, 0, w.Form->statusBar->height() - bar.height()));
    w.ClearStatusNote();
    QCOMPARE(w.geometry(), window);
}

void MainWindowTest::exitWithoutTransferOnlyQuits()
{
    oHandleSys = nullptr;
    MainWindow w;
    w.show();
    QTimer::singleShot(0, w.Form->pushButton,
                       [&] { QTest::mouseClick(w.Form->pushButton, Qt::LeftButton); });
    QCOMPARE(QApplication::exec(), 0); // returns only because Exit asked the loop to quit
    QVERIFY(w.ExitPressed);
}

void MainWindowTest::exitDuringTransferStopsIt()
{
    MainWindow w;
    HandleSys transfer(QStringLiteral("/nonexistent/update.cvn"), &w);
    oHandleSys = &transfer;
    QVERIFY(!transfer.ExitFlag);
    QTest::mouseClick(w.Form->pushButton, Qt::LeftButton);
    QVERIFY(transfer.ExitFlag);
    QVERIFY(w.ExitPressed);
    oHandleSys = nullptr;
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
