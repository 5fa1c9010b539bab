#include "ui/Announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace
{

// An alert to assistive technology, whatever a plain widget would be.
QAccessibleInterface *alertFor(const QString &className, QObject *object)
{
    if (className == QLatin1String("Announcer") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::AlertMessage);
    return nullptr;
}

} // namespace

Announcer::Announcer(QWidget *parent) : QWidget(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(alertFor);
        return true;
    }();
    Q_UNUSED(installed);
    setObjectName(QStringLiteral("announcer"));
    // One pixel in the window's black corner, under the menu bar, drawing nothing.
    setGeometry(0, 0, 1, 1);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void Announcer::Say(const QString &text)
{
    setAccessibleName(text);
    hide();
    show();
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Where Qt has it, the announcement itself (not built with the Qt 6.4 of Debian 12).
    QAccessibleAnnouncementEvent announcement(this, text);
    QAccessible::updateAccessibility(&announcement);
#endif
}
