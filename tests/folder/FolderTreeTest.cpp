#include "FolderTestSupport.h"
#include "FolderTexts.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

QStringList Labels(const QTreeWidgetItem *item)
{
    QStringList labels;
    for (int i = 0; item && i < item->childCount(); ++i)
        labels << item->child(i)->text(0);
    return labels;
}

// The editor commits its text in a posted call, and the tree posts its reselection or error
// message from there: two rounds of posted events, and one to spare.
void DeliverPosted()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

QString NewName(int n)
{
    return QStringLiteral("%1%2").arg(Text(FolderText::kNewFolder)).arg(n, 2);
}

} // namespace

class TestFolderTree : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listingRules_data();
    void listingRules();
    void folderIsListedOnceUntilRefresh();
    void unlistableFolderReportsEachTime_data();
    void unlistableFolderReportsEachTime();
    void rootListsNothing();
    void itemPaths();
    void selectPath_data();
    void selectPath();

    void newFolderTakesFirstFreeNumber_data();
    void newFolderTakesFirstFreeNumber();
    void newFolderCancelledEditKeepsName();
    void newFolderReportsOnceAfter99Failures();
    void commandsDoNothingWithoutAFolder_data();
    void commandsDoNothingWithoutAFolder();
    void deleteFolder_data();
    void deleteFolder();

    void rename_data();
    void rename();
    void renameMovesChildrenAlong();
    void renameEndedBySelectingAnotherItemKeepsIt();
    void fixedItemsAreNeverRenamed_data();
    void fixedItemsAreNeverRenamed();

    void refreshSelectsDeepestRemainingAncestor();
    void hiddenMenuLabelFollowsToggle_data();
    void hiddenMenuLabelFollowsToggle();
    void rightClickSelectsOnlyAnItem_data();
    void rightClickSelectsOnlyAnItem();

private:
    QString Dir() const { return QString::fromStdString(m_dir->Path()); }
    QTreeWidgetItem *Select(const QString &path);
    QTreeWidgetItem *Root() const { return m_tree->topLevelItem(0); }
    QLineEdit *Editor() const { return m_tree->viewport()->findChild<QLineEdit *>(); }
    void EditLabel(QTreeWidgetItem *item, const QString &text);
    QString ShowMenuAndReadHiddenLabel();

    std::unique_ptr<CTestHome> m_home;
    std::unique_ptr<CTempDir> m_dir;
    std::unique_ptr<CMessageRecorder> m_boxes;
    std::unique_ptr<CFolderTreeCtrl> m_tree;
};

void TestFolderTree::init()
{
    m_home = std::make_unique<CTestHome>();
    m_dir = std::make_unique<CTempDir>();
    m_boxes = std::make_unique<CMessageRecorder>();
    m_tree = std::make_unique<CFolderTreeCtrl>();
    m_tree->resize(400, 600);
    m_tree->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    m_tree->show();
    m_tree->InitTree();
}

void TestFolderTree::cleanup()
{
    m_tree.reset();
    m_boxes.reset();
    m_dir.reset();
    m_home.reset();
}

QTreeWidgetItem *TestFolderTree::Select(const QString &path)
{
    m_tree->SelectPath(path);
    return m_tree->currentItem();
}

void TestFolderTree::EditLabel(QTreeWidgetItem *item, const QString &text)
{
    m_tree->setCurrentItem(item);
    m_tree->editItem(item, 0);
    QLineEdit *editor = Editor();
    QVERIFY(editor);
    editor->setText(text);
    QTest::keyClick(editor, Qt::Key_Return);
    DeliverPosted();
}

void TestFolderTree::listingRules_data()
{
    QTest::addColumn<int>("toggles");
    QTest::addColumn<QStringList>("expected");
    const QStringList visible = {"a", "b", "link", "名前"};
    const QStringList all = {"..twodots", ".hidden", "a", "b", "link", "名前"};
    QTest::newRow("hidden folders hidden") << 0 << visible;
    QTest::newRow("after one toggle") << 1 << all;
    QTest::newRow("after two toggles") << 2 << visible;
}

