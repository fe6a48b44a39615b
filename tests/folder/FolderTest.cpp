// The folder chooser and its tree on real folders in a temporary directory, as any user runs
// it: without the capabilities by which root reads every folder.
#include "FolderDlg.h"
#include "FolderTestSupport.h"
#include "FolderTexts.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"
#include "Privileges.h"

#include <cerrno>

namespace {

// What a row of the chooser's table does: a menu command (as its command number), or one of the
// others. The chooser opens in <temporary folder>/work; Open opens it in work/<kLong> instead
// and does nothing more; OpenUnreadable opens it with work unreadable, then selects the row's
// item once work can be read.
// clang-format off
enum class Act { Select, Rename, Collapse, Esc, Choose, Open, OpenUnreadable,
                 New = ID_FOLDER_NEW, Delete = ID_FOLDER_DELETE, Hidden = ID_FOLDER_HIDDEN,
                 Refresh = ID_FOLDER_REFRESH };
// clang-format on

// A folder name that makes the current folder longer than the first buffer that reads it.
const QString kLong(250, 'l');

// A row: what is selected first, what is done, and what the user sees then. The temporary
// folder holds the folders x/child, other, a, b and .hidden, a file, a dangling link and a link
// to x; later is made once the selection has listed its folder.
struct CChooserRow
{
    QString item; // a path ('@' the temporary folder, ending with '/'), "" the root item or
                  // "desktop" the desktop item
    Act act;
    // Rename: the label typed; Esc, Choose: the field's; New: names taken; Delete: the answer
    // (No when "No"); Hidden: the labels chosen in the context menu in turn, '|' between.
    QString text;
    QStringList boxes; // message boxes, "caption|text"
    // Afterwards: what the field holds, or the path handed back; a path that no longer exists;
    // when given, the labels under the selected item.
    QString after, gone = "", children = "";
};

QString Error(int code) { return Text("エラー|") + Platform::ErrorText(code).c_str(); }
QString NewName(int n) { return Text(FolderText::kNewFolder) + QString("%1").arg(n, 2); }

// Opens the tree's context menu from the keyboard and chooses the item labelled label, or closes
// the menu when no item has that label.
void ChooseFromMenu(QWidget *tree, const QString &label)
{
    QTimer::singleShot(0, tree, [label] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QAction *chosen = nullptr;
        for (QAction *action : menu->actions())
            chosen = action->text() == label ? action : chosen;
        menu->setActiveAction(chosen);
        QTest::keyClick(menu, chosen ? Qt::Key_Return : Qt::Key_Escape);
    });
    QContextMenuEvent event(QContextMenuEvent::Keyboard, {}, tree->mapToGlobal(QPoint()));
    QCoreApplication::sendEvent(tree, &event);
}

} // namespace

Q_DECLARE_METATYPE(CChooserRow)

