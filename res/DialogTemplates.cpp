// Every dialog of the program, and the texts they show. To add a dialog, add its control table
// and a line in kTemplates.
#include "ControlIds.h"
#include "DialogTemplate.h"

#include <array>

namespace {

constexpr const char *kDialogFont = "ＭＳ Ｐゴシック";
constexpr unsigned kModalDialog = RS_CAPTION | RS_SYSMENU;

// The main window.
constexpr ControlTemplate kControlsCapture[] = {
    {IDC_EDIT_DEVICE, ControlKind::Edit, "", 14, 21, 270, 14, RS_BORDER | RS_TABSTOP},
    {IDC_EDIT_LOG, ControlKind::Edit, "", 7, 108, 282, 170,
     RS_MULTILINE | RS_VSCROLL | RS_HSCROLL | RS_BORDER | RS_TABSTOP},
    {IDC_BTN_CAPTURE, ControlKind::PushButton, "キャプチャー", 295, 243, 53, 14, RS_TABSTOP},
    {IDC_BTN_STOP, ControlKind::PushButton, "中止", 295, 264, 53, 14, RS_TABSTOP},
    {IDC_CHECK_COMBINE, ControlKind::CheckBox, "パケットを組み立てて出力する", 233, 81, 104, 10,
     RS_TABSTOP},
    {IDC_BTN_SELECT_DEVICE, ControlKind::PushButton, "選択", 291, 21, 50, 14, RS_TABSTOP},
    {IDC_STATIC, ControlKind::GroupBox, "デバイス", 7, 7, 341, 35, 0},
    {IDC_STATIC, ControlKind::GroupBox, "出力フォルダ", 7, 45, 341, 53, 0},
    {IDC_EDIT_FOLDER, ControlKind::Edit, "", 14, 59, 270, 14, RS_BORDER | RS_TABSTOP},
    {IDC_BTN_SELECT_FOLDER, ControlKind::PushButton, "選択", 290, 59, 50, 14, RS_TABSTOP},
};

// The device chooser.
constexpr ControlTemplate kControlsDevice[] = {
    {IDC_LIST_DEVICE, ControlKind::ListView, "", 7, 7, 393, 131,
     RS_SINGLESEL | RS_BORDER | RS_TABSTOP},
};

// The output folder chooser.
constexpr ControlTemplate kControlsFolder[] = {
    {IDC_TREE_FOLDER, ControlKind::TreeView, "", 7, 7, 289, 189,
     RS_BORDER | RS_TABSTOP | RS_EDITLABELS},
    {IDC_EDIT_FOLDER, ControlKind::Edit, "", 7, 208, 232, 14, RS_BORDER | RS_TABSTOP},
    {IDC_BTN_CHOOSE, ControlKind::PushButton, "選択", 246, 208, 50, 14, RS_TABSTOP},
};

constexpr std::array kTemplates = {
    DialogTemplate{IDD_CAPTURE, "Marlinox", 355, 285, kDialogFont, 9, kModalDialog | RS_MINIMIZEBOX,
                   kControlsCapture},
    DialogTemplate{IDD_DEVICE, "デバイスの選択", 407, 145, kDialogFont, 9, kModalDialog,
                   kControlsDevice},
    DialogTemplate{IDD_FOLDER, "出力フォルダの選択", 303, 229, kDialogFont, 9, kModalDialog,
                   kControlsFolder},
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
