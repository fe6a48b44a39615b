// Every dialog of the program, and the texts they show. To add a dialog, add its control table
// and a line in kTemplates.
#include "DialogTemplate.h"

#include <array>

namespace {

constexpr const char *kDialogFont = "ＭＳ Ｐゴシック";
constexpr unsigned kModalDialog = RS_CAPTION | RS_SYSMENU | RS_MODALFRAME;

// 130: the output folder chooser.
constexpr ControlTemplate kControls130[] = {
    {1007, ControlKind::TreeView, "", 7, 7, 289, 189,
     RS_BORDER | RS_TABSTOP | RS_HASBUTTONS | RS_HASLINES | RS_EDITLABELS},
    {1008, ControlKind::Edit, "", 7, 208, 232, 14, RS_BORDER | RS_TABSTOP | RS_AUTOHSCROLL},
    {1014, ControlKind::PushButton, "選択", 246, 208, 50, 14, RS_TABSTOP},
};

constexpr std::array kTemplates = {
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
