#pragma once
#include <QObject>

// Keeps Enter from a multi-line field of a dialog: there it neither breaks the line nor
// presses a button, as in the dialog's one-line fields.
class CDialogKeyFilter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