void TestFolderTree::listingRules()
{
    QFETCH(int, toggles);
    QFETCH(QStringList, expected);
    for (const char *name : {"a", "b", ".hidden", "..twodots", "名前"})
        MakeDirs(Dir() + Text(name));
    MakeFile(Dir() + "file.txt");
    MakeFile(Dir() + ".hiddenfile");
    std::filesystem::create_directory_symlink((Dir() + "a").toStdString(),
                                              (Dir() + "link").toStdString());
    std::filesystem::create_directory_symlink((Dir() + "gone").toStdString(),
                                              (Dir() + "dangling").toStdString());

    Select(Dir());
    for (int i = 0; i < toggles; ++i)
        m_tree->ToggleHidden();

    QTreeWidgetItem *item = m_tree->currentItem();
    QCOMPARE(m_tree->GetItemPath(item), Dir()); // the toggle reselects the same folder
    QCOMPARE(Labels(item), expected);
    QVERIFY(CFolderTreeCtrl::Flags(item) & FTF_ENUMERATED);
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

void TestFolderTree::folderIsListedOnceUntilRefresh()
{
    MakeDirs(Dir() + "a");
    QTreeWidgetItem *item = Select(Dir());
    QCOMPARE(Labels(item), QStringList{"a"});

    MakeDirs(Dir() + "later");
    m_tree->setCurrentItem(Root());
    m_tree->setCurrentItem(item);
    QCOMPARE(Labels(item), QStringList{"a"}); // not read again, and nothing listed twice

    m_tree->Refresh();
    QCOMPARE(Labels(m_tree->currentItem()), (QStringList{"a", "later"}));
}

void TestFolderTree::unlistableFolderReportsEachTime_data()
{
    QTest::addColumn<bool>("replaceByFile");
    QTest::newRow("folder removed") << false;
    QTest::newRow("folder replaced by a file") << true;
}

void TestFolderTree::unlistableFolderReportsEachTime()
{
    QFETCH(bool, replaceByFile);
    MakeDirs(Dir() + "x");
    QTreeWidgetItem *parent = Select(Dir());
    QTreeWidgetItem *x = parent->child(0);
    std::filesystem::remove((Dir() + "x").toStdString());
    if (replaceByFile)
        MakeFile(Dir() + "x");

    for (int attempt = 1; attempt <= 2; ++attempt) {
        m_tree->setCurrentItem(x);
        QCOMPARE(m_boxes->m_boxes.size(), attempt);
        const CMessageRecorder::Box &box = m_boxes->m_boxes.last();
        QCOMPARE(box.text, Dir() + "x/" + Text("\r\nにアクセスできませんでした。"));
        QCOMPARE(box.caption, QCoreApplication::applicationName());
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!(CFolderTreeCtrl::Flags(x) & FTF_ENUMERATED));
        m_tree->setCurrentItem(parent);
    }
    QCOMPARE(m_tree->SelectPath(Dir() + "x/y/"), 0); // stops where the listing failed
    QCOMPARE(m_tree->GetSelectedPath(), Dir() + "x/");
}

