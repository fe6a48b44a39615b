#include "CaptureDlg.h"
#include "AppTestSupport.h"
#include "DialogHost.h"
#include "LogQueue.h"
#include "Platform.h"
#include "SignalWatcher.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <thread>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

const char *const kConfirm =
    "このプログラムはファイルの上書き確認をしません。\r\nよろしいですか？\r\n"
    "(生成されるファイル：log.txt,px.pd)";
constexpr int kGenerous = 30000; // ms; only an upper bound for a wait that normally ends at once

// The log view after appending each text one at a time under the emptying rule: before an
// append, more than 61440 bytes empties the view. Line ends as the view shows them.
QString OneByOne(const std::vector<std::string> &texts, std::string view = {})
{
    for (const std::string &t : texts) {
        if (view.size() > 61440)
            view.clear();
        view += t;
    }
    return QString::fromUtf8(view).replace("\r\n", "\n");
}

// Log lines of many lengths, some Japanese, as a busy capture writes them.
std::vector<std::string> ManyLines(int count)
{
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        std::string line =
            i % 3 ? "Capture Packet " + std::to_string(i) : "受信 " + std::to_string(i);
        lines.push_back(line + std::string(size_t(i % 57), 'x') + "\r\n");
    }
    return lines;
}

} // namespace

class TestCaptureDlg : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensIdleInPacketCombineMode();
    void stopFlows_data();
    void stopFlows();
    void stopAfterTheFinalTitleKeepsIt();
    void captureChecksFields_data();
    void captureChecksFields();
    void appendLogEmptiesAboveLimit_data();
    void appendLogEmptiesAboveLimit();
    void queueDropsOnlyWhatTheRuleErases();
    void workerLinesMatchOneByOne();
    void endingDuringCaptureStopsThenCloses_data();
    void endingDuringCaptureStopsThenCloses();
    void endingCancelsAnOpenChooser();
    void programEndsOnSigterm();

private:
    QPushButton *Button(int id) const
    {
        return m_dlg->findChild<QPushButton *>(QString("id%1").arg(id));
    }
    QLineEdit *Field(int id) const
    {
        return m_dlg->findChild<QLineEdit *>(QString("id%1").arg(id));
    }
    QCheckBox *Check() const { return m_dlg->findChild<QCheckBox *>("id1010"); }
    QPlainTextEdit *Log() const { return m_dlg->findChild<QPlainTextEdit *>("id1004"); }
    QString Dir() const { return QString::fromStdString(m_dir->Path()); }
    QString States() const;
    QStringList Boxes() const;
    void StartCapture();
    bool WaitIdle() const;

    std::unique_ptr<CTempDir> m_dir;
    std::unique_ptr<CMessageRecorder> m_boxes;
    std::unique_ptr<CModalScript> m_script;
    std::unique_ptr<CFolderOpenRecorder> m_opened;
    std::unique_ptr<CCaptureDlg> m_dlg;
};

