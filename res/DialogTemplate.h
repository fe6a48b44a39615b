#pragma once
#include <span>

// Dialog templates as data: what each dialog holds, where, in dialog units, and how it behaves.
// BuildDialog (DialogBuilder.h) turns a template into widgets.

enum class ControlKind {
    Edit, // one line, or several with RS_MULTILINE
    PushButton,
    CheckBox, // an automatic check box
    GroupBox,
    ListView, // a report list with columns
    TreeView,
};

// Style bits of controls and dialogs.
constexpr unsigned RS_TABSTOP = 0x0001;    // reached with Tab
constexpr unsigned RS_BORDER = 0x0002;     // drawn with a frame
constexpr unsigned RS_MULTILINE = 0x0020;  // edit: several lines; Tab and Enter stay the dialog's
constexpr unsigned RS_VSCROLL = 0x0040;    // multi-line edit: a vertical scroll bar
constexpr unsigned RS_HSCROLL = 0x0080;    // multi-line edit: lines are not wrapped
constexpr unsigned RS_EDITLABELS = 0x1000; // tree: labels can be edited in place
constexpr unsigned RS_SINGLESEL = 0x2000;  // list: one row at a time
constexpr unsigned RS_CAPTION = 0x10000;   // dialog: title bar
constexpr unsigned RS_SYSMENU = 0x20000;   // dialog: window menu and close box
constexpr unsigned RS_MINIMIZEBOX = 0x80000;

struct ControlTemplate
{
    int nId; // the control's number; its widget's objectName is "id<number>"
    ControlKind kind;
    const char *text; // UTF-8; the label of buttons and boxes, the initial text of edits
    int x, y, cx, cy; // dialog units, relative to the client area
    unsigned style;   // RS_* bits
};

struct DialogTemplate
{
    int nId;
    const char *caption;  // UTF-8
    int cx, cy;           // client area in dialog units
    const char *fontFace; // UTF-8
    int nPointSize;
    unsigned style;                            // RS_* bits
    std::span<const ControlTemplate> controls; // in tab order
};

// The template with number id, or nullptr when there is none.
const DialogTemplate *FindDialogTemplate(int id);
