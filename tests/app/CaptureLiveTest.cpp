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

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <memory>

namespace {

constexpr int kGenerous = 60000; // ms; only an upper bound for waits that normally end soon

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

QByteArray Pattern(int size, char seed)
{
    QByteArray s(size, '\0');
    for (int i = 0; i < size; ++i)
        s[i] = char(seed + i % 61);
    return s;
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Receive(QTcpSocket &socket, qsizetype size)
{
    QByteArray got;
    while (got.size() < size && socket.waitForReadyRead(kGenerous))
        got += socket.readAll();
    return got;
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
    QTcpSocket probe;
    if (!server.listen(QHostAddress::LocalHost))
        return false;
    const quint16 port = server.serverPort();
    server.close();
    probe.connectToHost(QHostAddress::LocalHost, port);
    if (probe.waitForConnected(kGenerous) || !server.listen(QHostAddress::LocalHost))
        return false;

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!client.waitForConnected(kGenerous) || !server.waitForNewConnection(kGenerous))
        return false;
    QTcpSocket *peer = server.nextPendingConnection();
    client.write(toServer);
    client.waitForBytesWritten(kGenerous);
    const bool sent = Receive(*peer, toServer.size()) == toServer;
    peer->write(toClient);
    peer->waitForBytesWritten(kGenerous);
    const bool answered = Receive(client, toClient.size()) == toClient;
    return sent && answered && Close(client) && Close(*peer);
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
    bool Contains(const QString &pattern, const QByteArray &data) const;
    bool HasStreamPair(const QByteArray &first, const QByteArray &second) const;
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

bool TestCaptureLive::Contains(const QString &pattern, const QByteArray &data) const
{
    for (const QString &name : Files(pattern)) {
        if (ReadAll(Dir() + name).contains(data))
            return true;
    }
    return false;
}

// Whether some connection's -1 file holds exactly first and its -2 file exactly second.
bool TestCaptureLive::HasStreamPair(const QByteArray &first, const QByteArray &second) const
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
    const QByteArray mode = combine ? "Packet Combine mode\r\n" : "RAW mode\r\n";
    QTRY_VERIFY_WITH_TIMEOUT(ReadAll(Dir() + "log.txt").contains(mode), kGenerous);
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
    const QByteArray toServer = Pattern(3000, 'A');
    const QByteArray toClient = Pattern(5000, '0');
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
    const QByteArray log = "DataLinkLayer Headersize : 14\r\n" +
                           QByteArray(combine ? "Packet Combine mode\r\n" : "RAW mode\r\n") +
                           "Captured Packet : " + QByteArray::number(count) + "\r\n";
    QCOMPARE(ReadAll(Dir() + "log.txt"), log);
    const QString view = m_dlg->findChild<QPlainTextEdit *>("id1004")->toPlainText();
    if (combine) {
        QVERIFY(HasStreamPair(toServer, toClient));
        QCOMPARE(Files("p*-2.txt").size(), count);
        QVERIFY(view.startsWith("Capture : p0000000001\n"));
    } else {
        QVERIFY(view.endsWith(QString("Capture Packet %1\n").arg(count)));
        for (const QString &name : Files("p*.pd"))
            QVERIFY(!ReadAll(Dir() + name).isEmpty());
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
    const QByteArray log = ReadAll(Dir() + "log.txt");
    QVERIFY2(log.contains("Captured Packet : "), log.constData());
    QCOMPARE(m_opened->m_paths.size(), size_t(1));
    QCOMPARE(m_dlg->windowTitle(), Text("キャプチャ終了"));
}

QTEST_MAIN(TestCaptureLive)
#include "CaptureLiveTest.moc"
