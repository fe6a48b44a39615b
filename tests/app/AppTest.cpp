// The main window and its device chooser on the offscreen platform, and whole captures on lo
// through the window. (The program started without a display is tried by
// tests/setup/start-without-display.sh.)
#include "AppTexts.h"
#include "CaptureApp.h"
#include "CaptureDlg.h"
#include "ControlIds.h"
#include "FolderTestSupport.h"
#include "Hooks.h"
#include "LogQueue.h"
#include "Loopback.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "Platform.h"
#include "SignalWatcher.h"

#include <pcap/pcap.h>

#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kGenerous = 60000; // ms: only an upper bound for a wait that normally ends soon
const std::string kLine = "受" + std::string(95, 'x') + "\r\n"; // a log line of 100 bytes
// How a row of the capture table ends its capture: the Stop button, the window manager's close,
// Esc, the end of the session, or a signal, raised twice as by an impatient user.
enum class End { Stop, Close, Esc, Session, Signal };

// A name for libpcap's interface records, which hold writable strings.
char *Name(const char *text) { return const_cast<char *>(text); }

// The main window, shown, on a test's ground, with the user's part played by the test: boxes
// are answered; in every modal dialog (no modal loop runs) the next action of m_actions is
// done, and a dialog left open is then cancelled. m_boxes records the class of each dialog
// run among the boxes. The device chooser lists two interfaces of the test's (only lo exists)
// instead of the machine's; the desktop opens no folder.
struct CWindowGround : CUiGround
{
    CWindowGround() { m_dlg.show(); }
    template <class T = QPushButton> T *Control(int id) const
    {
        return m_dlg.findChild<T *>(Id(id));
    }
    QString Log() const { return Control<QPlainTextEdit>(IDC_EDIT_LOG)->toPlainText(); }
    void Append(const std::string &text) { m_dlg.GetHost().OnLogLine(text, LineKind::Progress); }
    QString At(QString s) const { return s.replace('@', Dir()); }
    // The title, then which controls are enabled: Stop, Capture, the check box, both fields,
    // both Select buttons and the log view. "10000001" during a capture, "00000001" once it was
    // asked to stop, "01111111" when no worker runs.
    QString Seen() const
    {
        QString seen = m_dlg.windowTitle() + ' ';
        for (int id : {IDC_BTN_STOP, IDC_BTN_CAPTURE, IDC_CHECK_COMBINE, IDC_EDIT_FOLDER,
                       IDC_EDIT_DEVICE, IDC_BTN_SELECT_DEVICE, IDC_BTN_SELECT_FOLDER, IDC_EDIT_LOG})
            seen += Control<QWidget>(id)->isEnabled() ? '1' : '0';
        return seen;
    }
    int Run(QDialog &dlg)
    {
        m_boxes.append(dlg.metaObject()->className());
        dlg.show();
        if (QTest::qWaitForWindowExposed(&dlg) && !m_actions.empty())
            m_actions.takeFirst()(dlg);
        if (dlg.isVisible())
            dlg.done(QDialog::Rejected);
        return dlg.result();
    }
    // Makes a connection of its own to listener that sends a mark; whether the mark is in a
    // stream file (Packet Combine mode) or a frame file of the test's folder. The mark names the
    // listener's port, so that another program's traffic on lo cannot show it.
    bool MarkSeen(CLoopbackListener &listener, bool combine) const
    {
        const QByteArray mark = "marlinox-mark-" + QByteArray::number(listener.GetPort());
        for (auto &c : listener.Connect(1))
            Exchange(c, Bytes(mark.begin(), mark.end()), {});
        for (const QString &name : QDir(Dir()).entryList({combine ? "p*-1.txt" : "p*.pd"})) {
            if (QFile f(Dir() + name); f.open(QIODevice::ReadOnly) && f.readAll().contains(mark))
                return true;
        }
        return false;
    }

    QList<std::function<void(QDialog &)>> m_actions;
    pcap_if_t m_devices[2] = {{&m_devices[1], Name("marlinox0"), Name("説明"), nullptr, 0},
                              {nullptr, Name("lo"), nullptr, nullptr, 0}};
    std::shared_ptr<void> m_hooks[3] = {
        Hook(CDeviceDlg::SetListSource,
             {[this](pcap_if_t **list, char *) { return *list = m_devices, 0; }, [](auto) {}}),
        Hook(SetModalRunner, [this](QDialog &dlg) { return Run(dlg); }),
        Hook(SetFolderOpener, [this](auto &) { ++m_nOpened; })};
    int m_nOpened = 0; // folders opened on the desktop
    CCaptureDlg m_dlg;
};

