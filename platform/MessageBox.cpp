#include "MessageBox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QSpacerItem>

#include <utility>

namespace Platform {

namespace {

MessageBoxHandler &Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

// Room that the window manager's buttons and borders take in a title bar beside the caption.
constexpr int kTitleBarButtons = 160; // pixels

// A box is as wide as its text and buttons need, so the window manager would shorten a longer
// caption, or leave no room for it at all. A spacer in the box's layout, whose width it keeps
// when it fixes its own size on showing, makes room for the caption in the title bar's font
// (the desktop's, when Qt knows it; else the application's).
void MakeRoomForCaption(QMessageBox &box, const QString &caption)
{
    const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
    const int width = title.horizontalAdvance(caption) + kTitleBarButtons;
    // Across every column, so that the text keeps its place at the left.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
}

int ShowRealBox(QWidget *parent, const QString &text, const QString &caption,
                QMessageBox::StandardButtons buttons)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(QMessageBox::NoIcon, caption, shown, buttons, parent);
    MakeRoomForCaption(box, caption);
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