void TestCaptureDlg::init()
{
    m_dir = std::make_unique<CTempDir>();
    m_boxes = std::make_unique<CMessageRecorder>();
    m_script = std::make_unique<CModalScript>();
    m_opened = std::make_unique<CFolderOpenRecorder>();
    m_dlg = std::make_unique<CCaptureDlg>();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestCaptureDlg::cleanup()
{
    m_dlg.reset();
    m_opened.reset();
    m_script.reset();
    m_boxes.reset();
    m_dir.reset();
}

// Enabled state of Stop, check box, Capture, folder field, device field, both Select buttons
// and the log view, as 0/1.
QString TestCaptureDlg::States() const
{
    QString s;
    for (QWidget *w :
         std::initializer_list<QWidget *>{Button(1006), Check(), Button(1005), Field(1008),
                                          Field(1001), Button(1011), Button(1013), Log()})
        s += w->isEnabled() ? '1' : '0';
    return s;
}

// Every box shown so far, as "caption|text".
QStringList TestCaptureDlg::Boxes() const
{
    QStringList boxes;
    for (const CMessageRecorder::Box &b : m_boxes->m_boxes)
        boxes.append(b.caption + '|' + b.text);
    return boxes;
}

// Starts a capture that the worker ends at once for want of a picked interface. Until the test
// lets events run, the window stays in its capturing state: every request of the worker waits.
void TestCaptureDlg::StartCapture()
{
    Field(1001)->setText("typed-not-picked");
    Field(1008)->setText(Dir());
    m_boxes->m_nAnswer = QMessageBox::Yes;
    QTest::mouseClick(Button(1005), Qt::LeftButton);
}

bool TestCaptureDlg::WaitIdle() const
{
    return QTest::qWaitFor([this] { return Button(1005)->isEnabled(); }, kGenerous);
}

void TestCaptureDlg::opensIdleInPacketCombineMode()
{
    QCOMPARE(m_dlg->windowTitle(), QString("Marlinox"));
    QVERIFY(!m_dlg->windowIcon().pixmap(32).isNull());
    QVERIFY(Check()->isChecked());
    QCOMPARE(States(), QString("01111111"));
    QCOMPARE(Check()->text(), Text("パケットを組み立てて出力する"));
    QCOMPARE(Button(1005)->text(), Text("キャプチャー"));

    // Enter does nothing, whichever control has the focus.
    Field(1001)->setFocus();
    QTest::keyClick(Field(1001), Qt::Key_Return);
    QVERIFY(m_dlg->isVisible());
    QVERIFY(m_boxes->m_boxes.isEmpty());
    QVERIFY(m_script->m_run.isEmpty());
}

void TestCaptureDlg::stopFlows_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("Stop button") << 0;
    QTest::newRow("window manager's close") << 1;
    QTest::newRow("Esc") << 2;
}

void TestCaptureDlg::stopFlows()
{
    QFETCH(int, how);
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    StartCapture();
    QCOMPARE(States(), QString("10000001"));
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ開始 : ") + Dir());

    if (how == 0)
        QTest::mouseClick(Button(1006), Qt::LeftButton);
    else if (how == 1)
        QVERIFY(!m_dlg->close());
    else
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    QCOMPARE(States(), QString("00000001"));
    QCOMPARE(m_dlg->windowTitle(), Text("終了処理中"));
    // While the worker winds down, a close request does nothing.
    QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    QVERIFY(m_dlg->isVisible());

    QVERIFY(WaitIdle());
    QCOMPARE(States(), QString("01111111"));
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
    QCOMPARE(Log()->toPlainText(), Text("デバイスが選択されていません。\n"));
    QVERIFY(m_opened->m_paths.empty()); // no log.txt, so no folder to open
    QCOMPARE(finished.count(), 0);
    QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    QCOMPARE(finished.count(), 1);
}

void TestCaptureDlg::stopAfterTheFinalTitleKeepsIt()
{
    StartCapture();
    // The worker's final title, carried out on this thread before its last request runs.
    CDialogHost(*m_dlg).SetTitle("キャプチャ終了");
    QTest::mouseClick(Button(1006), Qt::LeftButton);
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
    QVERIFY(WaitIdle());
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
}

