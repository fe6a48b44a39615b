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
// others. The chooser opens in <temporary folder>/work; Open opens it in work/sub instead, and
// OpenUnreadable with work unreadable; both do nothing more.
// clang-format off
enum class Act { Select, Rename, Collapse, Esc, Choose, Open, OpenUnreadable,
                 New = ID_FOLDER_NEW, Delete = ID_FOLDER_DELETE, Hidden = ID_FOLDER_HIDDEN,
                 Refresh = ID_FOLDER_REFRESH };
// clang-format on

// A row: what is selected first, what is done, and what the user sees then. The temporary
// folder holds the folders x/child, other, a, b and .hidden, a file and a dangling link; later
// is made once the selection has listed its folder.
struct CChooserRow
{
    QString item; // a path ('@' the temporary folder, ending with '/'), "" the root item or
                  // "desktop" the desktop item
    Act act;
    QString text;      // Rename: the label typed; Esc, Choose: the field's; New: names taken
    QStringList boxes; // message boxes, "caption|text"
    // Afterwards: what the field holds, or the path handed back; a path that no longer exists;
    // when given, the labels under the selected item.
    QString after, gone = "", children = "";
};

QString Error(int code) { return Text("エラー|") + Platform::ErrorText(code).c_str(); }
QString NewName(int n) { return Text(FolderText::kNewFolder) + QString("%1").arg(n, 2); }

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
        // clang-format off
        row("opens at the current folder", {"", Act::Open, "", ok, "@work/sub/"});
        row("opens in an unreadable folder: the message, over the chooser", {"", Act::OpenUnreadable, "", {"%|@work/" + Text(FolderText::kCannotAccess)}, "@work/"});
        row("folders by name, read once; no files, links or dot-folders", {"@", Act::Select, "", ok, "@", "", "a b other work x"});
        row("dot-folders on request", {"@", Act::Hidden, "", ok, "@", "", ".hidden a b later other work x"});
        row("a refresh lists what came later", {"@", Act::Refresh, "", ok, "@", "", "a b later other work x"});
        row("collapsing selects the collapsed item", {"@x/child/", Act::Collapse, "", ok, "@x/", "", "child"});
        row("new, only the 99th free", {"@x/", Act::New, "98", ok, "@x/" + NewName(99) + "/"});
        row("new, all 99 taken", {"@x/", Act::New, "99", {Error(EEXIST)}, "@x/"});
        row("delete", {"@x/child/", Act::Delete, "", ask, "@x/", "@x/child"});
        row("delete, not empty", {"@x/", Act::Delete, "", ask + QStringList(Error(ENOTEMPTY)), "@x/"});
        row("the desktop is never deleted", {"desktop", Act::Delete, "", ok, "~Desktop/"});
        row("a drive is never deleted", {"/", Act::Delete, "", ok, "/"});
        row("rename", {"@x/", Act::Rename, Text("名前"), ok, Text("@名前/"), "@x"});
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
        const QString dir = g.Dir();
        const auto at = [&](QString path) { return path.replace('@', dir).replace('~', g.Home()); };
        for (const char *name : {"work/sub", "x/child", "other", "b", "a", ".hidden"})
            QDir().mkpath(dir + name);
        QFile(dir + "file").open(QIODevice::WriteOnly);
        QFile::link("gone", dir + "dangling");
        for (int n = 1; row.act == Act::New && n <= row.text.toInt(); ++n)
            QDir().mkpath(dir + "x/" + NewName(n));
        QVERIFY(QDir::setCurrent(dir + (row.act == Act::Open ? "work/sub" : "work")));
        ::chmod(QFile::encodeName(dir + "work"), row.act == Act::OpenUnreadable ? 0 : 0755);
        CFolderDlg dlg;
        dlg.show(); // nothing is shown before the chooser's own window
        QVERIFY(g.m_boxes.isEmpty() && QTest::qWaitForWindowExposed(&dlg));
        ::chmod(QFile::encodeName(dir + "work"), 0755);
        auto *tree = dlg.findChild<CFolderTreeCtrl *>(Id(IDC_TREE_FOLDER));
        auto *edit = dlg.findChild<QLineEdit *>(Id(IDC_EDIT_FOLDER));
        const auto editor = [tree] { return tree->viewport()->findChild<QLineEdit *>(); };
        QTreeWidgetItem *root = tree->topLevelItem(0);
        if (row.act != Act::Open && row.act != Act::OpenUnreadable)
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
