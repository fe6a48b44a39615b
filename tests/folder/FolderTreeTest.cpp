#include "FolderTestSupport.h"
#include "FolderTexts.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QSignalSpy>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

QString Error(int code) { return Text("エラー|") + Platform::ErrorText(code).c_str(); }
QString NewName(int n)
{
    return QStringLiteral("%1%2").arg(Text(FolderText::kNewFolder)).arg(n, 2);
}

QStringList Labels(const QTreeWidgetItem *item)
{
    QStringList labels;
    for (int i = 0; item && i < item->childCount(); ++i)
        labels << item->child(i)->text(0);
    return labels;
}

} // namespace

class TestFolderTree : public QObject
{
    Q_OBJECT

    QString Dir() const { return m_g->Dir(); }
    QString Desktop() const { return m_g->m_home.Desktop(); }
    QStringList &Boxes() const { return m_g->m_boxes.m_boxes; }
    QTreeWidgetItem *Root() const { return m_tree->topLevelItem(0); }
    QTreeWidgetItem *Select(const QString &path)
    {
        m_tree->SelectPath(path);
        return m_tree->currentItem();
    }

    std::unique_ptr<CUiGround> m_g;
    std::unique_ptr<CFolderTreeCtrl> m_tree;

private slots:
    void init()
    {
        m_g = std::make_unique<CUiGround>();
        m_tree = std::make_unique<CFolderTreeCtrl>();
        m_tree->resize(400, 600);
        m_tree->setEditTriggers(QAbstractItemView::SelectedClicked |
                                QAbstractItemView::EditKeyPressed);
        m_tree->show();
        m_tree->InitTree();
    }
    void cleanup()
    {
        m_tree.reset();
        m_g.reset();
    }

    // Files and dangling links are never listed, dot-folders only while shown, and a folder is
    // read once: only a refresh lists what came later.
    void listingRules()
    {
        for (const char *name : {"a", "b", ".hidden", "..twodots", "名前"})
            MakeDirs(Dir() + Text(name));
        MakeFile(Dir() + "file.txt");
        MakeFile(Dir() + ".hiddenfile");
        std::filesystem::create_directory_symlink((Dir() + "a").toStdString(),
                                                  (Dir() + "link").toStdString());
        std::filesystem::create_directory_symlink((Dir() + "gone").toStdString(),
                                                  (Dir() + "dangling").toStdString());
        const QStringList visible = {"a", "b", "link", "名前"};
        const QStringList all = {"..twodots", ".hidden", "a", "b", "link", "名前"};
        Select(Dir());
        for (const QStringList &expected : {visible, all, visible}) {
            QCOMPARE(m_tree->GetSelectedPath(), Dir()); // a toggle reselects the same folder
            QCOMPARE(Labels(m_tree->currentItem()), expected);
            m_tree->OnCommand(ID_FOLDER_HIDDEN);
        }
        QTreeWidgetItem *item = m_tree->currentItem();
        MakeDirs(Dir() + "later");
        m_tree->setCurrentItem(Root());
        m_tree->setCurrentItem(item);
        QCOMPARE(Labels(item), all);
        m_tree->OnCommand(ID_FOLDER_REFRESH);
        QCOMPARE(Labels(m_tree->currentItem()),
                 (QStringList{"..twodots", ".hidden", "a", "b", "later", "link", "名前"}));
        QVERIFY(Boxes().isEmpty());
    }

