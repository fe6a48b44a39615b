// The device chooser and the main window on the offscreen platform, the program itself, and
// whole captures on lo through the main window.
#include "AppTestSupport.h"
#include "AppTexts.h"
#include "CaptureApp.h"
#include "LogQueue.h"
#include "Platform.h"
#include "SignalWatcher.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

const QString kIdle = "01111111", kCapturing = "10000001";
// How a capture is ended in the stop table, besides the signals.
constexpr int kStop = 0, kClose = -1, kEsc = -2, kAfterTitle = -3, kSession = -4;

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

// The log view after appending each text one at a time under the emptying rule.
QString OneByOne(const std::vector<std::string> &texts)
{
    std::string view;
    for (const std::string &t : texts) {
        if (view.size() > 61440)
            view.clear();
        view += t;
    }
    return QString::fromUtf8(view).replace("\r\n", "\n");
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Pattern(int size, char seed)
{
    QByteArray s(size, '\0');
    for (int i = 0; i < size; ++i)
        s[i] = char(seed + i % 61);
    return s;
}

// Whether data can be what was sent as far as a capture saw it: each byte is the byte sent at
// its offset, or a zero where a segment was lost.
bool Fits(const QByteArray &data, const QByteArray &sent)
{
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (i >= sent.size() || (data[i] != sent[i] && data[i] != 0))
            return false;
    }
    return true;
}

// Sends data from one end of a connection; whether the other end received exactly that.
bool Send(QTcpSocket &from, QTcpSocket &to, const QByteArray &data)
{
    from.write(data);
    from.waitForBytesWritten(kGenerous);
    QByteArray got;
    while (got.size() < data.size() && to.waitForReadyRead(kGenerous))
        got += to.readAll();
    return got == data;
}

bool Close(QTcpSocket &socket)
{
    socket.disconnectFromHost();
    return socket.state() == QAbstractSocket::UnconnectedState ||
           socket.waitForDisconnected(kGenerous);
}

// One TCP connection on 127.0.0.1: the client sends toServer, the server answers toClient, and
// both close. Before it, a connection attempt to a port where nothing listens (a SYN and its
// RST), so that a capture in Packet Combine mode has a waiting stream for the exchange's SYN.
bool Exchange(const QByteArray &toServer, const QByteArray &toClient)
{
    QTcpServer server;
    QTcpSocket probe, client;
    if (!server.listen(QHostAddress::LocalHost))
        return false;
    const quint16 port = server.serverPort();
    server.close();
    probe.connectToHost(QHostAddress::LocalHost, port);
    if (probe.waitForConnected(kGenerous) || !server.listen(QHostAddress::LocalHost))
        return false;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!client.waitForConnected(kGenerous) || !server.waitForNewConnection(kGenerous))
        return false;
    QTcpSocket *peer = server.nextPendingConnection();
    return Send(client, *peer, toServer) && Send(*peer, client, toClient) && Close(client) &&
           Close(*peer);
}

} // namespace

