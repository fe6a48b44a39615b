#include "DialogBuilder.h"

#include "ControlIds.h"

#include "DialogKeyFilter.h"
#include "DialogUnits.h"

#include <QCheckBox>
#include <QFont>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

QWidget *MakeEdit(const ControlTemplate &c, QWidget *parent)
{
    if (!(c.style & RS_MULTILINE)) {
        auto *edit = new QLineEdit(Text(c.text), parent);
        edit->setFrame(c.style & RS_BORDER);
        return edit;
    }
    auto *edit = new QPlainTextEdit(Text(c.text), parent);
    edit->setLineWrapMode((c.style & RS_HSCROLL) ? QPlainTextEdit::NoWrap
                                                 : QPlainTextEdit::WidgetWidth);
    edit->setVerticalScrollBarPolicy((c.style & RS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                            : Qt::ScrollBarAlwaysOff);
    edit->setHorizontalScrollBarPolicy((c.style & RS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                              : Qt::ScrollBarAlwaysOff);
    // Tab moves on to the next control and Enter does nothing, so that every control of the
    // dialog stays reachable from the keyboard.
    edit->setTabChangesFocus(true);
    edit->installEventFilter(new CDialogKeyFilter(edit));
    return edit;
}

QWidget *MakeList(const ControlTemplate &, QWidget *parent)
{
    auto *list = new QTreeWidget(parent);
    list->setRootIsDecorated(false);
    return list;
}

QWidget *MakeStandard(const ControlTemplate &c, QWidget *parent)
{
    switch (c.kind) {
    case ControlKind::Edit:
        return MakeEdit(c, parent);
    case ControlKind::PushButton:
        return new QPushButton(Text(c.text), parent);
    case ControlKind::CheckBox:
        return new QCheckBox(Text(c.text), parent);
    case ControlKind::GroupBox:
        return new QGroupBox(Text(c.text), parent);
    case ControlKind::ListView:
        return MakeList(c, parent);
    case ControlKind::TreeView:
        return new QTreeWidget(parent);
    }
    return nullptr;
}

// The parts of the style that Qt widgets of each kind can carry.
void ApplyStyle(const ControlTemplate &c, QWidget *w)
{
    if (!(c.style & RS_TABSTOP) && (w->focusPolicy() & Qt::TabFocus))
        w->setFocusPolicy(Qt::ClickFocus);
    if (auto *button = qobject_cast<QPushButton *>(w))
        button->setAutoDefault(false);
    if (auto *view = qobject_cast<QAbstractItemView *>(w)) {
        if (!(c.style & RS_BORDER))
            view->setFrameShape(QFrame::NoFrame);
        view->setSelectionMode((c.kind == ControlKind::ListView && !(c.style & RS_SINGLESEL))
                                   ? QAbstractItemView::ExtendedSelection
                                   : QAbstractItemView::SingleSelection);
    }
    if (auto *tree = qobject_cast<QTreeWidget *>(w); tree && c.kind == ControlKind::TreeView) {
        // Items below the top level get expand buttons from the style; the top level has none.
        tree->setHeaderHidden(true);
        tree->setRootIsDecorated(false);
        tree->setEditTriggers((c.style & RS_EDITLABELS) ? QAbstractItemView::SelectedClicked |
                                                              QAbstractItemView::EditKeyPressed
                                                        : QAbstractItemView::NoEditTriggers);
    }
}

void ApplyFrame(const DialogTemplate &t, QWidget *dialog)
{
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (t.style & RS_CAPTION)
        flags |= Qt::WindowTitleHint;
    if (t.style & RS_SYSMENU)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (t.style & RS_MINIMIZEBOX)
        flags |= Qt::WindowMinimizeButtonHint;
    dialog->setWindowFlags(flags);
}

} // namespace

QFont GetDialogFont(int id)
{
    const DialogTemplate *t = FindDialogTemplate(id);
    if (!t)
        return {};
    QFont font;
    font.setFamilies({Text(t->fontFace), QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("Noto Sans CJK JP")});
    font.setPointSize(t->nPointSize);
    return font;
}

QHash<int, QWidget *> BuildDialog(QWidget *dialog, int id, const ControlFactory &create)
{
    const DialogTemplate *t = FindDialogTemplate(id);
    Q_ASSERT_X(t, "BuildDialog", "no dialog template with this number");
    if (!t)
        return {};

    // Children inherit the font, so it is set before they exist.
    dialog->setFont(GetDialogFont(id));

    ApplyFrame(*t, dialog);
    dialog->setWindowTitle(Text(t->caption));
    const CDialogUnits du(dialog->font());
    dialog->setFixedSize(du.X(t->cx), du.Y(t->cy));

    QHash<int, QWidget *> controls;
    for (const ControlTemplate &c : t->controls) {
        QWidget *w = create ? create(c, dialog) : nullptr;
        if (!w)
            w = MakeStandard(c, dialog);
        w->setObjectName(QString::fromStdString(ControlName(c.nId)));
        w->setGeometry(du.Rect(c.x, c.y, c.cx, c.cy));
        ApplyStyle(c, w);
        // A group box comes after the fields that it frames; below them it takes no clicks.
        if (c.kind == ControlKind::GroupBox)
            w->lower();
        controls.insert(c.nId, w);
    }
    return controls;
}
