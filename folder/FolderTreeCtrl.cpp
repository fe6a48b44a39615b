#include "FolderTreeCtrl.h"

#include "FolderTexts.h"
#include "MessageBox.h"
#include "PathIcon.h"
#include "Platform.h"
#include "RenameDelegate.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QPersistentModelIndex>

#include <string>
#include <vector>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

std::string Encode(const QString &path) { return QFile::encodeName(path).toStdString(); }

QString Decode(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// What an item's label adds to a path: the label and '/', or the label alone when it already
// ends with '/', as the root of the file system does.
QString ComponentOf(const QString &label) { return label.endsWith(u'/') ? label : label + u'/'; }

} // namespace

CFolderTreeCtrl::CFolderTreeCtrl(QWidget *parent) : QTreeWidget(parent)
{
    setColumnCount(1);
    setHeaderHidden(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setItemDelegate(new CRenameDelegate(this));
    connect(this, &QTreeWidget::currentItemChanged, this, &CFolderTreeCtrl::OnSelchanged);
    connect(this, &QTreeWidget::itemCollapsed, this, &CFolderTreeCtrl::OnItemCollapsed);
}

unsigned CFolderTreeCtrl::Flags(const QTreeWidgetItem *item)
{
    return item ? item->data(0, FlagsRole).toUInt() : 0;
}

void CFolderTreeCtrl::InitTree()
{
    // Clearing the current item first tells the dialog that nothing is selected any more.
    setCurrentItem(nullptr);
    clear();

    m_strDesktopPath = Decode(Platform::DesktopPath());
    if (!m_strDesktopPath.isEmpty() && !m_strDesktopPath.endsWith(u'/'))
        m_strDesktopPath += u'/';

    const QIcon desktopIcon =
        Platform::PathIcon(Encode(m_strDesktopPath), Platform::IconKind::Desktop);
    QTreeWidgetItem *root =
        AddItem(nullptr, Text(FolderText::kRoot), FTF_STOP | FTF_ENUMERATED, desktopIcon);
    AddItem(root, Text(FolderText::kDesktop), FTF_DESKTOP | FTF_NORENAME, desktopIcon);
    for (const std::string &drive : Platform::Drives()) {
        AddItem(root, Decode(drive), FTF_COMPONENT | FTF_NORENAME,
                Platform::PathIcon(drive, Platform::IconKind::Drive));
    }
    BuildMenu();
}

QTreeWidgetItem *CFolderTreeCtrl::AddItem(QTreeWidgetItem *parent, const QString &label,
                                          unsigned flags, const QIcon &icon)
{
    auto *item = new QTreeWidgetItem({label});
    item->setData(0, FlagsRole, flags);
    item->setIcon(0, icon);
    // Every item may enter label editing; OnEndlabeledit decides whether the label changes.
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    if (parent)
        parent->addChild(item);
    else
        addTopLevelItem(item);
    return item;
}

void CFolderTreeCtrl::BuildMenu()
{
    m_menu.clear();
    const auto add = [this](int nId, const char *label) {
        QAction *action = m_menu.addAction(Text(label));
        action->setData(nId);
        return action;
    };
    add(ID_FOLDER_NEW, FolderText::kMenuNew);
    add(ID_FOLDER_DELETE, FolderText::kMenuDelete);
    m_menu.addSeparator();
    m_pActHidden = add(ID_FOLDER_HIDDEN, FolderText::kMenuHidden);
    m_menu.addSeparator();
    add(ID_FOLDER_REFRESH, FolderText::kMenuRefresh);
}

QString CFolderTreeCtrl::GetItemPath(const QTreeWidgetItem *item) const
{
    QString path;
    for (; item && !(Flags(item) & FTF_STOP); item = item->parent()) {
        if (Flags(item) & FTF_COMPONENT)
            path.prepend(ComponentOf(item->text(0)));
        else
            path.prepend(m_strDesktopPath);
    }
    return path;
}

QString CFolderTreeCtrl::GetSelectedPath() const { return GetItemPath(currentItem()); }

int CFolderTreeCtrl::SelectPath(QString path)
{
    QTreeWidgetItem *level = topLevelItem(0);
    if (!path.contains(u'/') || !level)
        return 0;
    qsizetype start = 0;
    for (qsizetype slash; (slash = path.indexOf(u'/', start)) >= 0; start = slash + 1) {
        const std::string component = Encode(path.mid(start, slash + 1 - start));
        QTreeWidgetItem *match = nullptr;
        for (int i = 0; i < level->childCount() && !match; ++i) {
            QTreeWidgetItem *child = level->child(i);
            if (Platform::SameName(Encode(ComponentOf(child->text(0))), component))
                match = child;
        }
        if (!match)
            return 0;
        SelectItem(match);
        level = match;
    }
    return 1;
}

void CFolderTreeCtrl::SelectItem(QTreeWidgetItem *item)
{
    setCurrentItem(item);
    for (QTreeWidgetItem *p = item ? item->parent() : nullptr; p; p = p->parent())
        p->setExpanded(true);
}

void CFolderTreeCtrl::OnSelchanged(QTreeWidgetItem *current)
{
    if (current && !(Flags(current) & FTF_ENUMERATED)) {
        const QString path = GetItemPath(current);
        if (!path.isEmpty())
            ListSubfolders(current, path);
    }
    emit selchanged(current);
}

void CFolderTreeCtrl::ListSubfolders(QTreeWidgetItem *item, const QString &path)
{
    const std::string dir = Encode(path);
    std::vector<std::string> names;
    if (!Platform::ListFolder(dir, names)) {
        Platform::ShowMessageBox(this, path + Text(FolderText::kCannotAccess));
        return;
    }
    for (const std::string &name : names) {
        if (name == "." || name == "..")
            continue;
        // A name that is not valid in the file-name encoding could not be found again from
        // its label, so it is not offered.
        if (Encode(Decode(name)) != name)
            continue;
        const unsigned attributes = Platform::GetAttributes(dir + name);
        if (!(attributes & Platform::PFA_DIRECTORY) || attributes == Platform::PFA_INVALID)
            continue;
        if ((attributes & Platform::PFA_HIDDEN) && !m_bShowHidden)
            continue;
        AddItem(item, Decode(name), FTF_COMPONENT,
                Platform::PathIcon(dir + name, Platform::IconKind::Folder));
    }
    item->setData(0, FlagsRole, Flags(item) | FTF_ENUMERATED);
}

void CFolderTreeCtrl::OnItemCollapsed(QTreeWidgetItem *item)
{
    // The selection does not stay hidden inside a collapsed item: the item takes it over.
    for (const QTreeWidgetItem *p = currentItem(); p; p = p->parent()) {
        if (p->parent() == item) {
            SelectItem(item);
            return;
        }
    }
}

void CFolderTreeCtrl::contextMenuEvent(QContextMenuEvent *event)
{
    // A right click selects the item under the cursor before the menu opens; on empty space,
    // and from the keyboard, the selection stays.
    if (event->reason() == QContextMenuEvent::Mouse) {
        if (QTreeWidgetItem *hit = itemAt(event->pos()))
            SelectItem(hit);
    }
    m_pActHidden->setText(
        Text(m_bShowHidden ? FolderText::kMenuHideHidden : FolderText::kMenuShowHidden));
    if (const QAction *chosen = m_menu.exec(event->globalPos()))
        OnCommand(chosen->data().toInt());
}

void CFolderTreeCtrl::OnCommand(int nId)
{
    switch (nId) {
    case ID_FOLDER_NEW:
        NewFolder();
        break;
    case ID_FOLDER_DELETE:
        DeleteFolder();
        break;
    case ID_FOLDER_HIDDEN:
        ToggleHidden();
        break;
    case ID_FOLDER_REFRESH:
        Refresh();
        break;
    default:
        break;
    }
}

void CFolderTreeCtrl::NewFolder()
{
    QTreeWidgetItem *parent = currentItem();
    const QString base = GetItemPath(parent);
    if (base.isEmpty())
        return;
    int nError = 0;
    for (int n = 1; n <= 99; ++n) {
        const QString name = QStringLiteral("%1%2").arg(Text(FolderText::kNewFolder)).arg(n, 2);
        if (!Platform::MakeFolder(Encode(base + name))) {
            nError = Platform::LastError();
            continue;
        }
        QTreeWidgetItem *item =
            AddItem(parent, name, FTF_COMPONENT,
                    Platform::PathIcon(Encode(base + name), Platform::IconKind::Folder));
        SelectItem(item);
        editItem(item, 0);
        return;
    }
    ShowError(nError);
}

void CFolderTreeCtrl::DeleteFolder()
{
    QTreeWidgetItem *item = currentItem();
    QString path = GetItemPath(item);
    if (path.isEmpty() || (Flags(item) & FTF_NORENAME))
        return;
    const int answer = Platform::ShowMessageBox(this, Text(FolderText::kDeleteQuestion),
                                                Text(FolderText::kCaptionConfirm),
                                                QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    // The folder itself, not the path with its trailing '/'.
    path.chop(1);
    if (!Platform::RemoveFolder(Encode(path))) {
        ShowError(Platform::LastError());
        return;
    }
    delete item;
}

void CFolderTreeCtrl::ToggleHidden()
{
    m_bShowHidden = !m_bShowHidden;
    Refresh();
}

void CFolderTreeCtrl::Refresh()
{
    const QString path = GetSelectedPath();
    InitTree();
    SelectPath(path);
}

bool CFolderTreeCtrl::OnEndlabeledit(QTreeWidgetItem *item, const QString &text)
{
    if (!item || (Flags(item) & (FTF_NORENAME | FTF_STOP)))
        return false;
    const QString oldName = item->text(0);
    if (text.isEmpty() || text == oldName)
        return false;
    const QString parentPath = GetItemPath(item->parent());
    if (parentPath.isEmpty())
        return false;

    // The message and the reselection run once the editor has closed: a modal box opened
    // while the edit is being committed would run its event loop in the middle of the commit.
    if (!Platform::RenameInFolder(Encode(parentPath), Encode(oldName), Encode(text))) {
        const int nError = Platform::LastError();
        QMetaObject::invokeMethod(
            this, [this, nError] { ShowError(nError); }, Qt::QueuedConnection);
        return false;
    }
    const QPersistentModelIndex index(indexFromItem(item));
    QMetaObject::invokeMethod(
        this,
        [this, index] {
            // An edit ended by selecting another item leaves that item selected.
            QTreeWidgetItem *renamed = itemFromIndex(index);
            if (!renamed || renamed != currentItem())
                return;
            // Selecting nothing and then the item again tells the dialog its new path.
            setCurrentItem(nullptr);
            SelectItem(renamed);
        },
        Qt::QueuedConnection);
    return true;
}

void CFolderTreeCtrl::ShowError(int nError)
{
    Platform::ShowMessageBox(this, QString::fromStdString(Platform::ErrorText(nError)),
                             Text(FolderText::kCaptionError));
}