class TestFolderChooser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Privileges::LowerEffectiveCapabilities(); }

    void acts_data()
    {
        QTest::addColumn<CChooserRow>("row");
        const QStringList ok, ask = {Text("確認|") + Text(FolderText::kDeleteQuestion)};
        const auto row = [](const char *name, CChooserRow row) { QTest::newRow(name) << row; };
        const QString show = Text(FolderText::kMenuShowHidden),
                      hide = Text(FolderText::kMenuHideHidden);
        // clang-format off
        row("opens at a long current folder", {"", Act::Open, "", ok, "@work/" + kLong + "/"});
        row("opens in an unreadable folder: the message, over the chooser; later a retry", {"@work/", Act::OpenUnreadable, "", {"%|@work/" + Text(FolderText::kCannotAccess)}, "@work/", "", kLong});
        row("folders by name, read once; linked folders; no files, dangling links, dot-folders", {"@", Act::Select, "", ok, "@", "", "a b linked other work x"});
        row("dot-folders on request", {"@", Act::Hidden, show, ok, "@", "", ".hidden a b later linked other work x"});
        row("dot-folders on request, then not", {"@", Act::Hidden, show + '|' + hide, ok, "@", "", "a b later linked other work x"});
        row("a refresh lists what came later", {"@", Act::Refresh, "", ok, "@", "", "a b later linked other work x"});
        row("collapsing selects the collapsed item", {"@x/child/", Act::Collapse, "", ok, "@x/", "", "child"});
        row("new, only the 99th free", {"@x/", Act::New, "98", ok, "@x/" + NewName(99) + "/"});
        row("new, all 99 taken", {"@x/", Act::New, "99", {Error(EEXIST)}, "@x/"});
        row("delete", {"@x/child/", Act::Delete, "", ask, "@x/", "@x/child"});
        row("delete, No", {"@x/child/", Act::Delete, "No", ask, "@x/child/"});
        row("delete, not empty", {"@x/", Act::Delete, "", ask + QStringList(Error(ENOTEMPTY)), "@x/"});
        row("the desktop is never deleted", {"desktop", Act::Delete, "", ok, "~Desktop/"});
        row("a drive is never deleted", {"/", Act::Delete, "", ok, "/"});
        row("rename", {"@x/", Act::Rename, Text("名前"), ok, Text("@名前/"), "@x"});
        row("rename to nothing", {"@x/", Act::Rename, "", ok, "@x/"});
        row("rename onto a folder", {"@x/", Act::Rename, "other", {Error(EEXIST)}, "@x/"});
        row("rename to a path", {"@x/", Act::Rename, "other/y", {Error(EINVAL)}, "@x/", "@other/y"});
        row("the desktop is never renamed", {"desktop", Act::Rename, "r", ok, "~Desktop/", "~r"});
        row("a drive is never renamed", {"/", Act::Rename, "r", ok, "/", "/r"});
        row("Return does nothing, Esc cancels", {"@x/", Act::Esc, "/typed/", ok, ""});
        row("choose: the field's text, a missing folder", {"@x/", Act::Choose, " /no/a ", ok, " /no/a "});
        // clang-format on
    }
    void acts()
    {
        QFETCH(CChooserRow, row);
        CUiGround g;
        g.m_nAnswer = row.text == "No" ? QMessageBox::No : QMessageBox::Yes;
        const QString dir = g.Dir();
        const auto at = [&](QString path) { return path.replace('@', dir).replace('~', g.Home()); };
        for (const QString &name :
             QStringList{"work/" + kLong, "x/child", "other", "b", "a", ".hidden"})
            QDir().mkpath(dir + name);
        QFile(dir + "file").open(QIODevice::WriteOnly);
        QFile::link("gone", dir + "dangling");
        QFile::link("x", dir + "linked");
        for (int n = 1; row.act == Act::New && n <= row.text.toInt(); ++n)
            QDir().mkpath(dir + "x/" + NewName(n));
        QVERIFY(QDir::setCurrent(dir + (row.act == Act::Open ? "work/" + kLong : "work")));
        ::chmod(QFile::encodeName(dir + "work"), row.act == Act::OpenUnreadable ? 0 : 0755);
        CFolderDlg dlg;
        dlg.show(); // nothing is shown before the chooser's own window
        QVERIFY(g.m_boxes.isEmpty() && QTest::qWaitForWindowExposed(&dlg));
        ::chmod(QFile::encodeName(dir + "work"), 0755);
        auto *tree = dlg.findChild<CFolderTreeCtrl *>(Id(IDC_TREE_FOLDER));
        auto *edit = dlg.findChild<QLineEdit *>(Id(IDC_EDIT_FOLDER));
        const auto editor = [tree] { return tree->viewport()->findChild<QLineEdit *>(); };
        QTreeWidgetItem *root = tree->topLevelItem(0);
        if (row.act != Act::Open)
            tree->setCurrentItem(row.item == "desktop" ? root->child(0) : root);
        tree->SelectPath(at(row.item));
        QDir().mkpath(dir + "later");

        if (row.act == Act::Rename) {
            QTest::keyClick(tree, Qt::Key_F2);
            QVERIFY(editor());
            editor()->setText(row.text);
            QTest::keyClick(editor(), Qt::Key_Return);
        } else if (row.act == Act::Collapse) {
            tree->currentItem()->parent()->setExpanded(false);
        } else if (row.act == Act::Esc || row.act == Act::Choose) { // Return, Enter do nothing
            edit->setText(row.text);
            QTest::keyClick(tree, Qt::Key_Return);
            QTest::keyClick(edit, row.act == Act::Esc ? Qt::Key_Escape : Qt::Key_Enter);
            if (row.act == Act::Choose)
                QTest::mouseClick(dlg.findChild<QPushButton *>(Id(IDC_BTN_CHOOSE)), Qt::LeftButton);
        } else if (row.act == Act::Hidden) {
            for (const QString &label : row.text.split('|'))
                ChooseFromMenu(tree, label);
        } else if (row.act >= Act::New) {
            tree->OnCommand(static_cast<int>(row.act));
        }
        if (row.act == Act::New && editor()) // the new label, opened for editing: Esc keeps it
            QTest::keyClick(editor(), Qt::Key_Escape);

        // The editor commits in a posted call, which posts the rename's reselection or message.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(g.m_boxes, row.boxes);
        QVERIFY(!QFileInfo::exists(at(row.gone)));
        if (row.act == Act::Esc || row.act == Act::Choose) {
            QCOMPARE(dlg.result(), row.act == Act::Choose ? QDialog::Accepted : QDialog::Rejected);
            QCOMPARE(dlg.isVisible() ? "open" : dlg.GetPath(), row.after);
            return;
        }
        QCOMPARE(edit->text(), at(row.after));
        QStringList labels; // under the selected item, when the row names them
        for (int i = 0; !row.children.isEmpty() && i < tree->currentItem()->childCount(); ++i)
            labels << tree->currentItem()->child(i)->text(0);
        QCOMPARE(labels.join(' '), row.children);
        if (row.act == Act::New) // the user's default mode, as any folder made by a program
            QCOMPARE(ModeAndOwner(at(row.after)), ModeAndOwner(dir + "other"));
    }
};

QTEST_MAIN(TestFolderChooser)

#include "FolderTest.moc"