class TestDeviceDlg : public QObject
{
    Q_OBJECT

private slots:
    void secondRun_data()
    {
        QTest::addColumn<int>("key"); // 0: a double-click on the row
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("fail"); // the second list cannot be had
        QTest::addColumn<QString>("picked");
        QTest::newRow("double-click picks the first row") << 0 << 0 << false << "eth0";
        QTest::newRow("one without a description") << 0 << 1 << false << "lo";
        QTest::newRow("Esc cancels") << int(Qt::Key_Escape) << 0 << false << "wlp2s0";
        QTest::newRow("Return does nothing") << int(Qt::Key_Return) << 0 << false << "wlp2s0";
        QTest::newRow("no list: no rows") << int(Qt::Key_Escape) << -1 << true << "wlp2s0";
    }
    // A first run picks the last row; a second run shows a fresh list and picks another row or
    // keeps the first pick, whose record stays readable. The lists go back with the chooser.
    void secondRun()
    {
        QFETCH(int, key);
        QFETCH(int, row);
        QFETCH(bool, fail);
        QFETCH(QString, picked);
        CFakeDevices devices({{"eth0", "Intel Ethernet"}, {"lo", nullptr}, {"wlp2s0", "無線 LAN"}});
        CModalScript script;
        auto dlg = std::make_unique<CDeviceDlg>();
        auto *list = dlg->findChild<QTreeWidget *>("id1003");
        QStringList shown;
        script.m_actions = {[](QDialog &d) { DoubleClickDevice(d, "wlp2s0"); },
                            [&](QDialog &d) {
                                for (int i = 0; i < list->topLevelItemCount(); ++i) {
                                    const QTreeWidgetItem *item = list->topLevelItem(i);
                                    shown << item->text(0) + '|' + item->text(1);
                                }
                                list->setFocus();
                                list->setCurrentItem(list->topLevelItem(row)); // not picked yet
                                if (key)
                                    QTest::keyClick(list, Qt::Key(key));
                                else
                                    DoubleClickDevice(d, shown.value(row).section('|', 0, 0));
                            }};
        QCOMPARE(dlg->DoModal(), int(QDialog::Accepted));
        const pcap_if *first = dlg->GetSelectedDevice();
        devices.m_bFail = fail;
        QCOMPARE(dlg->DoModal(), key ? int(QDialog::Rejected) : int(QDialog::Accepted));
        const QStringList rows = {"eth0|Intel Ethernet", "lo|", Text("wlp2s0|無線 LAN")};
        QCOMPARE(shown, fail ? QStringList() : rows);
        QCOMPARE(list->headerItem()->text(0) + '|' + list->headerItem()->text(1),
                 Text("デバイス名|詳細"));
        QCOMPARE(list->columnWidth(0) + list->columnWidth(1), 800);
        QCOMPARE(dlg->GetSelectedDevice()->name, picked);
        QCOMPARE(dlg->GetSelectedDevice() == first, bool(key));
        dlg.reset();
        QCOMPARE(devices.m_nFreed, fail ? 1 : 2);
    }
};

class TestCaptureDlg : public QObject
{
    Q_OBJECT

    QString Dir() const { return m_w->Dir(); }
    QPushButton *Button(int id) const { return m_w->Control<QPushButton>(id); }
    QLineEdit *Field(int id) const { return m_w->Control<QLineEdit>(id); }
    QString Title() const { return m_w->m_dlg.windowTitle(); }
    // Enabled state of Stop, check box, Capture, folder field, device field, both Select
    // buttons and the log view, as 0/1.
    QString States() const
    {
        QString s;
        for (int id : {1006, 1010, 1005, 1008, 1001, 1011, 1013, 1004})
            s += m_w->Control<QWidget>(id)->isEnabled() ? '1' : '0';
        return s;
    }

    std::unique_ptr<CWindowGround> m_w;

private slots:
    void init()
    {
        m_w = std::make_unique<CWindowGround>();
        QVERIFY(QTest::qWaitForWindowExposed(&m_w->m_dlg));
    }
    void cleanup() { m_w.reset(); }