void TestFolderTree::rootListsNothing()
{
    QSignalSpy spy(m_tree.get(), &CFolderTreeCtrl::selchanged);
    m_tree->setCurrentItem(Root());
    QCOMPARE(spy.size(), 1);
    QCOMPARE(m_tree->GetSelectedPath(), QString());
    QCOMPARE(Root()->childCount(), 1 + int(Platform::Drives().size()));
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

void TestFolderTree::itemPaths()
{
    QTreeWidgetItem *desktop = Root()->child(0);
    QTreeWidgetItem *drive = Root()->child(1);
    QCOMPARE(Root()->text(0), Text(FolderText::kRoot));
    QCOMPARE(desktop->text(0), Text(FolderText::kDesktop));
    QCOMPARE(drive->text(0), QStringLiteral("/"));
    QCOMPARE(CFolderTreeCtrl::Flags(Root()), 0x0Au);
    QCOMPARE(CFolderTreeCtrl::Flags(desktop), 0x14u);
    QCOMPARE(CFolderTreeCtrl::Flags(drive), 0x11u);

    QCOMPARE(m_tree->GetItemPath(Root()), QString());
    QCOMPARE(m_tree->GetItemPath(desktop), m_home->Desktop());
    QCOMPARE(m_tree->GetItemPath(drive), QStringLiteral("/"));
    QCOMPARE(m_tree->GetItemPath(nullptr), QString());

    MakeDirs(m_home->Desktop() + "Notes");
    m_tree->setCurrentItem(desktop);
    QCOMPARE(Labels(desktop), QStringList{"Notes"});
    QCOMPARE(m_tree->GetItemPath(desktop->child(0)), m_home->Desktop() + "Notes/");

    MakeDirs(Dir() + "a/b");
    QCOMPARE(m_tree->GetItemPath(Select(Dir() + "a/b/")), Dir() + "a/b/");
}

void TestFolderTree::selectPath_data()
{
    QTest::addColumn<QString>("path"); // "@" stands for the temporary folder
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("selected");
    QTest::newRow("every component") << "@a/b/" << 1 << "@a/b/";
    QTest::newRow("text after the last / ignored") << "@a/b" << 1 << "@a/";
    QTest::newRow("missing component") << "@a/nosuch/b/" << 0 << "@a/";
    QTest::newRow("case differs") << "@A/" << 0 << "@";
    QTest::newRow("the root of the file system") << "/" << 1 << "/";
    QTest::newRow("empty path") << "" << 0 << "";
    QTest::newRow("no /") << "a" << 0 << "";
    QTest::newRow("relative path") << "tmp/" << 0 << "";
}

void TestFolderTree::selectPath()
{
    QFETCH(QString, path);
    QFETCH(int, result);
    QFETCH(QString, selected);
    MakeDirs(Dir() + "a/b");
    path.replace('@', Dir());
    selected.replace('@', Dir());

    QCOMPARE(m_tree->SelectPath(path), result);
    QCOMPARE(m_tree->GetSelectedPath(), selected);
    QTreeWidgetItem *current = m_tree->currentItem();
    QCOMPARE(current != nullptr, !selected.isEmpty());
    for (QTreeWidgetItem *p = current ? current->parent() : nullptr; p; p = p->parent())
        QVERIFY(p->isExpanded());
}

void TestFolderTree::newFolderTakesFirstFreeNumber_data()
{
    QTest::addColumn<int>("existing"); // names 1..existing are taken
    QTest::addColumn<QString>("expected");
    QTest::newRow("none taken") << 0 << NewName(1);
    QTest::newRow("1 taken") << 1 << NewName(2);
    QTest::newRow("1 to 9 taken") << 9 << Text("新しいフォルダ10");
}

void TestFolderTree::newFolderTakesFirstFreeNumber()
{
    QFETCH(int, existing);
    QFETCH(QString, expected);
    MakeDirs(Dir() + "a");
    for (int n = 1; n <= existing; ++n)
        MakeDirs(Dir() + NewName(n));
    QTreeWidgetItem *parent = Select(Dir());
    const int before = parent->childCount();

    m_tree->OnCommand(ID_FOLDER_NEW);

    QVERIFY(Exists(Dir() + expected));
    QCOMPARE(parent->childCount(), before + 1);
    QTreeWidgetItem *item = parent->child(before);
    QCOMPARE(item->text(0), expected);
    QCOMPARE(m_tree->currentItem(), item);
    QCOMPARE(CFolderTreeCtrl::Flags(item), FTF_COMPONENT | FTF_ENUMERATED);
    QVERIFY(Editor());
    QCOMPARE(Editor()->text(), expected);
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

void TestFolderTree::newFolderCancelledEditKeepsName()
{
    QTreeWidgetItem *parent = Select(Dir());
    m_tree->NewFolder();
    QVERIFY(Editor());
    QTest::keyClick(Editor(), Qt::Key_Escape);
    DeliverPosted();
    QCOMPARE(parent->child(0)->text(0), NewName(1));
    QVERIFY(Exists(Dir() + NewName(1)));
    QCOMPARE(m_tree->GetSelectedPath(), Dir() + NewName(1) + "/");
}

void TestFolderTree::newFolderReportsOnceAfter99Failures()
{
    MakeDirs(Dir() + "x");
    QTreeWidgetItem *x = Select(Dir() + "x/");
    std::filesystem::remove((Dir() + "x").toStdString()); // every mkdir in it now fails

    m_tree->NewFolder();

    QCOMPARE(m_boxes->m_boxes.size(), 1);
    QCOMPARE(m_boxes->m_boxes[0].text, QString::fromStdString(Platform::ErrorText(ENOENT)));
    QCOMPARE(m_boxes->m_boxes[0].caption, Text(FolderText::kCaptionError));
    QCOMPARE(x->childCount(), 0);
    QCOMPARE(m_tree->currentItem(), x);
}

void TestFolderTree::commandsDoNothingWithoutAFolder_data()
{
    QTest::addColumn<bool>("selectRoot");
    QTest::newRow("root selected") << true;
    QTest::newRow("nothing selected") << false;
}

void TestFolderTree::commandsDoNothingWithoutAFolder()
{
    QFETCH(bool, selectRoot);
    m_tree->setCurrentItem(selectRoot ? Root() : nullptr);
    m_boxes->m_nAnswer = QMessageBox::Yes;
    m_tree->OnCommand(ID_FOLDER_NEW);
    m_tree->OnCommand(ID_FOLDER_DELETE);
    QVERIFY(m_boxes->m_boxes.isEmpty());
    QCOMPARE(Root()->childCount(), 1 + int(Platform::Drives().size()));
    QVERIFY(Exists(m_home->Desktop()));

    m_tree->OnCommand(ID_FOLDER_REFRESH);
    QCOMPARE(m_tree->currentItem(), nullptr);
    m_tree->OnCommand(ID_FOLDER_HIDDEN);
    QCOMPARE(m_tree->currentItem(), nullptr);
}

void TestFolderTree::deleteFolder_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("withFile");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<int>("error"); // 0: no error message
    QTest::newRow("yes, empty") << int(QMessageBox::Yes) << false << true << 0;
    QTest::newRow("yes, not empty") << int(QMessageBox::Yes) << true << false << int(ENOTEMPTY);
    QTest::newRow("no") << int(QMessageBox::No) << false << false << 0;
}

void TestFolderTree::deleteFolder()
{
    QFETCH(int, answer);
    QFETCH(bool, withFile);
    QFETCH(bool, removed);
    QFETCH(int, error);
    MakeDirs(Dir() + "x");
    if (withFile)
        MakeFile(Dir() + "x/f");
    QTreeWidgetItem *parent = Select(Dir());
    Select(Dir() + "x/");
    m_boxes->m_nAnswer = answer;

    m_tree->OnCommand(ID_FOLDER_DELETE);

    QCOMPARE(m_boxes->m_boxes.size(), error ? 2 : 1);
    const CMessageRecorder::Box &question = m_boxes->m_boxes[0];
    QCOMPARE(question.text, Text(FolderText::kDeleteQuestion));
    QCOMPARE(question.caption, Text(FolderText::kCaptionConfirm));
    QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
    if (error) {
        QCOMPARE(m_boxes->m_boxes[1].text, QString::fromStdString(Platform::ErrorText(error)));
        QCOMPARE(m_boxes->m_boxes[1].caption, Text(FolderText::kCaptionError));
    }
    QCOMPARE(Exists(Dir() + "x"), !removed);
    QCOMPARE(parent->childCount(), removed ? 0 : 1);
    if (!removed)
        QCOMPARE(m_tree->GetSelectedPath(), Dir() + "x/");
}

void TestFolderTree::rename_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("error"); // 0: no error message
    QTest::newRow("new name") << "名前"
                              << "名前" << 0;
    QTest::newRow("onto an existing empty folder") << "other"
                                                   << "x" << int(EEXIST);
    QTest::newRow("onto an existing file") << "file"
                                           << "x" << int(EEXIST);
    QTest::newRow("empty") << ""
                           << "x" << 0;
    QTest::newRow("unchanged") << "x"
                               << "x" << 0;
    QTest::newRow("holding a /") << "other/y"
                                 << "x" << int(EINVAL);
}

