// The folder chooser and its tree on real folders in a temporary directory, as any user runs
// it: without the capabilities by which root reads every folder.
#include "FolderDlg.h"
#include "FolderTestSupport.h"
#include "FolderTexts.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"
#include "Privileges.h"

#include <cerrno>
#include <memory>

namespace {

// What a row of the chooser's table does: a menu command (ID_FOLDER_*), or one of these. The
// chooser opens in <temporary folder>/work, or in work/sub, or with work unreadable.
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
    QString text;          // kRename: the label typed; kChoose: the field's; kNew: names taken
    QStringList boxes;     // message boxes, "caption|text"
    QString after;         // in the field afterwards; or the path handed back
    QString gone = "";     // a path that no longer exists afterwards
    QString children = ""; // when given, the labels under the selected item afterwards
};

QString Error(int code) { return Text("エラー|") + Platform::ErrorText(code).c_str(); }
QString NewName(int n) { return Text(FolderText::kNewFolder) + QString("%1").arg(n, 2); }

} // namespace

Q_DECLARE_METATYPE(CChooserRow)

class TestFolderChooser : public QObject
{
    Q_OBJECT

    QString Dir() const { return m_g->Dir(); }
    CFolderTreeCtrl *Tree() const { return m_dlg->findChild<CFolderTreeCtrl *>("id1007"); }
    QLineEdit *Edit() const { return m_dlg->findChild<QLineEdit *>("id1008"); }
    QLineEdit *Editor() const { return Tree()->viewport()->findChild<QLineEdit *>(); }
    QString At(QString path) const { return path.replace('@', Dir()).replace('~', m_g->Home()); }
    // The labels under the selected item.
    QString Children() const
    {
        QStringList labels;
        for (int i = 0; i < Tree()->currentItem()->childCount(); ++i)
            labels << Tree()->currentItem()->child(i)->text(0);
        return labels.join(' ');
    }

    std::unique_ptr<CUiGround> m_g;
    std::unique_ptr<CFolderDlg> m_dlg;

private slots:
    void initTestCase() { Privileges::LowerEffectiveCapabilities(); }
    void cleanup()
    {
        m_dlg.reset();
        m_g.reset();
    }

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
        row("a missing level ends the selection", {"@x/no/child/", kSelect, "", ok, "@x/"});
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
        row("the root is never renamed", {"", kRename, "r", ok, "", "~r"});
        row("the desktop is never renamed", {"desktop", kRename, "r", ok, "~Desktop/", "~r"});
        row("a drive is never renamed", {"/", kRename, "r", ok, "/", "/r"});
        row("Return does nothing, Esc cancels", {"@x/", kEsc, "", ok, ""});
        row("choose: the field's text, a missing folder", {"@x/", kChoose, " /no/a ", ok, " /no/a "});
        // clang-format on
    }
    void acts()
    {
        QFETCH(CChooserRow, row);
        m_g = std::make_unique<CUiGround>();
        for (const char *name : {"work/sub", "x/child", "other", "b", "a", ".hidden"})
            QDir().mkpath(Dir() + name);
        QFile(Dir() + "file").open(QIODevice::WriteOnly);
        QFile::link("gone", Dir() + "dangling");
        for (int n = 1; row.act == ID_FOLDER_NEW && n <= row.text.toInt(); ++n)
            QDir().mkpath(Dir() + "x/" + NewName(n));
        QVERIFY(QDir::setCurrent(Dir() + (row.act == kOpen ? "work/sub" : "work")));
        ::chmod(QFile::encodeName(Dir() + "work"), row.act == kOpenUnreadable ? 0 : 0755);
        m_dlg = std::make_unique<CFolderDlg>();
        m_dlg->show(); // nothing is shown before the chooser's own window
        QVERIFY(m_g->m_boxes.isEmpty() && QTest::qWaitForWindowExposed(m_dlg.get()));
        ::chmod(QFile::encodeName(Dir() + "work"), 0755);
        QTreeWidgetItem *root = Tree()->topLevelItem(0);
        if (row.act > kOpen)
            Tree()->setCurrentItem(row.item == "desktop" ? root->child(0) : root);
        Tree()->SelectPath(At(row.item));
        QDir().mkpath(Dir() + "later");

        if (row.act == kRename) {
            QTest::keyClick(Tree(), Qt::Key_F2);
            QVERIFY(Editor());
            Editor()->setText(row.text);
            QTest::keyClick(Editor(), Qt::Key_Return);
        } else if (row.act == kCollapse) {
            Tree()->currentItem()->parent()->setExpanded(false);
        } else if (row.act == kEsc || row.act == kChoose) {
            Edit()->setText(row.text);
            QTest::keyClick(Tree(), Qt::Key_Return);
            QTest::keyClick(Edit(), row.act == kEsc ? Qt::Key_Escape : Qt::Key_Enter);
            if (row.act == kChoose)
                QTest::mouseClick(m_dlg->findChild<QPushButton *>("id1014"), Qt::LeftButton);
        } else if (row.act > 0) {
            Tree()->OnCommand(row.act);
        }
        if (row.act == ID_FOLDER_NEW && Editor()) // the new label, opened for editing: Esc keeps it
            QTest::keyClick(Editor(), Qt::Key_Escape);

        // The editor commits in a posted call, which posts the rename's reselection or message.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(m_g->m_boxes, row.boxes);
        QVERIFY(!QFileInfo::exists(At(row.gone)));
        if (row.act == kEsc || row.act == kChoose) {
            QCOMPARE(m_dlg->result(), row.act == kChoose ? QDialog::Accepted : QDialog::Rejected);
            QCOMPARE(m_dlg->isVisible() ? "open" : m_dlg->GetPath(), row.after);
            return;
        }
        QCOMPARE(Edit()->text(), At(row.after));
        if (!row.children.isEmpty())
            QCOMPARE(Children(), row.children);
        if (row.act == ID_FOLDER_NEW) // the user's default mode, as any folder made by a program
            QCOMPARE(ModeAndOwner(At(row.after)), ModeAndOwner(Dir() + "other"));
    }
};

QTEST_MAIN(TestFolderChooser)

#include "FolderTest.moc"
