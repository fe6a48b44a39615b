#pragma once
#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

namespace Platform {

// Shows a modal message box and returns the button pressed (QMessageBox::Ok, Yes, No, ...).
// An empty caption stands for the application's name. Line breaks may be written "\r\n". The
// box is wide enough for the window manager to show the whole caption beside its buttons.
int ShowMessageBox(QWidget *parent, const QString &text, const QString &caption = {},
                   QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// Receives every message box instead of the screen: the caption is already resolved. It
// returns the answer that ShowMessageBox hands back.
using MessageBoxHandler =
    std::function<int(QWidget *parent, const QString &text, const QString &caption,
                      QMessageBox::StandardButtons buttons)>;

// Routes message boxes to handler (an empty handler restores the real box) and returns the
// handler that was in place.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

} // namespace Platform
