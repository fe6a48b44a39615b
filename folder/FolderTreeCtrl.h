#pragma once
#include "ControlIds.h"

#include <QMenu>
#include <QString>
#include <QTreeWidget>

class QAction;

// Item flags, kept in FlagsRole of column 0. Every item has exactly one of FTF_COMPONENT,
// FTF_STOP and FTF_DESKTOP.
constexpr unsigned FTF_COMPONENT = 0x01;  // the label followed by '/' is one path component
constexpr unsigned FTF_STOP = 0x02;       // the walk that composes a path ends here (the root)
constexpr unsigned FTF_DESKTOP = 0x04;    // the item adds the whole desktop path
constexpr unsigned FTF_ENUMERATED = 0x08; // the subfolders have been listed
constexpr unsigned FTF_NORENAME = 0x10;   // a desktop or drive item: not renamed, not deleted

// A tree of the desktop, the drives and their folders. An item's subfolders are read the first
// time it is selected. Items hold only a label and flags; paths are composed from the labels.
// The context menu creates, deletes and refreshes folders and shows or hides hidden ones;
// editing a folder's label renames it on disk. The root, the desktop and the drives are fixed:
// they are neither deleted nor renamed. Collapsing an item that holds the selection selects it.
class CFolderTreeCtrl : public QTreeWidget
{
    Q_OBJECT

public:
    enum { FlagsRole = Qt::UserRole + 1 };

    explicit CFolderTreeCtrl(QWidget *parent = nullptr);

    // Rebuilds the fixed items (root, desktop, drives) from nothing and the context menu.
    // Selects nothing and lists no folders.
    void InitTree();

    // The folder path that item stands for, ending with '/'; empty for the root or no item.
    QString GetItemPath(const QTreeWidgetItem *item) const;
    // The path of the current item; empty when there is none or the root is current.
    QString GetSelectedPath() const;
    // Selects, level by level from the desktop and drive items, the items along path: each
    // component is a piece of path that ends at '/'; text after the last '/' is ignored.
    // 1 when every component was found; 0 when path holds no '/' or a component was missing
    // (the items found before it stay selected).
    int SelectPath(QString path);

    // Runs a context menu command (ID_FOLDER_*); other numbers do nothing.
    void OnCommand(int nId);
    // Creates "新しいフォルダ 1" (or the first free number up to 99) in the selected folder,
    // selects it and opens its label for editing.
    void NewFolder();
    // Asks, then removes the selected folder if it is empty. Fixed items are left alone.
    void DeleteFolder();
    // Shows hidden folders if they were hidden and the other way round, then refreshes.
    void ToggleHidden();
    // Rebuilds the tree and selects the deepest part of the selected path that still exists.
    void Refresh();

    // The end of editing item's label with text (not called when the edit was cancelled).
    // Renames the folder on disk and returns true when the new label is to be taken; returns
    // false when the label goes back: fixed items, an empty or unchanged text, or a failed
    // rename, which is reported once the editor has closed.
    bool OnEndlabeledit(QTreeWidgetItem *item, const QString &text);

signals:
    // The current item changed and its subfolders are listed; current may be nullptr.
    void selchanged(QTreeWidgetItem *current);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    static unsigned Flags(const QTreeWidgetItem *item);
    void OnSelchanged(QTreeWidgetItem *current);
    void OnItemCollapsed(QTreeWidgetItem *item);
    void ListSubfolders(QTreeWidgetItem *item, const QString &path);
    QTreeWidgetItem *AddItem(QTreeWidgetItem *parent, const QString &label, unsigned flags,
                             const QIcon &icon);
    void SelectItem(QTreeWidgetItem *item);
    void BuildMenu();
    void ShowError(int nError);

    QString m_strDesktopPath; // ends with '/' once InitTree has run
    QMenu m_menu{this};
    QAction *m_pActHidden = nullptr;
    bool m_bShowHidden = false;
};
