// Whole captures on lo through the real main window: the test picks lo in the device chooser,
// makes a TCP exchange on 127.0.0.1 itself and checks what lands in the output folder.
#include "AppTestSupport.h"
#include "CaptureDlg.h"
#include "SignalWatcher.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

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
    return Send(client, *peer, toServer) && Send(*peer, client, toClient) && Close(client) &&
           Close(*peer);
}

} // namespace

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
    // Whether some connection's -1 file holds exactly first and its -2 file exactly second.
    bool HasStreamPair(const QByteArray &first, const QByteArray &second) const
    {
        for (const QString &name : Files("p*-1.txt")) {
            const QString other = QString(name).replace("-1.txt", "-2.txt");
            if (ReadAll(Dir() + name) == first && ReadAll(Dir() + other) == second)
                return true;
        }
        return false;
    }

    std::unique_ptr<CWindowGround> m_w;

private slots:
    void initTestCase()
    {
        char error[PCAP_ERRBUF_SIZE] = "";
        pcap_t *p = pcap_create("lo", error);
        const int rc = p ? pcap_activate(p) : PCAP_ERROR;
        const QString why = QString::fromLocal8Bit(p ? pcap_geterr(p) : error);
        if (p)
            pcap_close(p);
        if (rc < 0)
            QSKIP(qPrintable("live capture on lo needs CAP_NET_RAW (run as root): " + why));
    }
    void init()
    {
        m_w = std::make_unique<CWindowGround>();
        QVERIFY(QTest::qWaitForWindowExposed(&m_w->m_dlg));
    }
    void cleanup() { m_w.reset(); }

    void captureOnLoopback_data()
    {
        QTest::addColumn<bool>("combine");
        QTest::addColumn<bool>("bySigterm"); // else the Stop button
        QTest::newRow("Packet Combine mode") << true << false;
        QTest::newRow("RAW mode") << false << false;
        QTest::newRow("Packet Combine mode, ended by SIGTERM") << true << true;
    }
    // Picks lo in the device chooser, the test's folder and the mode, answers Yes, presses
    // Capture, makes the exchange once the capture reads packets (log.txt has its mode line),
    // and ends the capture.
    void captureOnLoopback()
    {
        QFETCH(bool, combine);
        QFETCH(bool, bySigterm);
        CSignalWatcher watcher;
        connect(&watcher, &CSignalWatcher::received, &m_w->m_dlg, &CCaptureDlg::EndSession);
        QSignalSpy finished(&m_w->m_dlg, &QDialog::finished);
        m_w->m_script.m_actions.push_back([](QDialog &d) { DoubleClickDevice(d, "lo"); });
        QTest::mouseClick(m_w->Control<QPushButton>(1011), Qt::LeftButton);
        QCOMPARE(m_w->Control<QLineEdit>(1001)->text(), QString("lo"));
        m_w->Control<QLineEdit>(1008)->setText(Dir());
        m_w->Control<QCheckBox>(1010)->setChecked(combine);
        m_w->m_boxes.m_nAnswer = QMessageBox::Yes;
        QTest::mouseClick(m_w->Control<QPushButton>(1005), Qt::LeftButton);
        QCOMPARE(m_w->m_dlg.windowTitle(), Text("キャプチャ開始 : ") + Dir());
        const QByteArray mode = combine ? "Packet Combine mode\r\n" : "RAW mode\r\n";
        QTRY_VERIFY_WITH_TIMEOUT(ReadAll(Dir() + "log.txt").contains(mode), kGenerous);

        const QByteArray toServer = Pattern(3000, 'A');
        const QByteArray toClient = Pattern(5000, '0');
        QVERIFY(Exchange(toServer, toClient));
        if (combine)
            QTRY_VERIFY_WITH_TIMEOUT(HasStreamPair(toServer, toClient), kGenerous);
        else
            QTRY_VERIFY_WITH_TIMEOUT(Contains("*.pd", toServer) && Contains("*.pd", toClient),
                                     kGenerous);
        if (bySigterm)
            std::raise(SIGTERM);
        else
            QTest::mouseClick(m_w->Control<QPushButton>(1006), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(m_w->Control<QPushButton>(1005)->isEnabled(), kGenerous);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), int(bySigterm), kGenerous);

        QCOMPARE(m_w->m_dlg.windowTitle(), Text("キャプチャ終了"));
        QVERIFY(!m_w->Control<QPushButton>(1006)->isEnabled());
        QVERIFY(m_w->Control<QLineEdit>(1008)->isEnabled());
        QCOMPARE(m_w->m_opened, std::vector<std::string>{m_w->m_tmp.Path()});
        const qsizetype count = Files(combine ? "p*-1.txt" : "p*.pd").size();
        QVERIFY(count > 0);
        QCOMPARE(ReadAll(Dir() + "log.txt"), "DataLinkLayer Headersize : 14\r\n" + mode +
                                                 "Captured Packet : " + QByteArray::number(count) +
                                                 "\r\n");
        const QString view = m_w->Control<QPlainTextEdit>(1004)->toPlainText();
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
};

QTEST_MAIN(TestCaptureLive)
#include "CaptureLiveTest.moc"
