#include "CaptureDlg.h"
#include "AppTestSupport.h"
#include "AppTexts.h"
#include "DialogHost.h"
#include "LogQueue.h"
#include "Platform.h"
#include "SignalWatcher.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>

#include <csignal>
#include <memory>
#include <thread>

namespace {

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
        const std::string line = (i % 3 ? "Capture Packet " : "受信 ") + std::to_string(i);
        lines.push_back(line + std::string(size_t(i % 57), 'x') + "\r\n");
    }
    return lines;
}

const QString kIdle = "01111111";
const QString kCapturing = "10000001";

} // namespace

class TestCaptureDlg : public QObject
{
    Q_OBJECT

    QString Dir() const { return m_w->Dir(); }
    QPushButton *Button(int id) const { return m_w->Control<QPushButton>(id); }
    QLineEdit *Field(int id) const { return m_w->Control<QLineEdit>(id); }
    QString Log() const { return m_w->Control<QPlainTextEdit>(1004)->toPlainText(); }
    QString Title() const { return m_w->m_dlg.windowTitle(); }
    // Enabled state of Stop, check box, Capture, folder field, device field, both Select buttons
    // and the log view, as 0/1.
    QString States() const
    {
        QString s;
        for (int id : {1006, 1010, 1005, 1008, 1001, 1011, 1013, 1004})
            s += m_w->Control<QWidget>(id)->isEnabled() ? '1' : '0';
        return s;
    }
    // Starts a capture that the worker ends at once for want of a picked interface. Until the
    // test lets events run, the window stays capturing: every request of the worker waits.
    void StartCapture()
    {
        Field(1001)->setText("typed-not-picked");
        Field(1008)->setText(Dir());
        m_w->m_boxes.m_nAnswer = QMessageBox::Yes;
        QTest::mouseClick(Button(1005), Qt::LeftButton);
        QCOMPARE(States(), kCapturing);
        QCOMPARE(Title(), Text(AppText::kTitleStarted) + Dir());
    }
    // Once the worker has ended: idle, its last title and its one log line.
    void ExpectEnded()
    {
        QCOMPARE(States(), kIdle);
        QCOMPARE(Title(), Text("キャプチャ終了"));
        QCOMPARE(Log(), Text("デバイスが選択されていません。\n"));
        QVERIFY(m_w->m_opened.empty()); // no log.txt, so no folder to open
    }

    std::unique_ptr<CWindowGround> m_w;

private slots:
    void init()
    {
        m_w = std::make_unique<CWindowGround>();
        QVERIFY(QTest::qWaitForWindowExposed(&m_w->m_dlg));
    }
    void cleanup() { m_w.reset(); }

    // Idle in Packet Combine mode; Enter does nothing.
    void opensIdle()
    {
        QCOMPARE(Title(), QString("Marlinox"));
        QVERIFY(!m_w->m_dlg.windowIcon().pixmap(32).isNull());
        QVERIFY(m_w->Control<QCheckBox>(1010)->isChecked());
        QCOMPARE(States(), kIdle);
        Field(1001)->setFocus();
        QTest::keyClick(Field(1001), Qt::Key_Return);
        QVERIFY(m_w->m_dlg.isVisible() && m_w->m_boxes.m_boxes.isEmpty());
        QVERIFY(m_w->m_script.m_run.isEmpty());
    }

