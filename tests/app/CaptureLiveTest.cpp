// Whole captures on lo through the real main window: the test picks lo in the device chooser,
// makes a TCP exchange on 127.0.0.1 itself and checks what lands in the output folder.
#include "AppTestSupport.h"
#include "CaptureDlg.h"
#include "SignalWatcher.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kGenerous = 60000; // ms; only an upper bound for waits that normally end soon

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

std::string Pattern(size_t size, char seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = char(seed + i % 61);
    return s;
}

std::string ReadAll(const QString &path)
{
    const std::vector<uint8_t> bytes = ReadFileBytes(path.toStdString());
    return std::string(bytes.begin(), bytes.end());
}

// A socket on 127.0.0.1 bound to a port of the system's choice; closed with the object.
class CSocket
{
public:
    CSocket() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a = Address(0);
        socklen_t n = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &n) == 0)
            m_nPort = ntohs(a.sin_port);
    }
    explicit CSocket(int fd) : m_fd(fd) {}
    ~CSocket() { ::close(m_fd); }
    CSocket(const CSocket &) = delete;
    CSocket &operator=(const CSocket &) = delete;

    static sockaddr_in Address(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        return a;
    }
    bool Connect(int port)
    {
        const sockaddr_in a = Address(port);
        return ::connect(m_fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    }
    bool SendAll(const std::string &data)
    {
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = ::send(m_fd, data.data() + done, data.size() - done, 0);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }
    std::string ReceiveAll()
    {
        std::string got;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            got.append(buffer, size_t(n));
        return got;
    }
    int Fd() const { return m_fd; }
    int Port() const { return m_nPort; }

private:
    int m_fd;
    int m_nPort = 0;
};

// One TCP connection on 127.0.0.1, closed cleanly from both sides: the client sends
// toServer and half-closes, the server reads to the end, answers toClient and closes. Before
// it, a connection attempt to a port where nothing listens (a SYN and its RST), so that a
// capture in Packet Combine mode has its waiting stream ready for the exchange's SYN.
bool Exchange(const std::string &toServer, const std::string &toClient)
{
    {
        CSocket closedPort;
        CSocket probe;
        if (probe.Connect(closedPort.Port()))
            return false;
    }
    CSocket listener;
    if (::listen(listener.Fd(), 1) != 0)
        return false;
    std::string gotByServer;
    std::thread server([&] {
        CSocket peer(::accept(listener.Fd(), nullptr, nullptr));
        gotByServer = peer.ReceiveAll();
        peer.SendAll(toClient);
    });
    CSocket client;
    bool ok = client.Connect(listener.Port()) && client.SendAll(toServer) &&
              ::shutdown(client.Fd(), SHUT_WR) == 0;
    ok = client.ReceiveAll() == toClient && ok;
    server.join();
    return ok && gotByServer == toServer;
}

} // namespace

class TestCaptureLive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void captureOnLoopback_data();
    void captureOnLoopback();
    void sigtermDuringCaptureCompletesTheLog();

private:
    template <class T> T *Control(int id) const
    {
        return m_dlg->findChild<T *>(QString("id%1").arg(id));
    }
    QString Dir() const { return QString::fromStdString(m_dir->Path()); }
    QStringList Files(const QString &pattern) const
    {
        return QDir(Dir()).entryList({pattern}, QDir::Files, QDir::Name);
    }
    bool Contains(const QString &pattern, const std::string &data) const;
    bool HasStreamPair(const std::string &first, const std::string &second) const;
    void StartOnLoopback(bool combine);

    std::unique_ptr<CTempDir> m_dir;
    std::unique_ptr<CMessageRecorder> m_boxes;
    std::unique_ptr<CModalScript> m_script;
    std::unique_ptr<CFolderOpenRecorder> m_opened;
    std::unique_ptr<CCaptureDlg> m_dlg;
};

void TestCaptureLive::initTestCase()
{
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *p = pcap_create("lo", error);
    const int rc = p ? pcap_activate(p) : PCAP_ERROR;
    const QString why = p ? QString::fromLocal8Bit(pcap_geterr(p)) : QString::fromLocal8Bit(error);
    if (p)
        pcap_close(p);
    if (rc < 0)
        QSKIP(qPrintable("live capture on lo needs CAP_NET_RAW (run as root): " + why));
}