    // Idle in Packet Combine mode. Enter does nothing anywhere, and Tab leaves the log view,
    // where typed text counts towards its limit of 61440 bytes, each line break as CR LF.
    void opensIdleAndKeys()
    {
        QCOMPARE(Title(), QString("Marlinox"));
        QVERIFY(!m_w->m_dlg.windowIcon().isNull() && m_w->Control<QCheckBox>(1010)->isChecked());
        QCOMPARE(States(), kIdle);
        std::string text;
        for (int i = 0; i < 614; ++i)
            text += "受" + std::string(95, 'x') + "\r\n"; // 100 bytes
        ICaptureHost &host = m_w->m_dlg.GetHost();
        host.AppendLog(text + std::string(36, 'y') + "\r\n", LineKind::Progress);
        auto *log = m_w->Control<QPlainTextEdit>(1004);
        log->setFocus();
        QTest::keyClicks(log, "ab"); // 61440 bytes
        QTest::keyClick(log, Qt::Key_Return);
        QTest::keyClick(Field(1001), Qt::Key_Return);
        QTest::keyClick(log, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), Button(1005));
        QVERIFY(m_w->m_dlg.isVisible() && m_w->m_boxes.isEmpty() && m_w->m_script.m_run.isEmpty());
        host.AppendLog("c", LineKind::Progress); // not more than 61440 bytes before it: kept
        QVERIFY(m_w->Log().endsWith("yy\nabc"));
        host.AppendLog("d", LineKind::Progress); // 61441 bytes before it: emptied first
        QCOMPARE(m_w->Log(), QString("d"));
    }

    void stop_data()
    {
        QTest::addColumn<int>("how"); // kStop..kSession, or a signal
        QTest::addColumn<bool>("closes");
        QTest::newRow("Stop button") << kStop << false;
        QTest::newRow("window manager's close") << kClose << false;
        QTest::newRow("Esc") << kEsc << false;
        QTest::newRow("Stop after the worker's final title keeps it") << kAfterTitle << false;
        QTest::newRow("the session ends") << kSession << true;
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            QTest::newRow(strsignal(signal)) << signal << true;
    }
    // A close request during a capture acts as Stop, and the window stays open until the worker
    // has ended; a close request while it winds down does nothing. The end of the session and
    // the ending signals stop the capture, then close the window.
    void stop()
    {
        QFETCH(int, how);
        QFETCH(bool, closes);
        CSignalWatcher watcher;
        connect(&watcher, &CSignalWatcher::received, &m_w->m_dlg, &CCaptureDlg::EndSession);
        QSignalSpy finished(&m_w->m_dlg, &QDialog::finished);
        Field(1001)->setText("marlinox-none"); // no such interface: the worker ends at once
        Field(1008)->setText(Dir());
        m_w->m_nAnswer = QMessageBox::Yes;
        QTest::mouseClick(Button(1005), Qt::LeftButton);
        QCOMPARE(Title(), Text(AppText::kTitleStarted) + Dir());
        QCOMPARE(States(), kCapturing); // every request of the worker waits for this thread
        if (how == kAfterTitle)
            m_w->m_dlg.GetHost().SetTitle("キャプチャ終了");
        if (how == kClose)
            QVERIFY(!m_w->m_dlg.close());
        else if (how == kEsc)
            QTest::keyClick(&m_w->m_dlg, Qt::Key_Escape);
        else if (how == kSession)
            m_w->m_dlg.EndSession();
        else if (how > 0)
            std::raise(how);
        else
            QTest::mouseClick(Button(1006), Qt::LeftButton);
        if (!closes) {
            QCOMPARE(States(), QString("00000001"));
            QCOMPARE(Title(), how == kAfterTitle ? Text("キャプチャ終了") : Text("終了処理中"));
            QTest::keyClick(&m_w->m_dlg, Qt::Key_Escape);
        }
        QTRY_COMPARE_WITH_TIMEOUT(States(), kIdle, kGenerous);
        QCOMPARE(Title(), Text("キャプチャ終了"));
        QCOMPARE(m_w->Log(), Text("デバイスが選択されていません。\n"));
        QVERIFY(m_w->m_opened.empty()); // no log.txt, so no folder to open
        if (!closes)
            QTest::keyClick(&m_w->m_dlg, Qt::Key_Escape);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
    }

    void captureChecksFields_data()
    {
        QTest::addColumn<QString>("device");    // typed
        QTest::addColumn<QString>("folder");    // "@": the test's folder, ending with '/'
        QTest::addColumn<int>("answer");        // to every question
        QTest::addColumn<QStringList>("boxes"); // caption|text; "@" as above, "%" the app's name
        QTest::addColumn<QStringList>("choosers");
        QTest::addColumn<QString>("started"); // the capture's folder
        QTest::addColumn<QString>("made");    // mode and owner of a folder made for it
        const auto row = [](const char *name, QString device, QString folder, int answer,
                            QStringList boxes, QString started = "", QString made = "",
                            QStringList choosers = {}) {
            QTest::newRow(name) << device << folder << answer << boxes << choosers << started
                                << made;
        };
        const QString ok = "%|@", dev = "marlinox-none"; // names no interface
        const QString confirm = Text("確認|") + Text(AppText::kConfirmOverwrite);
        const QString mine = "700 " + QString::number(::getuid()), error = Text("エラー|");
        const int yes = QMessageBox::Yes, no = QMessageBox::No;
        // clang-format off
        row("both empty: both choosers, then the notice", "", "", yes,
            {"%|" + Text(AppText::kSpecifyBoth)}, "", "", {"CDeviceDlg", "CFolderDlg"});
        row("folder empty: its chooser, then the notice", dev, "", yes,
            {"%|" + Text(AppText::kSpecifyBoth)}, "", "", {"CFolderDlg"});
        row("missing folder made after the notice, then No", dev, "@new", no,
            {ok + "new" + Text(AppText::kWillCreate), confirm}, "", mine);
        row("through sudo the folder made is the user's", dev, "@new", no,
            {ok + "new" + Text(AppText::kWillCreate), confirm}, "", "700 65534");
        row("missing parent: the system's message", dev, "@no/new", yes,
            {ok + "no/new" + Text(AppText::kWillCreate), error + Platform::ErrorText(ENOENT).c_str()});
        row("a file in place of a folder", dev, "@file", yes, {error + "@file" + Text(AppText::kNotFolder)});
        row("without trailing /", dev, "@out", yes, {ok + "out" + Text(AppText::kWillCreate), confirm}, "@out/", mine);
        row("with trailing /", dev, "@out/", yes, {ok + "out/" + Text(AppText::kWillCreate), confirm}, "@out/");
        row("No to the confirmation changes nothing", dev, "@", no, {confirm});
        // clang-format on
    }
    void captureChecksFields()
    {
        QFETCH(QString, device);
        QFETCH(QString, folder);
        QFETCH(int, answer);
        QFETCH(QStringList, boxes);
        QFETCH(QStringList, choosers);
        QFETCH(QString, started);
        QFETCH(QString, made);
        const bool sudo = made.endsWith(" 65534");
        if (sudo && ::getuid() != 0)
            QSKIP("handing a folder to another user needs root");
        const auto at = [this](QString s) {
            return s.replace('@', Dir()).replace('%', QCoreApplication::applicationName());
        };
        MakeFile(Dir() + "file");
        Field(1001)->setText(device);
        Field(1008)->setText(at(folder));
        m_w->m_dlg.GetHost().AppendLog("earlier\r\n", LineKind::Progress);
        m_w->m_nAnswer = answer;
        if (sudo) {
            qputenv("SUDO_UID", "65534");
            qputenv("SUDO_GID", "65534");
        }
        QTest::mouseClick(Button(1005), Qt::LeftButton);
        qunsetenv("SUDO_UID");
        qunsetenv("SUDO_GID");

        QCOMPARE(m_w->m_script.m_run, choosers);
        for (QString &b : boxes)
            b = at(b);
        QCOMPARE(m_w->m_boxes, boxes);
        QCOMPARE(Title(),
                 started.isEmpty() ? "Marlinox" : Text(AppText::kTitleStarted) + at(started));
        QCOMPARE(States(), started.isEmpty() ? kIdle : kCapturing);
        QCOMPARE(m_w->Log(), started.isEmpty() ? "earlier\n" : "");
        if (!made.isEmpty())
            QCOMPARE(ModeAndOwner(at(folder)), made);
        QVERIFY(!Exists(Dir() + "no"));
        QTRY_COMPARE_WITH_TIMEOUT(States(), kIdle, kGenerous);
    }

    // However many lines the worker sends while this thread draws nothing, they give the view
    // of one-by-one appends; its message box finds every line before it drawn, and lines
    // after a drawn batch are drawn as well.
    void workerLog()
    {
        ICaptureHost &host = m_w->m_dlg.GetHost();
        const std::vector<std::string> lines = ManyLines(30000);
        QString atMessage;
        const CHook<Platform::MessageBoxHandler> hook(
            Platform::SetMessageBoxHandler,
            [&](QWidget *, const QString &, const QString &, QMessageBox::StandardButtons) {
                atMessage = m_w->Log();
                return int(QMessageBox::Ok);
            });
        std::thread worker([&] {
            for (const std::string &line : lines)
                host.AppendLog(line, LineKind::Progress);
            host.ShowMessage("end");
        });
        QTRY_VERIFY_WITH_TIMEOUT(!atMessage.isEmpty(), kGenerous);
        worker.join();
        QCOMPARE(atMessage, OneByOne(lines));
        std::thread([&] { host.AppendLog("next\r\n", LineKind::Progress); }).join();
        QTRY_COMPARE(m_w->Log(), atMessage + "next\n");
    }

    // An emptying still to be drawn erases the view whatever the user typed into it meanwhile.
    void logQueueEmptyingPending()
    {
        CLogQueue queue;
        queue.Push(std::string(61441, 'a'));
        queue.Push("b");
        queue.ViewChanged(61440);
        queue.Push("c");
        const CLogQueue::CBatch batch = queue.Take();
        QVERIFY(batch.bClear);
        QCOMPARE(batch.text, "bc");
    }

    void qtTextsInJapanese()
    {
        QMessageBox box(QMessageBox::NoIcon, "", "", QMessageBox::Yes | QMessageBox::No);
        QVERIFY(box.button(QMessageBox::Yes)->text().startsWith(Text("はい")));
        QVERIFY(box.button(QMessageBox::No)->text().startsWith(Text("いいえ")));
    }

    void program_data()
    {
        QTest::addColumn<QString>("env"); // besides: no QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("error");
        QTest::newRow("until SIGTERM") << "QT_QPA_PLATFORM=offscreen" << 0 << QByteArray();
        QTest::newRow("no display: one line")
            << "DISPLAY=:99" << 1
            << QByteArray("marlinox: cannot connect to a display (DISPLAY=:99); the window needs "
                          "one. Without a display use marlinox-cli (marlinox-cli --help).\n");
    }
    void program()
    {
        QFETCH(QString, env);
        QFETCH(int, status);
        QFETCH(QByteArray, error);
        QProcessEnvironment vars = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            vars.remove(name);
        vars.insert(env.section('=', 0, 0), env.section('=', 1));
        QProcess program;
        program.setProcessEnvironment(vars);
        program.start(MARLINOX_EXECUTABLE);
        QVERIFY(program.waitForStarted(kGenerous));
        // SIGTERM once the program catches it, which it does before it builds the window.
        const auto catchesSigterm = [&] {
            const QByteArray proc = ReadAll(QString("/proc/%1/status").arg(program.processId()));
            const qsizetype at = proc.indexOf("SigCgt:");
            return at > 0 && (proc.mid(at + 7, 18).trimmed().toULongLong(nullptr, 16) >> 14) & 1;
        };
        if (status == 0) {
            QTRY_VERIFY_WITH_TIMEOUT(catchesSigterm(), kGenerous);
            program.terminate();
        }
        QVERIFY(program.waitForFinished(kGenerous));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        if (status)
            QCOMPARE(program.readAllStandardError(), error);
    }
};

