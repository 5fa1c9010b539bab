// What a person sees of a window's texts, for the suites that check it.
#pragma once

#include <QLabel>
#include <QWidget>

// `text` word-wrapped as `label` draws it: every word inside the label, the label in the window.
inline bool inView(const QWidget *window, const QLabel *label, const QString &text)
{
    const QRect room = label->contentsRect();
    const int flags = int(label->alignment()) | Qt::TextWordWrap;
    return label->isVisible() &&
           room.contains(label->fontMetrics().boundingRect(room, flags, text)) &&
           window->rect().contains(QRect(label->mapTo(window, room.topLeft()), room.size()));
}
