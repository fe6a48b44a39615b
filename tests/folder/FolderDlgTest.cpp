#include "FolderDlg.h"
#include "DialogBuilder.h"
#include "DialogUnits.h"
#include "FolderTestSupport.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <unistd.h>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

// Runs the test from folder path, going back to where it was at the end.
class CChangeDir
{
public:
    explicit CChangeDir(const QString &path) : m_strBefore(Platform::CurrentFolder())
    {
        m_bOk = ::chdir(path.toStdString().c_str()) == 0;
    }
    ~CChangeDir() { (void)::chdir(m_strBefore.c_str()); }
    CChangeDir(const CChangeDir &) = delete;
    CChangeDir &operator=(const CChangeDir &) = delete;
    bool Ok() const { return m_bOk; }

private:
    std::string m_strBefore;
    bool m_bOk = false;
};

} // namespace

class TestFolderDlg : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void layoutFollowsTemplate130();
    void dialogUnitsRoundEachNumber_data();
    void dialogUnitsRoundEachNumber();
    void opensAtCurrentFolder_data();
    void opensAtCurrentFolder();
    void fieldFollowsSelection();
    void enterDoesNotClose_data();
    void enterDoesNotClose();
    void escapeCancels();
    void chooseHandsBackFieldText_data();
    void chooseHandsBackFieldText();

private:
    QString Dir() const { return QString::fromStdString(m_dir->Path()); }
    CFolderTreeCtrl *Tree() const { return m_dlg->findChild<CFolderTreeCtrl *>("id1007"); }
    QLineEdit *Edit() const { return m_dlg->findChild<QLineEdit *>("id1008"); }
    QPushButton *Choose() const { return m_dlg->findChild<QPushButton *>("id1014"); }

    std::unique_ptr<CTestHome> m_home;
    std::unique_ptr<CTempDir> m_dir;
    std::unique_ptr<CMessageRecorder> m_boxes;
    std::unique_ptr<CChangeDir> m_cwd;
    std::unique_ptr<CFolderDlg> m_dlg;
};

