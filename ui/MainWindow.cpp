#include "ui/MainWindow.h"
#include "ui_MainWindow.h"

#include "ui/Announcer.h"
#include "ui/midiselection.h"
#include "update/HandleSys.h"
#include "update/UpdateTexts.h"

#include <QCoreApplication>
#include <QIcon>
#include <QLayout>
#include <QLabel>
#include <QResizeEvent>
#include <QStatusBar>

static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

static void cleanupResources()
{
    Q_CLEANUP_RESOURCE(resources);
}

namespace
{

// The logo and the icon, registered at start-up wherever the window is linked in.
struct ResourceRegistration {
    ResourceRegistration() { initResources(); }
    ~ResourceRegistration() { cleanupResources(); }
} resourceRegistration;

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), Form(new Ui_MainWindow)
{
    setWindowIcon(QIcon(":icon/UploaderIcon.ico"));
    Form->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    Form->progressBar->hide();
    Form->labelPercent->hide();
    Form->labelMsg->hide();
    Form->labelVersion->setText(QStringLiteral("Updater version ") +
                                QStringLiteral(CORVANE_VERSION));
    // For assistive technology, without a change on the screen: what the user works with is
    // named, and the hidden placeholders of the form say nothing until they are shown.
    Form->progressBar->setAccessibleName(
        QCoreApplication::translate("MainWindow", "Update progress"));
    Form->progressBar->reset(); // no value until the update begins
    Form->labelPercent->clear();
    Form->labelMsg->clear();
    Form->label->setAccessibleName(QCoreApplication::translate("MainWindow", "Corvane logo"));
    Speaker = new Announcer(Form->centralWidget);
    Speaker->lower(); // under the form's widgets, whose stacking stays as designed
    // The one control that takes the keyboard: it has it whenever the window is active.
    Form->pushButton->setFocus();
    // Amber reads well on the black window and marks the line as a warning.
    Form->statusBar->setStyleSheet(QStringLiteral("color: rgb(255, 191, 0);"));
    // Word-wrapped in the bar's width: its text never widens the window, it makes it taller.
    StatusNote = new QLabel(Form->statusBar);
    StatusNote->setObjectName(QStringLiteral("statusNote"));
    StatusNote->setTextFormat(Qt::PlainText); // port names and device bytes, never markup
    StatusNote->setWordWrap(true);
    StatusNote->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusNote->setMinimumWidth(1);
    Form->statusBar->addWidget(StatusNote, 1);
    oneLineStatusHeight = statusBarHeight();
}

MainWindow::~MainWindow()
{
    delete Form;
}

void MainWindow::setLabelMIDIportName(QString name)
{
    // Port names come from any MIDI client on the system: never markup, and a control character
    // shows as its code instead of breaking the line.
    name = UpdateTexts::Printable(name);
    QLabel *label = Form->labelMIDIportName;
    label->setTextFormat(Qt::PlainText);
    // The label is narrower than the longest names: a cut is marked, the whole name is one hover
    // away.
    label->setText(label->fontMetrics().elidedText(
        QCoreApplication::translate("MainWindow", "Selected MIDI port: ") + name, Qt::ElideRight,
        label->contentsRect().width()));
    label->setToolTip(midiselection::plainToolTip(name));
    label->setAccessibleDescription(name);
}

void MainWindow::SetProgressBarValue(int value)
{
    Form->progressBar->show();
    Form->progressBar->setValue(value);
    Form->labelPercent->show();
    Form->labelPercent->setText(QString::number(value) + QLatin1Char('%'));
}

void MainWindow::SetUpdaterersion(char *text, QString whole)
{
    const QString version = text ? QString::fromUtf8(text) : QString();
    if (whole.isNull())
        whole = version;
    // Cut by the file's 23 bytes or by the label's width: either way the cut is marked. The text
    // comes from the file: a control character in it shows as its code, on the label's one line.
    QString shown = QCoreApplication::translate("MainWindow", "Updating to version ") +
                    UpdateTexts::Printable(version);
    if (whole.size() > version.size())
        shown += QChar(0x2026);
    whole = UpdateTexts::Printable(whole);
    QLabel *label = Form->labelMsg;
    label->show();
    label->setTextFormat(Qt::PlainText); // the version text comes from the file
    label->setText(
        label->fontMetrics().elidedText(shown, Qt::ElideRight, label->contentsRect().width()));
    label->setToolTip(whole.isEmpty() ? QString() : midiselection::plainToolTip(whole));
    label->setAccessibleDescription(whole);
}

void MainWindow::ShowStatusNote(const QString &text, const QString &detail)
{
    // Port names and the library's words in a note come from outside: a control character in
    // them shows as its code, and never breaks or hides the note's text.
    const QString note = UpdateTexts::Printable(text);
    const QString whole =
        detail.isEmpty() ? note : note + QStringLiteral("\n\n") + UpdateTexts::Printable(detail);
    StatusNote->setText(note);
    // The whole text and the library's words, wrapped, also where a word wider than the bar is
    // cut at its edge.
    StatusNote->setToolTip(
        QStringLiteral("<p>%1</p>")
            .arg(whole.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"))));
    // Without a description of its own, a screen reader would read the tool tip's markup.
    StatusNote->setAccessibleDescription(whole);
    fitStatusNote();
}

void MainWindow::ClearStatusNote()
{
    StatusNote->clear();
    StatusNote->setToolTip(QString());
    StatusNote->setAccessibleDescription(QString());
    fitStatusNote();
}

void MainWindow::Announce(const QString &text)
{
    Speaker->Say(text);
}

void MainWindow::TakeKeyboard()
{
    activateWindow();
    Form->pushButton->setFocus();
}

QString MainWindow::BoxName(const QString &text)
{
    // Up to the first full stop or line, and no more than eight words.
    QString first = text.section(QLatin1Char('\n'), 0, 0).simplified();
    const int stop = first.indexOf(QStringLiteral(". "));
    if (stop > 0)
        first = first.left(stop + 1);
    const QStringList words = first.split(QLatin1Char(' '));
    return words.size() > 8 ? words.mid(0, 8).join(QLatin1Char(' ')) + QChar(0x2026) : first;
}

int MainWindow::statusBarHeight() const
{
    // Now, not when the layouts next run: the new text's lines decide the window's height.
    Form->statusBar->layout()->activate();
    const int height = Form->statusBar->heightForWidth(width());
    return height >= 0 ? height : Form->statusBar->sizeHint().height();
}

void MainWindow::fitStatusNote()
{
    // The window grows downwards by the lines the note needs beyond the first, and by no more:
    // the form's widgets keep their places and sizes, and a size the user chose stays apart.
    const int growth = qMax(0, statusBarHeight() - oneLineStatusHeight);
    if (growth != statusGrowth)
        resize(width(), height() - statusGrowth + growth);
    statusGrowth = growth;
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    // Another width wraps the note on other lines.
    if (event->oldSize().width() != event->size().width())
        fitStatusNote();
}

void MainWindow::on_pushButton_clicked()
{
    ExitPressed = true;
    if (oHandleSys)
        oHandleSys->SetExit();
    QCoreApplication::quit();
}
