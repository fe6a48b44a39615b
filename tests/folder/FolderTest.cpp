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

// What a row of the chooser's table does: a menu command (ID_FOLDER_*), or one of these. The
// chooser opens in <temporary folder>/work; the kOpen rows open it in work/sub, or with work
// unreadable, and do nothing more.
constexpr int kSelect = 0, kRename = -1, kCollapse = -2, kEsc = -3, kChoose = -4;
constexpr int kOpen = -5, kOpenUnreadable = -6;

// A row: what is selected first, what is done, and what the user sees then. The temporary
// folder holds the folders x/child, other, a, b and .hidden, a file and a dangling link; later
// is made once the selection has listed its folder.
struct CChooserRow
{
    QString item; // a path ('@' the temporary folder, ending with '/'), "" the root item or
                  // "desktop" the desktop item
    int act;
    QString text;      // kRename: the label typed; kEsc, kChoose: the field's; New: names taken
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
        const int kNew = ID_FOLDER_NEW, kDelete = ID_FOLDER_DELETE;
        const auto row = [](const char *name, CChooserRow row) { QTest::newRow(name) << row; };
        // clang-format off
        row("opens at the current folder", {"", kOpen, "", ok, "@work/sub/"});
        row("opens in an unreadable folder: the message, over the chooser", {"", kOpenUnreadable, "", {"%|@work/" + Text(FolderText::kCannotAccess)}, "@work/"});
        row("folders by name, read once; no files, links or dot-folders", {"@", kSelect, "", ok, "@", "", "a b other work x"});
        row("dot-folders on request", {"@", ID_FOLDER_HIDDEN, "", ok, "@", "", ".hidden a b later other work x"});
        row("a refresh lists what came later", {"@", ID_FOLDER_REFRESH, "", ok, "@", "", "a b later other work x"});
        row("collapsing selects the collapsed item", {"@x/child/", kCollapse, "", ok, "@x/", "", "child"});
        row("new, only the 99th free", {"@x/", kNew, "98", ok, "@x/" + NewName(99) + "/"});
        row("new, all 99 taken", {"@x/", kNew, "99", {Error(EEXIST)}, "@x/"});
        row("delete", {"@x/child/", kDelete, "", ask, "@x/", "@x/child"});
        row("delete, not empty", {"@x/", kDelete, "", ask + QStringList(Error(ENOTEMPTY)), "@x/"});
        row("the desktop is never deleted", {"desktop", kDelete, "", ok, "~Desktop/"});
        row("a drive is never deleted", {"/", kDelete, "", ok, "/"});
        row("rename", {"@x/", kRename, Text("名前"), ok, Text("@名前/"), "@x"});
        row("rename onto a folder", {"@x/", kRename, "other", {Error(EEXIST)}, "@x/"});
        row("rename to a path", {"@x/", kRename, "other/y", {Error(EINVAL)}, "@x/", "@other/y"});
        row("the desktop is never renamed", {"desktop", kRename, "r", ok, "~Desktop/", "~r"});
        row("a drive is never renamed", {"/", kRename, "r", ok, "/", "/r"});
        row("Return does nothing, Esc cancels", {"@x/", kEsc, "/typed/", ok, ""});
        row("choose: the field's text, a missing folder", {"@x/", kChoose, " /no/a ", ok, " /no/a "});
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
        for (int n = 1; row.act == ID_FOLDER_NEW && n <= row.text.toInt(); ++n)
            QDir().mkpath(dir + "x/" + NewName(n));
        QVERIFY(QDir::setCurrent(dir + (row.act == kOpen ? "work/sub" : "work")));
        ::chmod(QFile::encodeName(dir + "work"), row.act == kOpenUnreadable ? 0 : 0755);
        CFolderDlg dlg;
        dlg.show(); // nothing is shown before the chooser's own window
        QVERIFY(g.m_boxes.isEmpty() && QTest::qWaitForWindowExposed(&dlg));
        ::chmod(QFile::encodeName(dir + "work"), 0755);
        auto *tree = dlg.findChild<CFolderTreeCtrl *>("id1007");
        auto *edit = dlg.findChild<QLineEdit *>("id1008");
        const auto editor = [tree] { return tree->viewport()->findChild<QLineEdit *>(); };
        QTreeWidgetItem *root = tree->topLevelItem(0);
        if (row.act > kOpen)
            tree->setCurrentItem(row.item == "desktop" ? root->child(0) : root);
        tree->SelectPath(at(row.item));
        QDir().mkpath(dir + "later");

        if (row.act == kRename) {
            QTest::keyClick(tree, Qt::Key_F2);
            QVERIFY(editor());
            editor()->setText(row.text);
            QTest::keyClick(editor(), Qt::Key_Return);
        } else if (row.act == kCollapse) {
            tree->currentItem()->parent()->setExpanded(false);
        } else if (row.act == kEsc || row.act == kChoose) { // Return and Enter do nothing
            edit->setText(row.text);
            QTest::keyClick(tree, Qt::Key_Return);
            QTest::keyClick(edit, row.act == kEsc ? Qt::Key_Escape : Qt::Key_Enter);
            if (row.act == kChoose)
                QTest::mouseClick(dlg.findChild<QPushButton *>("id1014"), Qt::LeftButton);
        } else if (row.act > 0) {
            tree->OnCommand(row.act);
        }
        if (row.act == ID_FOLDER_NEW && editor()) // the new label, opened for editing: Esc keeps it
            QTest::keyClick(editor(), Qt::Key_Escape);

        // The editor commits in a posted call, which posts the rename's reselection or message.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(g.m_boxes, row.boxes);
        QVERIFY(!QFileInfo::exists(at(row.gone)));
        if (row.act == kEsc || row.act == kChoose) {
            QCOMPARE(dlg.result(), row.act == kChoose ? QDialog::Accepted : QDialog::Rejected);
            QCOMPARE(dlg.isVisible() ? "open" : dlg.GetPath(), row.after);
            return;
        }
        QCOMPARE(edit->text(), at(row.after));
        QStringList labels; // under the selected item, when the row names them
        for (int i = 0; !row.children.isEmpty() && i < tree->currentItem()->childCount(); ++i)
            labels << tree->currentItem()->child(i)->text(0);
        QCOMPARE(labels.join(' '), row.children);
        if (row.act == ID_FOLDER_NEW) // the user's default mode, as any folder made by a program
            QCOMPARE(ModeAndOwner(at(row.after)), ModeAndOwner(dir + "other"));
    }
};

QTEST_MAIN(TestFolderChooser)

#include "FolderTest.moc"