    void unlistableFolderReportsEachTime()
    {
        MakeDirs(Dir() + "x");
        QTreeWidgetItem *parent = Select(Dir());
        std::filesystem::remove((Dir() + "x").toStdString());
        const QString box = QCoreApplication::applicationName() + '|' + Dir() + "x/" +
                            Text(FolderText::kCannotAccess);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            m_tree->setCurrentItem(parent->child(0));
            m_tree->setCurrentItem(parent);
            QCOMPARE(Boxes(), QStringList(attempt, box));
        }
        QCOMPARE(m_tree->SelectPath(Dir() + "x/y/"), 0); // stops where the listing failed
        QCOMPARE(m_tree->GetSelectedPath(), Dir() + "x/");
    }

    void selectPath_data()
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
    void selectPath()
    {
        QFETCH(QString, path);
        QFETCH(int, result);
        QFETCH(QString, selected);
        MakeDirs(Dir() + "a/b");
        QCOMPARE(m_tree->SelectPath(path.replace('@', Dir())), result);
        QCOMPARE(m_tree->GetSelectedPath(), selected.replace('@', Dir()));
        QTreeWidgetItem *current = m_tree->currentItem();
        QCOMPARE(current != nullptr, !selected.isEmpty());
        for (QTreeWidgetItem *p = current ? current->parent() : nullptr; p; p = p->parent())
            QVERIFY(p->isExpanded());
    }

    void newFolder_data()
    {
        QTest::addColumn<int>("taken"); // names 1..taken exist
        QTest::addColumn<QString>("expected");
        QTest::newRow("1 taken") << 1 << NewName(2);
        QTest::newRow("1 to 9 taken") << 9 << Text("新しいフォルダ10");
        QTest::newRow("all 99 taken: one error") << 99 << QString();
    }
    // The new folder is made on disk, selected and opened for editing; Esc keeps its name.
    void newFolder()
    {
        QFETCH(int, taken);
        QFETCH(QString, expected);
        for (int n = 1; n <= taken; ++n)
            MakeDirs(Dir() + NewName(n));
        QTreeWidgetItem *parent = Select(Dir());

        m_tree->OnCommand(ID_FOLDER_NEW);

        QCOMPARE(Boxes(), expected.isEmpty() ? QStringList{Error(EEXIST)} : QStringList());
        QCOMPARE(parent->childCount(), taken + !expected.isEmpty());
        if (expected.isEmpty()) {
            QCOMPARE(m_tree->currentItem(), parent);
            return;
        }
        QCOMPARE(Editor(*m_tree)->text(), expected);
        QTest::keyClick(Editor(*m_tree), Qt::Key_Escape);
        DeliverPosted();
        QCOMPARE(m_tree->currentItem(), parent->child(taken));
        QCOMPARE(m_tree->GetSelectedPath(), Dir() + expected + "/");
        QVERIFY(Exists(Dir() + expected));
    }

    // The root is no folder: it lists nothing, has no path, and the commands leave it alone.
    void commandsDoNothingWithoutAFolder()
    {
        m_g->m_boxes.m_nAnswer = QMessageBox::Yes;
        for (QTreeWidgetItem *item : {Root(), static_cast<QTreeWidgetItem *>(nullptr)}) {
            QSignalSpy spy(m_tree.get(), &CFolderTreeCtrl::selchanged);
            m_tree->setCurrentItem(item);
            QCOMPARE(spy.size(), item ? 1 : 0);
            QCOMPARE(m_tree->GetSelectedPath(), QString());
            for (int id : {ID_FOLDER_NEW, ID_FOLDER_DELETE, ID_FOLDER_REFRESH, ID_FOLDER_HIDDEN})
                m_tree->OnCommand(id);
            QVERIFY(Boxes().isEmpty() && Exists(Desktop()));
            QCOMPARE(Root()->childCount(), 1 + int(Platform::Drives().size()));
            QCOMPARE(m_tree->currentItem(), nullptr);
        }
    }

    void deleteFolder_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("withFile");
        QTest::addColumn<int>("error"); // 0: no error message
        QTest::newRow("yes, empty") << int(QMessageBox::Yes) << false << 0;
        QTest::newRow("yes, not empty") << int(QMessageBox::Yes) << true << int(ENOTEMPTY);
        QTest::newRow("no") << int(QMessageBox::No) << false << 0;
    }
    void deleteFolder()
    {
        QFETCH(int, answer);
        QFETCH(bool, withFile);
        QFETCH(int, error);
        MakeDirs(Dir() + "x");
        if (withFile)
            MakeFile(Dir() + "x/f");
        QTreeWidgetItem *parent = Select(Dir());
        Select(Dir() + "x/");
        m_g->m_boxes.m_nAnswer = answer;

        m_tree->OnCommand(ID_FOLDER_DELETE);

        const QString question = Text("確認|") + Text(FolderText::kDeleteQuestion);
        QCOMPARE(Boxes(), error ? QStringList({question, Error(error)}) : QStringList(question));
        QCOMPARE(m_g->m_boxes.m_buttons[0], QMessageBox::Yes | QMessageBox::No);
        const bool removed = answer == QMessageBox::Yes && !error;
        QCOMPARE(Exists(Dir() + "x"), !removed);
        QCOMPARE(parent->childCount(), removed ? 0 : 1);
        QCOMPARE(m_tree->GetSelectedPath(), removed ? Dir() : Dir() + "x/");
    }

    void rename_data()
    {
        QTest::addColumn<int>("item"); // -1: the root, 0: the desktop, 1: the drive, 2: x
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("label"); // empty: the label stays
        QTest::addColumn<int>("error");     // 0: no error message
        QTest::newRow("new name") << 2 << "名前"
                                  << "名前" << 0;
        QTest::newRow("onto an existing empty folder") << 2 << "other" << QString() << EEXIST;
        QTest::newRow("onto an existing file") << 2 << "file" << QString() << EEXIST;
        QTest::newRow("holding a /") << 2 << "other/y" << QString() << EINVAL;
        QTest::newRow("empty") << 2 << "" << QString() << 0;
        QTest::newRow("unchanged") << 2 << "x" << QString() << 0;
        QTest::newRow("root, never renamed") << -1 << "renamed" << QString() << 0;
        QTest::newRow("desktop, never renamed") << 0 << "renamed" << QString() << 0;
        QTest::newRow("drive, never renamed") << 1 << "renamed" << QString() << 0;
    }
    void rename()
    {
        QFETCH(int, item);
        QFETCH(QString, text);
        QFETCH(QString, label);
        QFETCH(int, error);
        MakeDirs(Dir() + "x/child");
        MakeDirs(Dir() + "other");
        MakeFile(Dir() + "file");
        QTreeWidgetItem *child = Select(Dir() + "x/child/");
        QTreeWidgetItem *edited = item > 1   ? child->parent()
                                  : item < 0 ? Root()
                                             : Root()->child(item);
        const QString before = edited->text(0);
        m_tree->setCurrentItem(edited);
        QSignalSpy spy(m_tree.get(), &CFolderTreeCtrl::selchanged);

        EditLabel(*m_tree, edited, text);

        QCOMPARE(edited->text(0), label.isEmpty() ? before : label);
        const QString x = label.isEmpty() ? "x" : label;
        QCOMPARE(m_tree->GetItemPath(child), Dir() + x + "/child/"); // children move along
        QVERIFY(Exists(Dir() + x + "/child") && Exists(Desktop()));
        QCOMPARE(Exists(Dir() + "x"), label.isEmpty());
        QVERIFY(!Exists(Dir() + "other/y") && !Exists(m_g->m_home.Home() + "renamed"));
        QCOMPARE(Boxes(), error ? QStringList{Error(error)} : QStringList());
        QCOMPARE(m_tree->currentItem(), edited);
        // A rename tells the dialog the new path by selecting nothing and then the item again.
        QCOMPARE(spy.size(), label.isEmpty() ? 0 : 2);
    }

    void renameEndedBySelectingAnotherItemKeepsIt()
    {
        MakeDirs(Dir() + "x");
        MakeDirs(Dir() + "y");
        QTreeWidgetItem *x = Select(Dir() + "x/");
        m_tree->editItem(x, 0);
        Editor(*m_tree)->setText("z");
        m_tree->setCurrentItem(x->parent()->child(1)); // commits the edit
        DeliverPosted();
        QCOMPARE(x->text(0), QStringLiteral("z"));
        QVERIFY(Exists(Dir() + "z"));
        QCOMPARE(m_tree->GetSelectedPath(), Dir() + "y/");
    }

    void refreshSelectsDeepestRemainingAncestor()
    {
        MakeDirs(Dir() + "a/b/c");
        Select(Dir() + "a/b/c/");
        std::error_code ec;
        std::filesystem::remove_all((Dir() + "a/b").toStdString(), ec);
        m_tree->OnCommand(ID_FOLDER_REFRESH);
        QCOMPARE(m_tree->GetSelectedPath(), Dir() + "a/");
        QCOMPARE(m_tree->currentItem()->childCount(), 0);
        QVERIFY(Boxes().isEmpty());
    }

    void rightClick_data()
    {
        QTest::addColumn<bool>("onItem");
        QTest::addColumn<int>("toggles");
        QTest::addColumn<QString>("label"); // of command 103 while the menu is shown
        QTest::newRow("on an item") << true << 0 << Text(FolderText::kMenuShowHidden);
        QTest::newRow("on empty space") << false << 0 << Text(FolderText::kMenuShowHidden);
        QTest::newRow("after a toggle") << false << 1 << Text(FolderText::kMenuHideHidden);
        QTest::newRow("after two toggles") << false << 2 << Text(FolderText::kMenuShowHidden);
    }
    // A right click on an item selects (and lists) it before the menu opens; on empty space the
    // selection stays. The menu holds commands 101 to 104, and 103 says what a toggle would do.
    void rightClick()
    {
        QFETCH(bool, onItem);
        QFETCH(int, toggles);
        QFETCH(QString, label);
        for (int i = 0; i < toggles; ++i)
            m_tree->OnCommand(ID_FOLDER_HIDDEN);
        // A folder under the desktop item, so that the few rows leave empty space below them.
        MakeDirs(Desktop() + "a");
        m_tree->setCurrentItem(Root()->child(0));
        QTreeWidgetItem *selected = Root()->child(0)->child(0);
        m_tree->setCurrentItem(selected);
        QCOMPARE(m_tree->GetSelectedPath(), Desktop() + "a/");
        QTreeWidgetItem *drive = Root()->child(1);
        const QPoint point = onItem ? m_tree->visualItemRect(drive).center()
                                    : QPoint(5, m_tree->viewport()->height() - 5);
        QCOMPARE(m_tree->itemAt(point) != nullptr, onItem);
        QSignalSpy spy(m_tree.get(), &CFolderTreeCtrl::selchanged);

        QString shown;
        QList<int> ids;
        QTimer::singleShot(0, m_tree.get(), [&] {
            for (const QAction *action : m_tree->findChild<QMenu *>()->actions()) {
                if (!action->isSeparator())
                    ids << action->data().toInt();
                if (action->data().toInt() == ID_FOLDER_HIDDEN)
                    shown = action->text();
            }
            QApplication::activePopupWidget()->close();
        });
        // A real right click: the press reaches the view, then the context menu event.
        QTest::mousePress(m_tree->viewport(), Qt::RightButton, {}, point);
        QContextMenuEvent event(QContextMenuEvent::Mouse, point,
                                m_tree->viewport()->mapToGlobal(point));
        QApplication::sendEvent(m_tree->viewport(), &event);
        QTest::mouseRelease(m_tree->viewport(), Qt::RightButton, {}, point);

        QCOMPARE(shown, label);
        QCOMPARE(ids, (QList<int>{101, 102, 103, 104}));
        QCOMPARE(m_tree->currentItem(), onItem ? drive : selected);
        QCOMPARE(spy.size(), int(onItem));
        QCOMPARE(Labels(drive).isEmpty(), !onItem); // listed before the menu opened
    }
};

QTEST_MAIN(TestFolderTree)
#include "FolderTreeTest.moc"