void TestCaptureDlg::captureChecksFields_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("folder"); // %1: a fresh temporary folder, ending with '/'
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("boxes"); // caption|text; %1 as above, %2 the app's name
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("created"); // a folder that exists afterwards, or empty

    const QString confirm = Text("確認|") + Text(kConfirm);
    const int yes = QMessageBox::Yes;
    const int no = QMessageBox::No;
    QTest::newRow("both empty: both choosers, then the notice")
        << ""
        << "" << yes << QStringList{Text("%2|デバイス・フォルダを指定してください。")} << "Marlinox"
        << "";
    QTest::newRow("missing folder is created after the notice")
        << "lo"
        << "%1new" << no << QStringList{Text("%2|%1new\r\nは存在しないので作成します。"), confirm}
        << "Marlinox"
        << "%1new";
    QTest::newRow("missing parent: the system's message")
        << "lo"
        << "%1none/new" << yes
        << QStringList{Text("%2|%1none/new\r\nは存在しないので作成します。"),
                       Text("エラー|") +
                           QString::fromLocal8Bit(Platform::ErrorText(ENOENT).c_str())}
        << "Marlinox"
        << "";
    QTest::newRow("a file in place of a folder")
        << "lo"
        << "%1file" << yes << QStringList{Text("エラー|%1file\r\nはフォルダではありません。")}
        << "Marlinox"
        << "";
    QTest::newRow("without trailing slash")
        << "lo"
        << "%1out" << yes << QStringList{Text("%2|%1out\r\nは存在しないので作成します。"), confirm}
        << Text("キャプチャ開始 : %1out/") << "%1out";
    QTest::newRow("with trailing slash")
        << "lo"
        << "%1out/" << yes
        << QStringList{Text("%2|%1out/\r\nは存在しないので作成します。"), confirm}
        << Text("キャプチャ開始 : %1out/") << "%1out";
    QTest::newRow("No to the confirmation changes nothing")
        << "lo"
        << "%1" << no << QStringList{confirm} << "Marlinox"
        << "";
}

void TestCaptureDlg::captureChecksFields()
{
    QFETCH(QString, device);
    QFETCH(QString, folder);
    QFETCH(int, answer);
    QFETCH(QStringList, boxes);
    QFETCH(QString, title);
    QFETCH(QString, created);
    const QString app = QCoreApplication::applicationName();
    MakeFile(Dir() + "file");
    Field(1001)->setText(device);
    Field(1008)->setText(folder.replace("%1", Dir()));
    m_dlg->AppendLog("earlier\r\n");
    m_boxes->m_nAnswer = answer;

    QTest::mouseClick(Button(1005), Qt::LeftButton);

    const QStringList choosers = {"CDeviceDlg", "CFolderDlg"};
    QCOMPARE(m_script->m_run, device.isEmpty() ? choosers : QStringList());
    QStringList expected;
    for (const QString &b : boxes)
        expected.append(QString(b).replace("%1", Dir()).replace("%2", app));
    QCOMPARE(Boxes(), expected);
    QCOMPARE(m_dlg->windowTitle(), title.replace("%1", Dir()));
    if (!created.isEmpty())
        QVERIFY(Exists(created.replace("%1", Dir())));
    QVERIFY(!Exists(Dir() + "none"));
    const bool started = title != "Marlinox";
    QCOMPARE(States(), started ? QString("10000001") : QString("01111111"));
    QCOMPARE(Log()->toPlainText(), started ? QString() : QString("earlier\n"));
    QVERIFY(WaitIdle());
}

void TestCaptureDlg::appendLogEmptiesAboveLimit_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("emptied");
    // 20478 three-byte characters and six bytes: 61440 bytes, but only 20484 characters.
    const QString wide(20478, QChar(0x3042));
    QTest::newRow("exactly 61440 bytes: appended") << wide + "abcd\r\n" << false;
    QTest::newRow("61441 bytes: emptied first") << wide + "abcde\r\n" << true;
    QTest::newRow("short: appended") << QString("a\r\nb\r\n") << false;
}

void TestCaptureDlg::appendLogEmptiesAboveLimit()
{
    QFETCH(QString, before);
    QFETCH(bool, emptied);
    m_dlg->AppendLog(before.toStdString());
    Log()->moveCursor(QTextCursor::Start); // the caret does not matter

    m_dlg->AppendLog("次の行\r\n");

    const QString shown = QString(before).replace("\r\n", "\n");
    QCOMPARE(Log()->toPlainText(), (emptied ? QString() : shown) + Text("次の行\n"));
    // One line per "\r\n", and no blank line between them.
    QCOMPARE(Log()->document()->blockCount(), Log()->toPlainText().count('\n') + 1);
    QVERIFY(!Log()->document()->isUndoAvailable());
}

