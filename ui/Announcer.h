// What the window says while it works, for a screen reader: an invisible alert whose name is the
// last thing said, shown anew each time something new is said. Screen readers speak an alert when
// it shows (Qt's AT-SPI bridge tells them its showing state, not its own alert events).
#pragma once

#include <QWidget>

class Announcer : public QWidget
{
    Q_OBJECT

public:
    explicit Announcer(QWidget *parent);
    // Says `text` once: its name becomes `text`, and it shows again.
    void Say(const QString &text);
};
