#include "MessageBox.h"

#include <QCoreApplication>

#include <utility>

namespace Platform {

namespace {

MessageBoxHandler &Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

int ShowRealBox(QWidget *parent, const QString &text, const QString &caption,
                QMessageBox::StandardButtons buttons)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(QMessageBox::NoIcon, caption, shown, buttons, parent);
    return box.exec();
}

} // namespace

int ShowMessageBox(QWidget *parent, const QString &text, const QString &caption,
                   QMessageBox::StandardButtons buttons)
{
    // The application's name defaults to the executable's name. It is never replaced by a
    // display name, which Qt would append to every window title.
    const QString title = caption.isEmpty() ? QCoreApplication::applicationName() : caption;
    if (Handler())
        return Handler()(parent, text, title, buttons);
    return ShowRealBox(parent, text, title, buttons);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}

} // namespace Platform