    void stop_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("Stop button") << 0;
        QTest::newRow("window manager's close") << 1;
        QTest::newRow("Esc") << 2;
        QTest::newRow("Stop after the worker's final title keeps it") << 3;
    }
    // A close request during a capture acts as Stop, and the window stays open until the worker
    // has ended; a close request while it winds down does nothing.
    void stop()
    {
        QFETCH(int, how);
        QSignalSpy finished(&m_w->m_dlg, &QDialog::finished);
        StartCapture();
        if (how == 3) // carried out on this thread before the worker's last request runs
            CDialogHost(m_w->m_dlg).SetTitle("キャプチャ終了");
        if (how == 1)
            QVERIFY(!m_w->m_dlg.close());
        else if (how == 2)
            QTest::keyClick(&m_w->m_dlg, Qt::Key_Escape);
        else
            QTest::mouseClick(Button(1006), Qt::LeftButton);
        QCOMPARE(States(), QString("00000001"));
        QCOMPARE(Title(), how == 3 ? Text("キャプチャ終了") : Text(AppText::kTitleStopping));
        QTest::keyClick(&m_w->m_dlg, Qt::Key_Escape);
        QVERIFY(m_w->m_dlg.isVisible());

        QTRY_COMPARE_WITH_TIMEOUT(States(), kIdle, kGenerous);
        ExpectEnded();
        QCOMPARE(finished.count(), 0);
        QTest::keyClick(&m_w->m_dlg, Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
    }

    void captureChecksFields_data()
    {
        QTest::addColumn<bool>("device");       // lo typed, else the field is empty
        QTest::addColumn<QString>("folder");    // %1: a fresh temporary folder, ending with '/'
        QTest::addColumn<int>("answer");        // to every question
        QTest::addColumn<QStringList>("boxes"); // caption|text; %1 as above, %2 the app's name
        QTest::addColumn<QString>("created");   // the folder of the capture, or none
        const QString confirm = Text("確認|") + Text(AppText::kConfirmOverwrite);
        const auto willCreate = [](const char *f) {
            return "%2|%1" + QString(f) + Text(AppText::kWillCreate);
        };
        const QString noFolder = Text("エラー|%1file") + Text(AppText::kNotFolder);
        const QString noParent = Text("エラー|") + Platform::ErrorText(ENOENT).c_str();
        const int yes = QMessageBox::Yes, no = QMessageBox::No;
        QTest::newRow("both empty: both choosers, then the notice")
            << false << QString() << yes << QStringList("%2|" + Text(AppText::kSpecifyBoth))
            << QString();
        QTest::newRow("missing folder created after the notice, then No")
            << true << "%1new" << no << QStringList{willCreate("new"), confirm} << QString();
        QTest::newRow("missing parent: the system's message")
            << true << "%1none/new" << yes << QStringList{willCreate("none/new"), noParent}
            << QString();
        QTest::newRow("a file in place of a folder")
            << true << "%1file" << yes << QStringList(noFolder) << QString();
        QTest::newRow("without trailing /")
            << true << "%1out" << yes << QStringList{willCreate("out"), confirm} << "out/";
        QTest::newRow("with trailing /")
            << true << "%1out/" << yes << QStringList{willCreate("out/"), confirm} << "out/";
        QTest::newRow("No to the confirmation changes nothing")
            << true << "%1" << no << QStringList(confirm) << QString();
    }
    void captureChecksFields()
    {
        QFETCH(bool, device);
        QFETCH(QString, folder);
        QFETCH(int, answer);
        QFETCH(QStringList, boxes);
        QFETCH(QString, created);
        MakeFile(Dir() + "file");
        Field(1001)->setText(device ? "lo" : "");
        Field(1008)->setText(folder.replace("%1", Dir()));
        m_w->m_dlg.AppendLog("earlier\r\n");
        m_w->m_boxes.m_nAnswer = answer;

        QTest::mouseClick(Button(1005), Qt::LeftButton);

        const QStringList choosers = {"CDeviceDlg", "CFolderDlg"};
        QCOMPARE(m_w->m_script.m_run, device ? QStringList() : choosers);
        const QString app = QCoreApplication::applicationName();
        for (QString &b : boxes)
            b.replace("%1", Dir()).replace("%2", app);
        QCOMPARE(m_w->m_boxes.m_boxes, boxes);
        const bool started = !created.isEmpty();
        QCOMPARE(Exists(Dir() + "new"), folder == Dir() + "new");
        QVERIFY(!Exists(Dir() + "none") && (!started || Exists(Dir() + created)));
        QCOMPARE(Title(), started ? Text(AppText::kTitleStarted) + Dir() + created : "Marlinox");
        QCOMPARE(States(), started ? kCapturing : kIdle);
        QCOMPARE(Log(), started ? QString() : QString("earlier\n"));
        QTRY_COMPARE_WITH_TIMEOUT(States(), kIdle, kGenerous);
    }

    void appendLogEmptiesAboveLimit_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("emptied");
        // 20478 three-byte characters and six bytes: 61440 bytes, but only 20484 characters.
        const QString wide(20478, QChar(0x3042));
        QTest::newRow("exactly 61440 bytes: appended") << wide + "abcd\r\n" << false;
        QTest::newRow("61441 bytes: emptied first") << wide + "abcde\r\n" << true;
    }
    void appendLogEmptiesAboveLimit()
    {
        QFETCH(QString, before);
        QFETCH(bool, emptied);
        auto *view = m_w->Control<QPlainTextEdit>(1004);
        m_w->m_dlg.AppendLog(before.toStdString());
        view->moveCursor(QTextCursor::Start); // the caret does not matter
        m_w->m_dlg.AppendLog("次の行\r\n");
        const QString shown = emptied ? QString() : before.replace("\r\n", "\n");
        QCOMPARE(Log(), shown + Text("次の行\n"));
        // One line per "\r\n", and no blank line between them.
        QCOMPARE(view->document()->blockCount(), Log().count('\n') + 1);
        QVERIFY(!view->document()->isUndoAvailable());
    }

    // However much the worker sends while the UI thread draws nothing, the queue holds at most
    // the limit and one line, and drawing what it holds gives the view of one-by-one appends.
    void queueDropsOnlyWhatTheRuleErases()
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

    // Through the window: all lines come from a worker thread, then a message box, which must
    // find every line before it drawn.
    void workerLinesMatchOneByOne()
    {
        const std::string start = std::string(61000, 'p') + "\r\n";
        m_w->m_dlg.AppendLog(start);
        const std::vector<std::string> lines = ManyLines(30000);
        QString atMessage;
        const CHook<Platform::MessageBoxHandler> hook(
            Platform::SetMessageBoxHandler,
            [&](QWidget *, const QString &, const QString &, QMessageBox::StandardButtons) {
                atMessage = Log();
                return int(QMessageBox::Ok);
            });
        CDialogHost host(m_w->m_dlg);
        std::thread([&] {
            for (const std::string &line : lines)
                host.AppendLog(line, LineKind::Progress);
        }).join();
        std::thread asker([&] { host.ShowMessage("end"); });
        QTRY_VERIFY_WITH_TIMEOUT(!atMessage.isEmpty(), kGenerous);
        asker.join();
        QCOMPARE(atMessage, OneByOne(lines, start));
        QCOMPARE(Log(), atMessage);
    }

    void endingDuringCaptureStopsThenCloses_data()
    {
        QTest::addColumn<int>("signal"); // 0: the end of the session
        QTest::newRow("session ends") << 0;
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void endingDuringCaptureStopsThenCloses()
    {
        QFETCH(int, signal);
        CSignalWatcher watcher;
        QVERIFY(watcher.IsActive());
        connect(&watcher, &CSignalWatcher::received, &m_w->m_dlg, &CCaptureDlg::EndSession);
        QSignalSpy finished(&m_w->m_dlg, &QDialog::finished);
        StartCapture();
        if (signal)
            std::raise(signal);
        else
            m_w->m_dlg.EndSession();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
        ExpectEnded();
    }

    // The open device chooser is cancelled, and nothing else is asked.
    void endingCancelsAnOpenChooser()
    {
        QSignalSpy finished(&m_w->m_dlg, &QDialog::finished);
        m_w->m_script.m_actions.push_back([this](QDialog &) { m_w->m_dlg.EndSession(); });
        QTest::mouseClick(Button(1005), Qt::LeftButton);
        QCOMPARE(m_w->m_script.m_run, QStringList{"CDeviceDlg"});
        QCOMPARE(m_w->m_script.m_leftOpen, QList<bool>{false});
        QVERIFY(m_w->m_boxes.m_boxes.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
    }

    void programEndsOnSigterm()
    {
        QProcess program;
        program.start(MARLINOX_EXECUTABLE, {"-platform", "offscreen"});
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
};

QTEST_MAIN(TestCaptureDlg)
#include "CaptureDlgTest.moc"