// Whole captures on lo through the main window: the test makes a TCP exchange on 127.0.0.1
// itself and checks what lands in the output folder.
class TestCaptureLive : public QObject
{
    Q_OBJECT

    QString Dir() const { return m_w->Dir(); }
    QStringList Files(const QString &pattern) const
    {
        return QDir(Dir()).entryList({pattern}, QDir::Files, QDir::Name);
    }
    bool Contains(const QString &pattern, const QByteArray &data) const
    {
        const QStringList names = Files(pattern);
        return std::any_of(names.begin(), names.end(),
                           [&](const QString &n) { return ReadAll(Dir() + n).contains(data); });
    }

    std::unique_ptr<CWindowGround> m_w;

private slots:
    void initTestCase()
    {
        char error[PCAP_ERRBUF_SIZE] = "";
        pcap_t *p = pcap_create("lo", error);
        const int rc = p ? pcap_activate(p) : PCAP_ERROR;
        if (p)
            pcap_close(p);
        if (rc < 0)
            QSKIP("live capture on lo needs CAP_NET_RAW (run as root)");
    }
    void init()
    {
        m_w = std::make_unique<CWindowGround>();
        QVERIFY(QTest::qWaitForWindowExposed(&m_w->m_dlg));
    }
    void cleanup() { m_w.reset(); }

