#pragma once
#include "DialogTemplate.h"

#include <QHash>

#include <functional>

class QFont;
class QWidget;

// Makes the widget for a control that the dialog provides itself (for example a tree view of
// its own class), or returns nullptr to get the standard widget for the control's kind.
using ControlFactory = std::function<QWidget *(const ControlTemplate &, QWidget *parent)>;

// Lays dialog out from template id: font, caption, window frame, a fixed client size, and one
// child widget per control, created in tab order, placed by the dialog units of the font,
// named "id<number>" and styled by its RS_* bits. No push button is a default button, so Enter
// presses none. Returns the widgets by control number; empty when there is no such template.
QHash<int, QWidget *> BuildDialog(QWidget *dialog, int id, const ControlFactory &create = {});

// The font of template id: its face at its size, falling back to Japanese fonts found on Linux.
// The application's font when there is no such template.
QFont GetDialogFont(int id);

// The control number id of controls as a T; nullptr when it is missing or of another kind.
template <class T> T *Bind(const QHash<int, QWidget *> &controls, int id)
{
    T *widget = qobject_cast<T *>(controls.value(id));
    Q_ASSERT_X(widget, "Bind", "control missing from its template or of another kind");
    return widget;
}