void TestCaptureDlg::queueDropsOnlyWhatTheRuleErases()
{
    const std::vector<std::string> lines = ManyLines(200000);
    CLogQueue queue;
    size_t longest = 0;
    for (const std::string &line : lines) {
        queue.Push(line);
        longest = std::max(longest, line.size());
        QVERIFY(queue.QueuedBytes() <= CLogQueue::kLimit + longest);
    }
    const CLogQueue::CBatch batch = queue.Take();
    QVERIFY(batch.bClear);
    QCOMPARE(QString::fromUtf8(batch.text).replace("\r\n", "\n"), OneByOne(lines));
}

void TestCaptureDlg::workerLinesMatchOneByOne()
{
    m_dlg->AppendLog(std::string(61000, 'p') + "\r\n");
    const std::vector<std::string> lines = ManyLines(30000);
    QString atMessage;
    m_boxes->m_nAnswer = QMessageBox::Ok;
    Platform::SetMessageBoxHandler(
        [&](QWidget *, const QString &, const QString &, QMessageBox::StandardButtons) {
            atMessage = Log()->toPlainText();
            return int(QMessageBox::Ok);
        });
    CDialogHost host(*m_dlg);

    // All lines come while this thread draws nothing; the message box comes after them.
    std::thread worker([&] {
        for (const std::string &line : lines)
            host.AppendLog(line);
    });
    worker.join();
    std::thread asker([&] { host.ShowMessage("end"); });
    QTRY_VERIFY_WITH_TIMEOUT(!atMessage.isEmpty(), kGenerous);
    asker.join();

    const QString expected = OneByOne(lines, std::string(61000, 'p') + "\r\n");
    QCOMPARE(atMessage, expected);
    QCOMPARE(Log()->toPlainText(), expected);
}

void TestCaptureDlg::endingDuringCaptureStopsThenCloses_data()
{
    QTest::addColumn<int>("signal"); // 0: the end of the session
    QTest::newRow("session ends") << 0;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestCaptureDlg::endingDuringCaptureStopsThenCloses()
{
    QFETCH(int, signal);
    CSignalWatcher watcher;
    QVERIFY(watcher.IsActive());
    connect(&watcher, &CSignalWatcher::received, m_dlg.get(), &CCaptureDlg::EndSession);
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    StartCapture();

    if (signal)
        std::raise(signal);
    else
        m_dlg->EndSession();

    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
    QCOMPARE(States(), QString("01111111"));
    QCOMPARE(Log()->toPlainText(), Text("デバイスが選択されていません。\n"));
}

void TestCaptureDlg::endingCancelsAnOpenChooser()
{
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    m_script->m_actions.push_back([this](QDialog &) { m_dlg->EndSession(); });

    QTest::mouseClick(Button(1005), Qt::LeftButton);

    // The device chooser was cancelled, and nothing else was asked.
    QCOMPARE(m_script->m_run, QStringList{"CDeviceDlg"});
    QCOMPARE(m_script->m_leftOpen, QList<bool>{false});
    QVERIFY(m_boxes->m_boxes.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
}

void TestCaptureDlg::programEndsOnSigterm()
{
    QProcess program;
    program.setProgram(MARLINOX_EXECUTABLE);
    program.setArguments({"-platform", "offscreen"});
    program.start();
    QVERIFY(program.waitForStarted(kGenerous));
    // The dialog font is reported once the window is being built, after the handlers are in.
    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += program.readAllStandardError()).contains("Dialog font"),
                             kGenerous);
    program.terminate();
    QVERIFY(program.waitForFinished(kGenerous));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_MAIN(TestCaptureDlg)
#include "CaptureDlgTest.moc"