// A row of the Capture button's table: the fields, the answer to every question, what the user
// sees then and, for a capture started, how it is ended.
struct CCaptureRow
{
    QString device, folder; // typed; '@' stands for the test's folder, ending with '/'
    int answer;
    QStringList boxes; // caption|text, or a chooser's class; '@' as above
    // The mode and owner of the folder made for the capture, and the capture's folder.
    QString made = "", started = "";
    End end = End::Stop;
    bool combine = true; // Packet Combine mode, else RAW mode
    int signal = 0;      // End::Signal: the signal raised
};

} // namespace

Q_DECLARE_METATYPE(CCaptureRow)

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    // The log view. Enter does nothing anywhere, and Tab leaves the view, where typed text
    // counts towards its limit of 61440 bytes, each line break as CR LF; Qt's own texts are
    // Japanese too. The lines that the worker sends while this thread draws nothing give the
    // view of appends one at a time: 7000 lines of 100 bytes leave the last 235, as the view was
    // emptied before line 6766, when it held 61500 bytes. The worker's message box finds every
    // line before it drawn, and lines after a drawn batch are drawn as well (the second finds no
    // drain that the first may have left pending).
    void logView()
    {
        CWindowGround w;
        QVERIFY(QTest::qWaitForWindowExposed(&w.m_dlg));
        w.Append(QByteArray::fromStdString(kLine).repeated(614).toStdString() +
                 std::string(36, 'y') + "\r\n");
        auto *log = w.Control<QPlainTextEdit>(IDC_EDIT_LOG);
        log->setFocus();
        QTest::keyClicks(log, "ab"); // 61440 bytes
        QTest::keyClick(log, Qt::Key_Return);
        QTest::keyClick(w.Control<QLineEdit>(IDC_EDIT_DEVICE), Qt::Key_Return);
        QTest::keyClick(log, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.Control(IDC_BTN_CAPTURE));
        QCOMPARE(w.m_boxes, QStringList());
        w.Append("c"); // not more than 61440 bytes before it: kept
        QVERIFY(w.Log().endsWith("yy\nabc"));
        w.Append("d"); // 61441 bytes before it: emptied first
        QCOMPARE(w.Log(), QString("d"));
        QMessageBox box(QMessageBox::NoIcon, "", "", QMessageBox::Yes);
        QVERIFY(box.button(QMessageBox::Yes)->text().startsWith(Text("はい")));

        // The worker's lines, and what its message box finds drawn.
        QString atBox;
        const auto hook = Hook(Platform::SetMessageBoxHandler,
                               [&](auto &&...) { return atBox = w.Log() + '|', 0; });
        std::thread worker([&] {
            for (int i = 0; i < 7000; ++i)
                w.Append(kLine);
            w.m_dlg.GetHost().ShowMessage("end");
        });
        QTRY_VERIFY_WITH_TIMEOUT(!atBox.isEmpty(), kGenerous);
        worker.join();
        QCOMPARE(atBox, QString::fromStdString(kLine).replace("\r\n", "\n").repeated(235) + '|');
        for (const char *line : {"next\r\n", "more\r\n"}) {
            std::thread([&] { w.Append(line); }).join();
            QTRY_VERIFY(w.Log().endsWith(QString(line).replace("\r\n", "\n")));
        }
        // An emptying still to be drawn erases the view, whatever the user typed meanwhile.
        CLogQueue queue;
        queue.Push(std::string(61441, 'a'));
        queue.Push("b");
        queue.ViewChanged(61440);
        queue.Push("c");
        QCOMPARE(queue.Take().text, "bc");
    }

    // A real box, closed as soon as it shows: one whose caption is wider than its text leaves
    // the window manager room for the caption and its buttons, and uses the dialogs' font. The
    // device chooser opens centred on the main window, in the same place every time. The folder
    // chosen in the folder chooser fills the folder field; a cancelled chooser leaves it. A
    // signal watcher that goes puts the previous handlers back.
    void placement()
    {
        CWindowGround w;
        w.m_dlg.move(w.m_dlg.screen()->availableGeometry().center() - w.m_dlg.rect().center());
        QList<QPoint> centres;
        for (int i = 0; i < 3; ++i) {
            w.m_actions = {[&](QDialog &chooser) { centres.append(chooser.geometry().center()); }};
            QTest::mouseClick(w.Control(IDC_BTN_SELECT_DEVICE), Qt::LeftButton);
        }
        QCOMPARE(centres, QList<QPoint>(3, w.m_dlg.geometry().center()));
        w.m_actions = {[](QDialog &chooser) {
            chooser.findChild<QLineEdit *>(Id(IDC_EDIT_FOLDER))->setText("/chosen");
            QTest::mouseClick(chooser.findChild<QPushButton *>(Id(IDC_BTN_CHOOSE)), Qt::LeftButton);
        }};
        for (int i = 0; i < 2; ++i) // chosen, then cancelled
            QTest::mouseClick(w.Control(IDC_BTN_SELECT_FOLDER), Qt::LeftButton);
        QCOMPARE(w.Control<QLineEdit>(IDC_EDIT_FOLDER)->text(), QString("/chosen"));
        struct sigaction before = {}, after = {};
        ::sigaction(SIGHUP, nullptr, &before);
        (void)CSignalWatcher();
        ::sigaction(SIGHUP, nullptr, &after);
        QVERIFY(after.sa_handler == before.sa_handler);
        const auto real = Hook(Platform::SetMessageBoxHandler, {});
        QString title;
        int width = 0;
        QFont font;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            title = box->windowTitle(), width = box->width(), font = box->font();
            box->done(0);
        });
        w.m_dlg.MessageBox("x");
        QCOMPARE(title, Text(AppText::kCaptionApp));
        const QFontMetrics titleBar(QApplication::font("QMdiSubWindowTitleBar"));
        QVERIFY2(width >= titleBar.horizontalAdvance(title) + 160,
                 qPrintable(QString::number(width)));
        QCOMPARE(font, w.m_dlg.font());
    }

    void capture_data()
    {
        QTest::addColumn<CCaptureRow>("row");
        const auto row = [](const char *name, CCaptureRow row) { QTest::newRow(name) << row; };
        const QString dev = "none0", ok = Text("確認|") + Text(AppText::kConfirmOverwrite);
        const QString app = Text(AppText::kCaptionApp) + '|', error = Text("エラー|");
        const QString no = app + Text(AppText::kSpecifyBoth);
        const QString mine = "700 " + QString::number(::getuid());
        const int yes = QMessageBox::Yes;
        const auto create = [&](QString f) { return app + '@' + f + Text(AppText::kWillCreate); };
        // clang-format off
        row("both empty: both choosers, then the notice", {"", "", yes, {"CDeviceDlg", "CFolderDlg", no}});
        row("folder empty: its chooser, then the notice", {dev, "", yes, {"CFolderDlg", no}});
        row("a folder made, private; No", {dev, "@new", QMessageBox::No, {create("new"), ok}, mine});
        row("missing parent: the system's message", {dev, "@no/new", yes, {create("no/new"), error + Platform::ErrorText(ENOENT).c_str()}});
        row("a file in place of a folder", {dev, "/dev/null", yes, {error + "/dev/null" + Text(AppText::kNotFolder)}});
        row("No to the confirmation changes nothing", {dev, "@", QMessageBox::No, {ok}});
        row("without a trailing /; Esc", {dev, "@out", yes, {create("out"), ok}, mine, "@out/", End::Esc});
        row("with a trailing /; Stop", {dev, "@out/", yes, {create("out/"), ok}, mine, "@out/", End::Stop});
        row("the session ends", {dev, "@", yes, {ok}, "", "@", End::Session});
        for (int signal : {SIGINT, SIGHUP})
            row(strsignal(signal), {dev, "@", yes, {ok}, "", "@", End::Signal, true, signal});
        row("on lo, Packet Combine mode; Stop", {"lo", "@", yes, {ok}, "", "@", End::Stop});
        row("on lo, RAW mode; the window manager's close", {"lo", "@", yes, {ok}, "", "@", End::Close, false});
        row("on lo, Packet Combine mode; SIGTERM", {"lo", "@", yes, {ok}, "", "@", End::Signal, true, SIGTERM});
        row("on nflog, which no packet wakes; Stop", {"nflog", "@", yes, {ok}, "", "@", End::Stop, false});
        // clang-format on
    }
    // Capture checks the fields (choosers for empty ones), makes a missing folder after a
    // notice and asks before it starts. The device chooser lists the interfaces afresh on each
    // run, and a double-click picks one; the device typed over a pick is captured. A close
    // request during a capture acts as Stop, and the window stays open until the worker has
    // ended; one while it winds down does nothing. The end of the session and the ending
    // signals stop the capture, then close the window. On lo the test makes a TCP exchange,
    // then connections of its own until one shows in a file (the capture has read past the
    // exchange): the exchange is then in its files whole, or as far as the packets that the
    // kernel dropped allow.
    void capture()
    {
        QFETCH(CCaptureRow, row);
        const bool live = row.device == "lo", listens = live || row.device == "nflog";
        const bool closes = row.end == End::Session || row.end == End::Signal;
        const bool started = !row.started.isEmpty();
        if (live && ::geteuid() != 0)
            QSKIP("capturing on lo needs root");
        CWindowGround w;
        CSignalWatcher watcher;
        connect(&watcher, &CSignalWatcher::received, &w.m_dlg, &CCaptureDlg::EndSession);
        QSignalSpy finished(&w.m_dlg, &QDialog::finished);
        // A device picked first with a double-click on the chooser's first row.
        auto *list = w.Control<QTreeWidget>(IDC_LIST_DEVICE);
        w.m_actions = {[&](QDialog &) {
            const QPoint first = list->visualItemRect(list->topLevelItem(0)).center();
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first);
        }};
        QTest::mouseClick(w.Control(IDC_BTN_SELECT_DEVICE), Qt::LeftButton);
        QCOMPARE(w.Control<QLineEdit>(IDC_EDIT_DEVICE)->text(), QString("marlinox0"));
        w.m_boxes.clear();
        w.Control<QLineEdit>(IDC_EDIT_DEVICE)->setText(row.device); // none0: no such interface
        w.Control<QLineEdit>(IDC_EDIT_FOLDER)->setText(w.At(row.folder));
        auto *combine = w.Control<QCheckBox>(IDC_CHECK_COMBINE);
        QVERIFY(combine->isChecked()); // every window opens in Packet Combine mode
        combine->setChecked(row.combine);
        w.m_nAnswer = row.answer;
        QTest::mouseClick(w.Control(IDC_BTN_CAPTURE), Qt::LeftButton);

        QCOMPARE(w.m_boxes, row.boxes);
        // A cancelled chooser leaves the device field as it was. The chooser lists anew on each
        // run: each interface's name and description, if it has one.
        QCOMPARE(w.Control<QLineEdit>(IDC_EDIT_DEVICE)->text(), row.device);
        QStringList rows;
        for (const QTreeWidgetItem *item : list->findItems("*", Qt::MatchWildcard))
            rows << item->text(0) + '|' + item->text(1);
        QCOMPARE(rows, QStringList({"marlinox0|" + Text("説明"), "lo|"}));
        QCOMPARE(row.made.isEmpty() ? "" : ModeAndOwner(w.At(row.folder)), row.made);
        // Every request of the worker waits for this thread: the window has not changed yet.
        QCOMPARE(w.Seen(), started ? Text(AppText::kTitleStarted) + w.At(row.started) + " 10000001"
                                   : "Marlinox 01111111");
        if (!started)
            return;
        CLoopbackListener server;
        std::vector<CLoopbackConnection> connections;
        const Bytes up = PatternBytes(3000, 1), down = PatternBytes(5000, 2);
        // Once log.txt exists the interface is open; the capture may fail at once.
        const QString log = w.Dir() + "log.txt";
        if (listens)
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(log) || w.Seen().endsWith(" 01111111"),
                                     kGenerous);
        if (listens && !live && !QFileInfo::exists(log))
            QSKIP("the kernel offers no nflog here");
        if (live) {
            QVERIFY(QFileInfo::exists(log) && (connections = server.Connect(1)).size() == 1);
            Exchange(connections[0], up, down);
            QTRY_VERIFY_WITH_TIMEOUT(w.MarkSeen(server, row.combine), kGenerous);
        }
        if (row.end == End::Close)
            QVERIFY(!w.m_dlg.close());
        else if (row.end == End::Esc)
            QTest::keyClick(&w.m_dlg, Qt::Key_Escape);
        else if (row.end == End::Session)
            w.m_dlg.EndSession();
        else if (row.end == End::Signal)
            std::raise(row.signal), std::raise(row.signal);
        else
            QTest::mouseClick(w.Control(IDC_BTN_STOP), Qt::LeftButton);
        if (!closes) { // and a close request while it winds down does nothing
            QCOMPARE(w.Seen(), Text("終了処理中 00000001"));
            QTest::keyClick(&w.m_dlg, Qt::Key_Escape);
        }
        QTRY_COMPARE_WITH_TIMEOUT(w.Seen(), Text("キャプチャ終了 01111111"), kGenerous);
        // A typed name is opened as it stands; libpcap says why there is no such interface.
        QVERIFY(listens || (w.Log().startsWith(Text("デバイスを開けませんでした。\n")) &&
                            w.Log().count('\n') == 2 && !w.Log().endsWith("。\n\n")));
        // The folder opens after a capture, unless a signal or the session's end ends it.
        QCOMPARE(w.m_nOpened, listens && !closes ? 1 : 0);
        if (!closes)
            QTest::keyClick(&w.m_dlg, Qt::Key_Escape);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
        const long dropped = w.m_dlg.GetLastOutcome().nDropped;
        const int n = live ? StreamOfPort(w.m_tmp.Path(), connections[0].wClientPort) : 0;
        QVERIFY(!live || !row.combine || n > 0 || dropped > 0);
        for (int side = 1; row.combine && n > 0 && side <= 2; ++side) {
            const Bytes file = ReadFileBytes(w.m_tmp.Path() + StreamFileName(n, side));
            QCOMPARE(CheckCaptured(file, side == 1 ? up : down, dropped > 0), "");
        }
    }
};

int main(int argc, char **argv)
{
    CCaptureApp app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "AppTest.moc"