void TestFolderTree::rename()
{
    QFETCH(QString, text);
    QFETCH(QString, label);
    QFETCH(int, error);
    MakeDirs(Dir() + "x");
    MakeDirs(Dir() + "other");
    MakeFile(Dir() + "file");
    Select(Dir());
    QTreeWidgetItem *x = Select(Dir() + "x/");
    QSignalSpy spy(m_tree.get(), &CFolderTreeCtrl::selchanged);

    EditLabel(x, text);

    QCOMPARE(x->text(0), label);
    QVERIFY(Exists(Dir() + label));
    QCOMPARE(Exists(Dir() + "x"), label == "x");
    QVERIFY(Exists(Dir() + "other") && !Exists(Dir() + "other/y"));
    QCOMPARE(m_boxes->m_boxes.size(), error ? 1 : 0);
    if (error) {
        QCOMPARE(m_boxes->m_boxes[0].text, QString::fromStdString(Platform::ErrorText(error)));
        QCOMPARE(m_boxes->m_boxes[0].caption, Text(FolderText::kCaptionError));
    }
    QCOMPARE(m_tree->currentItem(), x);
    // A rename tells the dialog the new path by selecting nothing and then the item again.
    QCOMPARE(spy.size(), label == "x" ? 0 : 2);
}

void TestFolderTree::renameMovesChildrenAlong()
{
    MakeDirs(Dir() + "x/child");
    QTreeWidgetItem *child = Select(Dir() + "x/child/");
    EditLabel(child->parent(), "y");
    QCOMPARE(m_tree->GetItemPath(child), Dir() + "y/child/");
    QVERIFY(Exists(Dir() + "y/child"));
}