void TestCaptureLive::init()
{
    m_dir = std::make_unique<CTempDir>();
    m_boxes = std::make_unique<CMessageRecorder>();
    m_script = std::make_unique<CModalScript>();
    m_opened = std::make_unique<CFolderOpenRecorder>();
    m_dlg = std::make_unique<CCaptureDlg>();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void TestCaptureLive::cleanup()
{
    m_dlg.reset();
    m_opened.reset();
    m_script.reset();
    m_boxes.reset();
    m_dir.reset();
}

bool TestCaptureLive::Contains(const QString &pattern, const std::string &data) const
{
    for (const QString &name : Files(pattern)) {
        if (ReadAll(Dir() + name).find(data) != std::string::npos)
            return true;
    }
    return false;
}

// Whether some connection's -1 file holds exactly first and its -2 file exactly second.
bool TestCaptureLive::HasStreamPair(const std::string &first, const std::string &second) const
{
    for (const QString &name : Files("p*-1.txt")) {
        const QString other = QString(name).replace("-1.txt", "-2.txt");
        if (ReadAll(Dir() + name) == first && ReadAll(Dir() + other) == second)
            return true;
    }
    return false;
}

// Picks lo in the device chooser, the test's folder and the mode, answers Yes and presses
// Capture; returns once the capture reads packets (log.txt has its mode line).
void TestCaptureLive::StartOnLoopback(bool combine)
{
    m_script->m_actions.push_back([](QDialog &d) { DoubleClickDevice(d, "lo"); });
    QTest::mouseClick(Control<QPushButton>(1011), Qt::LeftButton);
    QCOMPARE(Control<QLineEdit>(1001)->text(), QString("lo"));
    Control<QLineEdit>(1008)->setText(Dir());
    Control<QCheckBox>(1010)->setChecked(combine);
    m_boxes->m_nAnswer = QMessageBox::Yes;
    QTest::mouseClick(Control<QPushButton>(1005), Qt::LeftButton);
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ開始 : ") + Dir());
    const std::string mode = combine ? "Packet Combine mode\r\n" : "RAW mode\r\n";
    QTRY_VERIFY_WITH_TIMEOUT(ReadAll(Dir() + "log.txt").find(mode) != std::string::npos, kGenerous);
}

void TestCaptureLive::captureOnLoopback_data()
{
    QTest::addColumn<bool>("combine");
    QTest::newRow("Packet Combine mode") << true;
    QTest::newRow("RAW mode") << false;
}

void TestCaptureLive::captureOnLoopback()
{
    QFETCH(bool, combine);
    const std::string toServer = Pattern(3000, 'A');
    const std::string toClient = Pattern(5000, '0');
    StartOnLoopback(combine);
    QVERIFY(Exchange(toServer, toClient));
    if (combine)
        QTRY_VERIFY_WITH_TIMEOUT(HasStreamPair(toServer, toClient), kGenerous);
    else
        QTRY_VERIFY_WITH_TIMEOUT(Contains("*.pd", toServer) && Contains("*.pd", toClient),
                                 kGenerous);

    QTest::mouseClick(Control<QPushButton>(1006), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(Control<QPushButton>(1005)->isEnabled(), kGenerous);

    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
    QVERIFY(!Control<QPushButton>(1006)->isEnabled());
    QVERIFY(Control<QLineEdit>(1008)->isEnabled());
    QCOMPARE(m_opened->m_paths, std::vector<std::string>{m_dir->Path()});
    const qsizetype count = Files(combine ? "p*-1.txt" : "p*.pd").size();
    QVERIFY(count > 0);
    const std::string log = "DataLinkLayer Headersize : 14\r\n" +
                            std::string(combine ? "Packet Combine mode\r\n" : "RAW mode\r\n") +
                            "Captured Packet : " + std::to_string(count) + "\r\n";
    QCOMPARE(ReadAll(Dir() + "log.txt"), log);
    const QString view = m_dlg->findChild<QPlainTextEdit *>("id1004")->toPlainText();
    if (combine) {
        QVERIFY(HasStreamPair(toServer, toClient));
        QCOMPARE(Files("p*-2.txt").size(), count);
        QVERIFY(view.startsWith("Capture : p0000000001\n"));
    } else {
        QVERIFY(view.endsWith(QString("Capture Packet %1\n").arg(count)));
        for (const QString &name : Files("p*.pd"))
            QVERIFY(!ReadAll(Dir() + name).empty());
    }
}

void TestCaptureLive::sigtermDuringCaptureCompletesTheLog()
{
    CSignalWatcher watcher;
    connect(&watcher, &CSignalWatcher::received, m_dlg.get(), &CCaptureDlg::EndSession);
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);
    StartOnLoopback(true);
    QVERIFY(Exchange(Pattern(2000, 'a'), Pattern(1000, 'b')));

    std::raise(SIGTERM);

    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kGenerous);
    const std::string log = ReadAll(Dir() + "log.txt");
    QVERIFY2(log.find("Captured Packet : ") != std::string::npos, log.c_str());
    QCOMPARE(m_opened->m_paths.size(), size_t(1));
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
}

QTEST_MAIN(TestCaptureLive)
#include "CaptureLiveTest.moc"
