// Every dialog of the program, and the texts they show. To add a dialog, add its control table
// and a line in kTemplates.
#include "DialogTemplate.h"

#include <array>

namespace {

constexpr const char *kDialogFont = "ＭＳ Ｐゴシック";
constexpr unsigned kModalDialog = RS_CAPTION | RS_SYSMENU;

// 102: the main window.
constexpr ControlTemplate kControls102[] = {
    {1001, ControlKind::Edit, "", 14, 21, 270, 14, RS_BORDER | RS_TABSTOP},
    {1004, ControlKind::Edit, "", 7, 108, 282, 170,
     RS_MULTILINE | RS_VSCROLL | RS_HSCROLL | RS_BORDER | RS_TABSTOP},
    {1005, ControlKind::PushButton, "キャプチャー", 295, 243, 53, 14, RS_TABSTOP},
    {1006, ControlKind::PushButton, "中止", 295, 264, 53, 14, RS_TABSTOP},
    {1010, ControlKind::CheckBox, "パケットを組み立てて出力する", 233, 81, 104, 10, RS_TABSTOP},
    {1011, ControlKind::PushButton, "選択", 291, 21, 50, 14, RS_TABSTOP},
    {-1, ControlKind::GroupBox, "デバイス", 7, 7, 341, 35, 0},
    {-1, ControlKind::GroupBox, "出力フォルダ", 7, 45, 341, 53, 0},
    {1008, ControlKind::Edit, "", 14, 59, 270, 14, RS_BORDER | RS_TABSTOP},
    {1013, ControlKind::PushButton, "選択", 290, 59, 50, 14, RS_TABSTOP},
};

// 129: the device chooser.
constexpr ControlTemplate kControls129[] = {
    {1003, ControlKind::ListView, "", 7, 7, 393, 131, RS_SINGLESEL | RS_BORDER | RS_TABSTOP},
};

// 130: the output folder chooser.
constexpr ControlTemplate kControls130[] = {
    {1007, ControlKind::TreeView, "", 7, 7, 289, 189, RS_BORDER | RS_TABSTOP | RS_EDITLABELS},
    {1008, ControlKind::Edit, "", 7, 208, 232, 14, RS_BORDER | RS_TABSTOP},
    {1014, ControlKind::PushButton, "選択", 246, 208, 50, 14, RS_TABSTOP},
};

constexpr std::array kTemplates = {
    DialogTemplate{102, "Marlinox", 355, 285, kDialogFont, 9, kModalDialog | RS_MINIMIZEBOX,
                   kControls102},
    DialogTemplate{129, "デバイスの選択", 407, 145, kDialogFont, 9, kModalDialog, kControls129},
    DialogTemplate{130, "出力フォルダの選択", 303, 229, kDialogFont, 9, kModalDialog, kControls130},
};

} // namespace

const DialogTemplate *FindDialogTemplate(int id)
{
    for (const DialogTemplate &t : kTemplates) {
        if (t.nId == id)
            return &t;
    }
    return nullptr;
}
