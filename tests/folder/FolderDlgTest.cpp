#include "FolderDlg.h"
#include "DialogTemplate.h"
#include "DialogUnits.h"
#include "FolderTestSupport.h"
#include "FolderTreeCtrl.h"

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QPushButton>
#include <QSignalSpy>

#include <memory>

class TestFolderDlg : public QObject
{
    Q_OBJECT

    QString Dir() const { return m_g->Dir(); }
    CFolderTreeCtrl *Tree() const { return m_dlg->findChild<CFolderTreeCtrl *>("id1007"); }
    QLineEdit *Edit() const { return m_dlg->findChild<QLineEdit *>("id1008"); }

    const QString m_strStartFolder = QDir::currentPath();
    std::unique_ptr<CUiGround> m_g;
    std::unique_ptr<CFolderDlg> m_dlg;

private slots:
    // The chooser opens at the current folder: <temporary folder>/work.
    void init()
    {
        m_g = std::make_unique<CUiGround>();
        MakeDirs(Dir() + "work/sub");
        QVERIFY(QDir::setCurrent(Dir() + "work"));
        m_dlg = std::make_unique<CFolderDlg>();
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }
    void cleanup()
    {
        m_dlg.reset();
        QDir::setCurrent(m_strStartFolder);
        m_g.reset();
    }

    // Every control where its dialog units put it, in tab order from the first, which has the
    // focus at first; the font draws Japanese whichever family stood in for the template's.
    void layoutFollowsTemplate130()
    {
        const DialogTemplate *t = FindDialogTemplate(130);
        QVERIFY(QFontMetrics(m_dlg->font()).inFont(Text("選").at(0)));
        QCOMPARE(m_dlg->font().pointSize(), t->nPointSize);
        QCOMPARE(m_dlg->windowTitle(), Text(t->caption));
        const CDialogUnits du(m_dlg->font());
        QCOMPARE(m_dlg->size(), QSize(du.X(t->cx), du.Y(t->cy)));
        for (const ControlTemplate &c : t->controls) {
            auto *control = m_dlg->findChild<QWidget *>(QString("id%1").arg(c.nId));
            QCOMPARE(control->geometry(), du.Rect(c.x, c.y, c.cx, c.cy));
            QCOMPARE(QApplication::focusWidget(), control);
            QTest::keyClick(control, Qt::Key_Tab);
        }
        QVERIFY(!m_dlg->findChild<QPushButton *>("id1014")->autoDefault());
        QVERIFY(Tree()->editTriggers() & QAbstractItemView::EditKeyPressed); // F2 renames
        // Each number is rounded on its own: 7 * 6 / 4 = 10.5 and 289 * 6 / 4 = 433.5 round up,
        // 7 * 13 / 8 = 11.375 rounds down.
        QCOMPARE(CDialogUnits(6, 13).Rect(7, 7, 289, 189), QRect(11, 11, 434, 307));
        QCOMPARE(CDialogUnits(7, 15).Rect(246, 208, 50, 14), QRect(431, 390, 88, 26));
    }

    // A current folder that was removed selects nothing, and says nothing.
    void opensAtARemovedCurrentFolder()
    {
        QVERIFY(QDir::setCurrent(Dir() + "work/sub"));
        std::filesystem::remove((Dir() + "work/sub").toStdString());
        CFolderDlg dlg;
        QCOMPARE(dlg.findChild<CFolderTreeCtrl *>("id1007")->GetSelectedPath(), QString());
        QCOMPARE(dlg.findChild<QLineEdit *>("id1008")->text(), QString());
        QVERIFY(m_g->m_boxes.m_boxes.isEmpty());
    }

    // The field shows the selected folder's path from the start and after every change of the
    // selection, a rename and a new folder included; typing in the field selects nothing.
    void fieldFollowsSelection()
    {
        CFolderTreeCtrl *tree = Tree();
        QCOMPARE(tree->GetSelectedPath(), Dir() + "work/");
        QCOMPARE(Edit()->text(), Dir() + "work/");
        tree->setCurrentItem(tree->topLevelItem(0));
        QCOMPARE(Edit()->text(), QString());
        tree->setCurrentItem(tree->topLevelItem(0)->child(1));
        QCOMPARE(Edit()->text(), QStringLiteral("/"));
        tree->SelectPath(Dir() + "work/sub/");
        QCOMPARE(Edit()->text(), Dir() + "work/sub/");
        EditLabel(*tree, tree->currentItem(), "renamed");
        QCOMPARE(Edit()->text(), Dir() + "work/renamed/");
        tree->NewFolder();
        const QString created = Dir() + "work/renamed/" + Text("新しいフォルダ 1/");
        QCOMPARE(Edit()->text(), created);
        Edit()->setText(Dir());
        QCOMPARE(tree->GetSelectedPath(), created);
    }

    void keysAndChoose_data()
    {
        QTest::addColumn<int>("target"); // 1007 tree, 1008 field, 1014 the button
        QTest::addColumn<int>("key");    // 0: a click
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("result"); // -1: the dialog stays open
        const int open = -1, accepted = QDialog::Accepted;
        QTest::newRow("Return on the tree: nothing")
            << 1007 << int(Qt::Key_Return) << "/t/" << open;
        QTest::newRow("Enter in the field: nothing") << 1008 << int(Qt::Key_Enter) << "/t/" << open;
        QTest::newRow("Esc cancels") << 1008 << int(Qt::Key_Escape) << "/t/" << 0;
        // The field's text comes back unchanged, whatever it is.
        QTest::newRow("choose, empty") << 1014 << 0 << "" << accepted;
        QTest::newRow("choose, a missing folder") << 1014 << 0 << "/no/such" << accepted;
        QTest::newRow("choose, spaces kept") << 1014 << 0 << "  /tmp  " << accepted;
    }
    void keysAndChoose()
    {
        QFETCH(int, target);
        QFETCH(int, key);
        QFETCH(QString, typed);
        QFETCH(int, result);
        auto *widget = m_dlg->findChild<QWidget *>(QString("id%1").arg(target));
        Edit()->setText(typed);
        widget->setFocus();
        QSignalSpy finished(m_dlg.get(), &QDialog::finished);
        if (key)
            QTest::keyClick(widget, Qt::Key(key));
        else
            QTest::mouseClick(widget, Qt::LeftButton);
        QCOMPARE(finished.size(), result < 0 ? 0 : 1);
        QCOMPARE(m_dlg->isVisible(), result < 0);
        if (result >= 0)
            QCOMPARE(m_dlg->result(), result);
        QCOMPARE(m_dlg->GetPath(), result == QDialog::Accepted ? typed : QString());
    }
};

QTEST_MAIN(TestFolderDlg)
#include "FolderDlgTest.moc"
