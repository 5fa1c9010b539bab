// Drives the modal windows that code under test opens with exec(): polls
// QApplication::activeModalWidget(), records what each window showed, and hands it to the next
// queued handler. A modal window that no handler is queued for is recorded and closed (rejected),
// so an unexpected box shows up in seen() instead of hanging the test.
//
// Usage:
//     ModalDriver driver;
//     driver.expectClick(QMessageBox::Yes);   // first modal window: click Yes
//     driver.expectClick(QMessageBox::Ok);    // second: click Ok
//     codeThatOpensBoxes();
//     QCOMPARE(driver.texts(), QStringList() << "Replace ?" << "End");
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QQueue>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

class ModalDriver
{
public:
    // What one modal window showed when the driver first saw it.
    struct Seen {
        QString className;
        QString title;
        QString text; // QMessageBox only
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons = QMessageBox::NoButton;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        bool handled = false; // false: no handler was queued, the driver rejected it
    };

    // Gets the modal window; must close it, now or later (e.g. through a timer).
    using Handler = std::function<void(QWidget *)>;

    explicit ModalDriver(int pollMs = 5)
    {
        timer.setInterval(pollMs);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { poll(); });
        timer.start();
    }

    ModalDriver(const ModalDriver &) = delete;
    ModalDriver &operator=(const ModalDriver &) = delete;

    void expect(Handler handler) { handlers.enqueue(std::move(handler)); }

    // Clicks the message box's standard button; a window without it is rejected.
    void expectClick(QMessageBox::StandardButton which)
    {
        expect([which](QWidget *w) { clickButton(w, which); });
    }

    static void clickButton(QWidget *w, QMessageBox::StandardButton which)
    {
        auto *box = qobject_cast<QMessageBox *>(w);
        QAbstractButton *button = box ? box->button(which) : nullptr;
        if (button)
            button->click();
        else
            reject(w);
    }

    static void reject(QWidget *w)
    {
        if (auto *dialog = qobject_cast<QDialog *>(w))
            dialog->reject();
        else
            w->close();
    }

    const QList<Seen> &seen() const { return windows; }

    // The text of each message box seen, in order (a window of another kind adds its title).
    QStringList texts() const
    {
        QStringList out;
        for (const Seen &s : windows)
            out << (s.className == QLatin1String("QMessageBox") ? s.text : s.title);
        return out;
    }

    QStringList classNames() const
    {
        QStringList out;
        for (const Seen &s : windows)
            out << s.className;
        return out;
    }

    int pendingHandlers() const { return handlers.size(); }
    int unhandled() const
    {
        int n = 0;
        for (const Seen &s : windows)
            n += s.handled ? 0 : 1;
        return n;
    }

private:
    void poll()
    {
        // A window counts as new when it was not seen before, or was hidden since. A window that
        // opened a nested box (a dialog showing a warning from its "Ok") becomes the active modal
        // window again when the box closes, and is not handed on twice.
        for (int i = open.size() - 1; i >= 0; --i)
            if (!open.at(i) || !open.at(i)->isVisible())
                open.removeAt(i);
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        // A handler may close its window later; until then the same window is not handed on.
        for (const QPointer<QWidget> &seenOpen : open)
            if (seenOpen == w)
                return;
        open << w;

        Seen s;
        s.className = QString::fromLatin1(w->metaObject()->className());
        s.title = w->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            s.text = box->text();
            s.icon = box->icon();
            s.buttons = box->standardButtons();
            if (QPushButton *d = box->defaultButton())
                s.defaultButton = box->standardButton(d);
        }
        s.handled = !handlers.isEmpty();
        windows << s;

        // Handlers run outside this slot: one may open a nested modal window (a warning from an
        // "Ok" it clicked), which this timer must still see.
        const Handler handler = s.handled ? handlers.dequeue() : Handler(&ModalDriver::reject);
        QPointer<QWidget> target = w;
        QTimer::singleShot(0, &timer, [handler, target] {
            if (target)
                handler(target);
        });
    }

    QTimer timer;
    QQueue<Handler> handlers;
    QList<Seen> windows;
    QList<QPointer<QWidget>> open; // windows handed on and still visible
};