void TestFolderDlg::init()
{
    m_home = std::make_unique<CTestHome>();
    m_dir = std::make_unique<CTempDir>();
    m_boxes = std::make_unique<CMessageRecorder>();
    MakeDirs(Dir() + "work/sub");
    m_cwd = std::make_unique<CChangeDir>(Dir() + "work");
    QVERIFY(m_cwd->Ok());
    m_dlg = std::make_unique<CFolderDlg>();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestFolderDlg::cleanup()
{
    m_dlg.reset();
    m_cwd.reset();
    m_boxes.reset();
    m_dir.reset();
    m_home.reset();
}

void TestFolderDlg::layoutFollowsTemplate130()
{
    QCOMPARE(m_dlg->windowTitle(), Text("出力フォルダの選択"));
    // The dialog font must draw Japanese, whichever family stood in for the template's.
    QVERIFY(QFontMetrics(m_dlg->font()).inFont(Text("選").at(0)));
    QCOMPARE(m_dlg->font().pointSize(), 9);

    const CDialogUnits du(m_dlg->font());
    QCOMPARE(m_dlg->size(), QSize(du.X(303), du.Y(229)));
    QVERIFY(Tree() && Edit() && Choose());
    QCOMPARE(Tree()->geometry(), du.Rect(7, 7, 289, 189));
    QCOMPARE(Edit()->geometry(), du.Rect(7, 208, 232, 14));
    QCOMPARE(Choose()->geometry(), du.Rect(246, 208, 50, 14));
    QCOMPARE(Choose()->text(), Text("選択"));
    QVERIFY(!Choose()->isDefault() && !Choose()->autoDefault());

    // Tab order is template order, and the tree has the focus at first.
    QCOMPARE(QApplication::focusWidget(), Tree());
    QTest::keyClick(Tree(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), Edit());
    QTest::keyClick(Edit(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), Choose());
    QVERIFY(Tree()->editTriggers() & QAbstractItemView::EditKeyPressed);
}

void TestFolderDlg::dialogUnitsRoundEachNumber_data()
{
    QTest::addColumn<int>("baseX");
    QTest::addColumn<int>("baseY");
    QTest::addColumn<QRect>("dlu");
    QTest::addColumn<QRect>("pixels");
    // 7 * 6 / 4 = 10.5 rounds up; 289 * 6 / 4 = 433.5 rounds up; 7 * 13 / 8 = 11.375 rounds down.
    QTest::newRow("6 x 13") << 6 << 13 << QRect(7, 7, 289, 189) << QRect(11, 11, 434, 307);
    QTest::newRow("7 x 15") << 7 << 15 << QRect(246, 208, 50, 14) << QRect(431, 390, 88, 26);
}

void TestFolderDlg::dialogUnitsRoundEachNumber()
{
    QFETCH(int, baseX);
    QFETCH(int, baseY);
    QFETCH(QRect, dlu);
    QFETCH(QRect, pixels);
    const CDialogUnits du(baseX, baseY);
    QCOMPARE(du.Rect(dlu.x(), dlu.y(), dlu.width(), dlu.height()), pixels);
}

void TestFolderDlg::opensAtCurrentFolder_data()
{
    QTest::addColumn<QString>("cwd"); // relative to the temporary folder
    QTest::addColumn<bool>("removeCwd");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a folder") << "work/sub" << false << "work/sub/";
    QTest::newRow("a removed folder") << "gone" << true << "";
}

void TestFolderDlg::opensAtCurrentFolder()
{
    QFETCH(QString, cwd);
    QFETCH(bool, removeCwd);
    QFETCH(QString, expected);
    MakeDirs(Dir() + cwd);
    const CChangeDir change(Dir() + cwd);
    QVERIFY(change.Ok());
    if (removeCwd)
        std::filesystem::remove((Dir() + cwd).toStdString());

    CFolderDlg dlg;
    auto *tree = dlg.findChild<CFolderTreeCtrl *>("id1007");
    auto *edit = dlg.findChild<QLineEdit *>("id1008");
    const QString path = expected.isEmpty() ? QString() : Dir() + expected;
    QCOMPARE(tree->GetSelectedPath(), path);
    QCOMPARE(edit->text(), path);
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

void TestFolderDlg::fieldFollowsSelection()
{
    CFolderTreeCtrl *tree = Tree();
    QCOMPARE(Edit()->text(), Dir() + "work/");

    tree->setCurrentItem(tree->topLevelItem(0));
    QCOMPARE(Edit()->text(), QString());
    tree->setCurrentItem(tree->topLevelItem(0)->child(1));
    QCOMPARE(Edit()->text(), QStringLiteral("/"));

    tree->SelectPath(Dir() + "work/sub/");
    QCOMPARE(Edit()->text(), Dir() + "work/sub/");
    QTreeWidgetItem *sub = tree->currentItem();
    tree->editItem(sub, 0);
    auto *editor = tree->viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    editor->setText("renamed");
    QTest::keyClick(editor, Qt::Key_Return);
    for (int i = 0; i < 3; ++i) // the editor's commit and the tree's reselection are posted
        QCoreApplication::processEvents();
    QCOMPARE(Edit()->text(), Dir() + "work/renamed/");

    tree->NewFolder();
    QCOMPARE(Edit()->text(), Dir() + "work/renamed/" + Text("新しいフォルダ 1/"));

    // Typing in the field selects nothing.
    Edit()->setText(Dir());
    QCOMPARE(tree->GetSelectedPath(), Dir() + "work/renamed/" + Text("新しいフォルダ 1/"));
}

void TestFolderDlg::enterDoesNotClose_data()
{
    QTest::addColumn<int>("focus"); // 1007 tree, 1008 field
    QTest::addColumn<int>("key");
    QTest::newRow("Return on the tree") << 1007 << int(Qt::Key_Return);
    QTest::newRow("Enter on the tree") << 1007 << int(Qt::Key_Enter);
    QTest::newRow("Return in the field") << 1008 << int(Qt::Key_Return);
    QTest::newRow("Enter in the field") << 1008 << int(Qt::Key_Enter);
}

void TestFolderDlg::enterDoesNotClose()
{
    QFETCH(int, focus);
    QFETCH(int, key);
    QWidget *target = focus == 1007 ? static_cast<QWidget *>(Tree()) : Edit();
    target->setFocus();
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    QTest::keyClick(target, Qt::Key(key));
    QVERIFY(m_dlg->isVisible());
    QCOMPARE(finished.size(), 0);
    QCOMPARE(m_dlg->GetPath(), QString());
}

void TestFolderDlg::escapeCancels()
{
    Edit()->setText("/typed/");
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    QTest::keyClick(Edit(), Qt::Key_Escape);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
    QCOMPARE(m_dlg->GetPath(), QString());
}

void TestFolderDlg::chooseHandsBackFieldText_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << "";
    QTest::newRow("missing folder") << "/no/such/folder";
    QTest::newRow("relative, trailing /") << "relative/";
    QTest::newRow("spaces kept") << "  /tmp  ";
}

void TestFolderDlg::chooseHandsBackFieldText()
{
    QFETCH(QString, typed);
    Edit()->setText(typed);
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    QTest::mouseClick(Choose(), Qt::LeftButton);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_dlg->result(), int(QDialog::Accepted));
    QCOMPARE(m_dlg->GetPath(), typed);
}

QTEST_MAIN(TestFolderDlg)
#include "FolderDlgTest.moc"