    void capture_data()
    {
        QTest::addColumn<bool>("combine");
        QTest::addColumn<int>("stop");   // 0: the Stop button, 1: the window's close box, a signal
        QTest::addColumn<bool>("typed"); // lo typed after another interface was picked
        QTest::newRow("Packet Combine mode, Stop") << true << 0 << false;
        QTest::newRow("RAW mode, close box") << false << 1 << false;
        QTest::newRow("Packet Combine mode, SIGTERM") << true << int(SIGTERM) << false;
        QTest::newRow("RAW mode, lo typed over another pick") << false << 0 << true;
    }
    // Picks the interface, the test's folder and the mode, answers Yes, presses Capture, makes
    // the exchange once the capture reads packets (log.txt has its mode line), then connections
    // of its own until one shows in a file (so the capture has read past the exchange), and ends
    // the capture. With no packet dropped the exchange is in the files whole; with drops, every
    // byte of a stream file is the byte sent at that offset or a zero of a hole.
    void capture()
    {
        QFETCH(bool, combine);
        QFETCH(int, stop);
        QFETCH(bool, typed);
        CFakeDevices devices({{"marlinox-none", nullptr}, {"lo", nullptr}});
        CSignalWatcher watcher;
        connect(&watcher, &CSignalWatcher::received, &m_w->m_dlg, &CCaptureDlg::EndSession);
        QSignalSpy finished(&m_w->m_dlg, &QDialog::finished);
        m_w->m_script.m_actions.push_back(
            [&](QDialog &d) { DoubleClickDevice(d, typed ? "marlinox-none" : "lo"); });
        QTest::mouseClick(m_w->Control<QPushButton>(1011), Qt::LeftButton);
        m_w->Control<QLineEdit>(1001)->setText("lo");
        m_w->Control<QLineEdit>(1008)->setText(Dir());
        m_w->Control<QCheckBox>(1010)->setChecked(combine);
        m_w->m_nAnswer = QMessageBox::Yes;
        QTest::mouseClick(m_w->Control<QPushButton>(1005), Qt::LeftButton);
        const QByteArray mode = combine ? "Packet Combine mode\r\n" : "RAW mode\r\n";
        QTRY_VERIFY_WITH_TIMEOUT(ReadAll(Dir() + "log.txt").contains(mode), kGenerous);

        const QByteArray toServer = Pattern(3000, 'A'), toClient = Pattern(5000, '0');
        const QByteArray mark = "marlinox-mark";
        QVERIFY(Exchange(toServer, toClient));
        const QString sent = combine ? "p*-1.txt" : "p*.pd";
        QTRY_VERIFY_WITH_TIMEOUT(Exchange(mark, "") && Contains(sent, mark), kGenerous);
        if (stop == 0)
            QTest::mouseClick(m_w->Control<QPushButton>(1006), Qt::LeftButton);
        else if (stop == 1)
            m_w->m_dlg.close();
        else
            std::raise(stop);
        QTRY_VERIFY_WITH_TIMEOUT(m_w->Control<QPushButton>(1005)->isEnabled(), kGenerous);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), int(stop > 1), kGenerous);

        QCOMPARE(m_w->m_dlg.windowTitle(), Text("キャプチャ終了"));
        QCOMPARE(m_w->m_opened, std::vector<std::string>{m_w->m_tmp.Path()});
        const qsizetype count = Files(sent).size();
        QCOMPARE(ReadAll(Dir() + "log.txt"), "DataLinkLayer Headersize : 14\r\n" + mode +
                                                 "Captured Packet : " + QByteArray::number(count) +
                                                 "\r\n");
        const bool whole = m_w->m_dlg.GetLastOutcome().nDropped == 0;
        const QString view = m_w->Log();
        if (!combine) {
            QVERIFY(view.endsWith(QString("Capture Packet %1\n").arg(count)));
            QVERIFY(!whole || (Contains(sent, toServer) && Contains(sent, toClient)));
            return;
        }
        QVERIFY(view.startsWith("Capture : p0000000001\n"));
        bool exact = false;
        for (const QString &name : Files(sent)) {
            const QByteArray first = ReadAll(Dir() + name);
            const QByteArray second = ReadAll(Dir() + QString(name).replace("-1.", "-2."));
            QVERIFY((Fits(first, toServer) && Fits(second, toClient)) ||
                    (Fits(first, mark) && second.isEmpty()));
            exact = exact || (first == toServer && second == toClient);
        }
        QVERIFY(exact || !whole);
    }
};

int main(int argc, char **argv)
{
    CCaptureApp app(argc, argv);
    return RunTests<TestDeviceDlg, TestCaptureDlg, TestCaptureLive>(argc, argv);
}

#include "AppTest.moc"