void TestFolderTree::renameEndedBySelectingAnotherItemKeepsIt()
{
    MakeDirs(Dir() + "x");
    MakeDirs(Dir() + "y");
    QTreeWidgetItem *parent = Select(Dir());
    QTreeWidgetItem *x = parent->child(0);
    m_tree->setCurrentItem(x);
    m_tree->editItem(x, 0);
    QVERIFY(Editor());
    Editor()->setText("z");

    m_tree->setCurrentItem(parent->child(1)); // commits the edit
    DeliverPosted();

    QCOMPARE(x->text(0), QStringLiteral("z"));
    QVERIFY(Exists(Dir() + "z"));
    QCOMPARE(m_tree->GetSelectedPath(), Dir() + "y/");
}

void TestFolderTree::fixedItemsAreNeverRenamed_data()
{
    QTest::addColumn<int>("index"); // -1: the root, else a child of the root
    QTest::newRow("root") << -1;
    QTest::newRow("desktop") << 0;
    QTest::newRow("drive") << 1;
}

void TestFolderTree::fixedItemsAreNeverRenamed()
{
    QFETCH(int, index);
    QTreeWidgetItem *item = index < 0 ? Root() : Root()->child(index);
    const QString label = item->text(0);

    EditLabel(item, "renamed");

    QCOMPARE(item->text(0), label);
    QVERIFY(Exists(m_home->Desktop()));
    QVERIFY(!Exists(m_home->Home() + "renamed"));
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

void TestFolderTree::refreshSelectsDeepestRemainingAncestor()
{
    MakeDirs(Dir() + "a/b/c");
    Select(Dir() + "a/b/c/");
    std::error_code ec;
    std::filesystem::remove_all((Dir() + "a/b").toStdString(), ec);

    m_tree->OnCommand(ID_FOLDER_REFRESH);

    QCOMPARE(m_tree->GetSelectedPath(), Dir() + "a/");
    QCOMPARE(m_tree->currentItem()->childCount(), 0);
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

QString TestFolderTree::ShowMenuAndReadHiddenLabel()
{
    auto *menu = m_tree->findChild<QMenu *>();
    QString label;
    QTimer::singleShot(0, m_tree.get(), [&] {
        for (const QAction *action : menu->actions()) {
            if (action->data().toInt() == ID_FOLDER_HIDDEN)
                label = action->text();
        }
        if (QWidget *popup = QApplication::activePopupWidget())
            popup->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 400),
                            m_tree->viewport()->mapToGlobal(QPoint(5, 400)));
    QApplication::sendEvent(m_tree->viewport(), &event);
    return label;
}

void TestFolderTree::hiddenMenuLabelFollowsToggle_data()
{
    QTest::addColumn<int>("toggles");
    QTest::addColumn<QString>("label");
    QTest::newRow("at first") << 0 << Text(FolderText::kMenuShowHidden);
    QTest::newRow("after a toggle") << 1 << Text(FolderText::kMenuHideHidden);
    QTest::newRow("after two toggles") << 2 << Text(FolderText::kMenuShowHidden);
}

void TestFolderTree::hiddenMenuLabelFollowsToggle()
{
    QFETCH(int, toggles);
    QFETCH(QString, label);
    const QStringList expectedMenu = {Text(FolderText::kMenuNew),
                                      Text(FolderText::kMenuDelete),
                                      "",
                                      Text(FolderText::kMenuHidden),
                                      "",
                                      Text(FolderText::kMenuRefresh)};
    for (int i = 0; i < toggles; ++i)
        m_tree->OnCommand(ID_FOLDER_HIDDEN);
    QStringList menu;
    for (const QAction *action : m_tree->findChild<QMenu *>()->actions())
        menu << action->text();
    QCOMPARE(menu, expectedMenu); // as rebuilt by every toggle
    QCOMPARE(ShowMenuAndReadHiddenLabel(), label);
}

void TestFolderTree::rightClickSelectsOnlyAnItem_data()
{
    QTest::addColumn<bool>("onItem");
    QTest::newRow("on an item") << true;
    QTest::newRow("on empty space") << false;
}

void TestFolderTree::rightClickSelectsOnlyAnItem()
{
    QFETCH(bool, onItem);
    // Folders under the desktop item, so that the few rows leave empty space below them.
    MakeDirs(m_home->Desktop() + "a");
    QTreeWidgetItem *desktop = Root()->child(0);
    m_tree->setCurrentItem(desktop);
    QTreeWidgetItem *selected = desktop->child(0);
    m_tree->setCurrentItem(selected);
    QTreeWidgetItem *drive = Root()->child(1);
    const QPoint point = onItem ? m_tree->visualItemRect(drive).center()
                                : QPoint(5, m_tree->viewport()->height() - 5);
    QVERIFY(onItem == (m_tree->itemAt(point) != nullptr));
    QSignalSpy spy(m_tree.get(), &CFolderTreeCtrl::selchanged);

    // A real right click: the press reaches the view, then the context menu event.
    QTimer::singleShot(0, m_tree.get(), [] {
        if (QWidget *popup = QApplication::activePopupWidget())
            popup->close();
    });
    QTest::mousePress(m_tree->viewport(), Qt::RightButton, {}, point);
    QContextMenuEvent event(QContextMenuEvent::Mouse, point,
                            m_tree->viewport()->mapToGlobal(point));
    QApplication::sendEvent(m_tree->viewport(), &event);
    QTest::mouseRelease(m_tree->viewport(), Qt::RightButton, {}, point);

    QCOMPARE(m_tree->currentItem(), onItem ? drive : selected);
    QCOMPARE(spy.size(), onItem ? 1 : 0);
    if (onItem) // listed before the menu opened
        QCOMPARE(CFolderTreeCtrl::Flags(drive) & FTF_ENUMERATED, FTF_ENUMERATED);
}

QTEST_MAIN(TestFolderTree)
#include "FolderTreeTest.moc"
