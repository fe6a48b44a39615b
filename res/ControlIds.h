#pragma once
#include <string>

// The numbers of the dialog templates, their controls, the folder tree's menu commands and the
// icon: the templates (DialogTemplates.cpp), the dialogs that bind their controls and the tests
// that find them all use these names. A control's widget is named "id<number>".

// The object name of control id's widget: "id" and the number.
inline std::string ControlName(int id) { return "id" + std::to_string(id); }

// Dialog templates.
constexpr int IDD_CAPTURE = 102; // the main window
constexpr int IDD_DEVICE = 129;  // the device chooser
constexpr int IDD_FOLDER = 130;  // the output folder chooser

// The window icon, res/131.svg.
constexpr int IDR_MAINFRAME = 131;

// Controls. -1 is a control that the program never addresses (a group box).
constexpr int IDC_STATIC = -1;
constexpr int IDC_EDIT_DEVICE = 1001;       // main window: the device field
constexpr int IDC_LIST_DEVICE = 1003;       // device chooser: the list of interfaces
constexpr int IDC_EDIT_LOG = 1004;          // main window: the log view
constexpr int IDC_BTN_CAPTURE = 1005;       // main window: キャプチャー
constexpr int IDC_BTN_STOP = 1006;          // main window: 中止
constexpr int IDC_TREE_FOLDER = 1007;       // folder chooser: the folder tree
constexpr int IDC_EDIT_FOLDER = 1008;       // main window: the output folder field; folder
                                            // chooser: the path field
constexpr int IDC_CHECK_COMBINE = 1010;     // main window: the Packet Combine check box
constexpr int IDC_BTN_SELECT_DEVICE = 1011; // main window: 選択 beside the device field
constexpr int IDC_BTN_SELECT_FOLDER = 1013; // main window: 選択 beside the folder field
constexpr int IDC_BTN_CHOOSE = 1014;        // folder chooser: 選択, which hands the path back

// The folder tree's context menu commands.
constexpr int ID_FOLDER_NEW = 101;
constexpr int ID_FOLDER_DELETE = 102;
constexpr int ID_FOLDER_HIDDEN = 103;
constexpr int ID_FOLDER_REFRESH = 104;
