// marlinox-guibench: RAW mode through the real main window on lo, with UDP traffic from a local
// generator, beside marlinox-cli on the same traffic, in interleaved rounds (the order reversed
// every other round). Reports packets read and the kernel's drop count of each run, the window's
// share of the CLI's packets per round, and the medians. A benchmark, not a test: it never fails
// on a figure.
//
//   marlinox-guibench [--seconds N] [--rate PPS] [--burst FRAMES] [--rounds N] [--size BYTES]
//                     [--out DIR] [--cli PATH]
//
// --rate 0 (the default) sends as fast as one thread can; --burst sends that many frames at
// once, unpaced, and lets the capture run --seconds after. Needs CAP_NET_RAW (root). Run it on
// the offscreen platform (QT_QPA_PLATFORM=offscreen) or on a desktop to see the window.
#include "CaptureDlg.h"
#include "ControlIds.h"
#include "Hooks.h"
#include "MessageBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>

#include <pcap/pcap.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct COptions
{
    double dSeconds = 3;
    long nRate = 0;
    long nBurst = 0;
    int nRounds = 7;
    size_t nSize = 64;
    std::string strOut = "/dev/shm";
    std::string strCli = MARLINOX_CLI;
};

struct CResult
{
    long long nSent = 0;
    long long nRead = -1;
    long long nDropped = -1;
    double dSeconds = 0; // the sending window
};

std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Serves the event loop, as the program's own loop would, until done() holds; done() is
// looked at every 20 ms and after every event.
template <class F> void ServeUntil(F done)
{
    QTimer tick;
    tick.start(20);
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Sends UDP datagrams of size bytes to a socket on 127.0.0.1 that never reads them (the kernel
// drops them there once its buffer is full; the capture sees each one before that). Paced at
// rate per second in 1 ms slices, or unpaced with rate 0. Returns the number sent.
long long Generate(const COptions &o, const std::atomic<bool> &stop)
{
    const int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int source = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    long long sent = 0;
    if (::bind(sink, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(sink, reinterpret_cast<sockaddr *>(&a), &n) == 0 &&
        ::connect(source, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        const std::string payload(o.nSize, 'm');
        const double perSlice = double(o.nRate) / 1000.0;
        double owed = 0;
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        for (; o.nBurst > 0 && sent < o.nBurst;)
            sent += ::send(source, payload.data(), payload.size(), 0) > 0;
        while (!stop && o.nBurst == 0) {
            if (o.nRate > 0) {
                owed += perSlice;
                next.tv_nsec += 1000000;
                if (next.tv_nsec >= 1000000000) {
                    next.tv_nsec -= 1000000000;
                    ++next.tv_sec;
                }
            } else {
                owed = 256;
            }
            for (; owed >= 1; owed -= 1) {
                if (::send(source, payload.data(), payload.size(), 0) > 0)
                    ++sent;
            }
            if (o.nRate > 0)
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    }
    ::close(source);
    ::close(sink);
    return sent;
}

// Runs the generator for the window while serve() keeps the caller's loop going.
template <class F> CResult SendFor(const COptions &o, F serve)
{
    CResult r;
    std::atomic<bool> stop{false};
    long long sent = 0;
    const auto start = Clock::now();
    std::thread generator([&] { sent = Generate(o, stop); });
    const auto end = start + std::chrono::duration<double>(o.dSeconds);
    serve([&] { return Clock::now() >= end; });
    stop = true;
    generator.join();
    r.dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.nSent = sent;
    return r;
}

void WaitForLog(const std::string &folder)
{
    ServeUntil(
        [&] { return ReadText(folder + "log.txt").find("RAW mode\r\n") != std::string::npos; });
}

CResult RunGui(const COptions &o, const std::string &folder)
{
    Platform::SetMessageBoxHandler(
        [](QWidget *, const QString &, const QString &, QMessageBox::StandardButtons) {
            return int(QMessageBox::Yes);
        });
    SetFolderOpener([](const std::string &) {});
    SetModalRunner([](QDialog &chooser) {
        auto *list =
            chooser.findChild<QTreeWidget *>(QString::fromStdString(ControlName(IDC_LIST_DEVICE)));
        const auto rows = list->findItems("lo", Qt::MatchExactly, 0);
        if (!rows.isEmpty()) {
            list->setCurrentItem(rows.first());
            emit list->itemDoubleClicked(rows.first(), 0);
        }
        return chooser.result();
    });

    CCaptureDlg dlg;
    dlg.show();
    dlg.findChild<QPushButton *>(QString::fromStdString(ControlName(IDC_BTN_SELECT_DEVICE)))
        ->click();
    dlg.findChild<QLineEdit *>(QString::fromStdString(ControlName(IDC_EDIT_FOLDER)))
        ->setText(QString::fromStdString(folder));
    dlg.findChild<QCheckBox *>(QString::fromStdString(ControlName(IDC_CHECK_COMBINE)))
        ->setChecked(false);
    auto *capture =
        dlg.findChild<QPushButton *>(QString::fromStdString(ControlName(IDC_BTN_CAPTURE)));
    capture->click();
    WaitForLog(folder);

    CResult r = SendFor(o, [](auto done) { ServeUntil(done); });
    dlg.findChild<QPushButton *>(QString::fromStdString(ControlName(IDC_BTN_STOP)))->click();
    ServeUntil([&] { return capture->isEnabled(); });
    r.nRead = dlg.GetLastOutcome().nPackets;
    r.nDropped = dlg.GetLastOutcome().nDropped;
    return r;
}

CResult RunCli(const COptions &o, const std::string &folder)
{
    QProcess cli;
    cli.start(QString::fromStdString(o.strCli),
              {"-i", "lo", "--raw", "-q", "-o", QString::fromStdString(folder)});
    if (!cli.waitForStarted())
        return {};
    WaitForLog(folder);
    CResult r = SendFor(o, [](auto done) {
        while (!done())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    ::kill(pid_t(cli.processId()), SIGINT);
    cli.waitForFinished(-1);
    // "packets read: N, streams created: S, dropped by the kernel: D"
    const QString summary = QString::fromLocal8Bit(cli.readAllStandardError());
    const auto read = QRegularExpression("packets read: (\\d+)").match(summary);
    const auto dropped = QRegularExpression("dropped by the kernel: (\\d+)").match(summary);
    r.nRead = read.hasMatch() ? read.captured(1).toLongLong() : -1;
    r.nDropped = dropped.hasMatch() ? dropped.captured(1).toLongLong() : -1;
    return r;
}

void Print(const char *host, const CResult &r)
{
    std::printf("%-6s %10lld %10lld %7.1f%% %12lld %12.0f %12.0f\n", host, r.nSent, r.nRead,
                r.nSent ? 100.0 * double(r.nRead) / double(r.nSent) : 0.0, r.nDropped,
                double(r.nSent) / r.dSeconds, double(r.nRead) / r.dSeconds);
}

bool ParseOptions(int argc, char **argv, COptions &o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char *value = argv[i + 1];
        if (name == "--seconds")
            o.dSeconds = std::atof(value);
        else if (name == "--rate")
            o.nRate = std::atol(value);
        else if (name == "--burst")
            o.nBurst = std::atol(value);
        else if (name == "--rounds")
            o.nRounds = std::atoi(value);
        else if (name == "--size")
            o.nSize = size_t(std::atol(value));
        else if (name == "--out")
            o.strOut = value;
        else if (name == "--cli")
            o.strCli = value;
        else
            return false;
    }
    return argc % 2 == 1 && o.dSeconds > 0 && o.nSize > 0;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool CanCaptureOnLoopback()
{
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *p = pcap_create("lo", error);
    const bool ok = p && pcap_activate(p) >= 0;
    if (p)
        pcap_close(p);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    COptions o;
    if (!ParseOptions(argc, argv, o)) {
        std::fputs("usage: marlinox-guibench [--seconds N] [--rate PPS] [--burst FRAMES] "
                   "[--rounds N] [--size BYTES] [--out DIR] [--cli PATH]\n",
                   stderr);
        return 2;
    }
    if (!CanCaptureOnLoopback()) {
        std::fputs("marlinox-guibench: cannot capture on lo; run as root\n", stderr);
        return 1;
    }

    const std::string traffic = o.nBurst  ? "a burst of " + std::to_string(o.nBurst) + " frames"
                                : o.nRate ? std::to_string(o.nRate) + " packets/s offered"
                                          : "unpaced sender";
    std::printf("RAW mode on lo, %zu-byte UDP payloads, %s, %.1f s per run\n", o.nSize,
                traffic.c_str(), o.dSeconds);
    // On lo the kernel puts both copies of a frame (out and in) into the capture ring and
    // counts drops of either; libpcap hands over only the incoming one.
    std::printf("%-6s %10s %10s %8s %12s %12s %12s\n", "host", "sent", "read", "read",
                "kernel drops", "sent/s", "read/s");
    std::vector<double> shares, reads[2];
    for (int round = 0; round < o.nRounds; ++round) {
        long long read[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const int host = round % 2 ? 1 - k : k; // 0: the window, 1: marlinox-cli
            const std::string folder =
                o.strOut + "/marlinox-guibench-" + (host ? "cli" : "gui") + "/";
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
            std::filesystem::create_directories(folder, ec);
            const CResult r = host ? RunCli(o, folder) : RunGui(o, folder);
            Print(host ? "cli" : "gui", r);
            std::fflush(stdout);
            std::filesystem::remove_all(folder, ec);
            read[host] = r.nRead;
            reads[host].push_back(double(r.nRead));
        }
        shares.push_back(read[1] > 0 ? double(read[0]) / double(read[1]) : 0);
        std::printf("round %d: the window read %.1f%% of the CLI's packets\n", round,
                    100 * shares.back());
    }
    std::printf("median over %d rounds: window %.0f, CLI %.0f packets; the window's share %.1f%%\n",
                o.nRounds, Median(reads[0]), Median(reads[1]), 100 * Median(shares));
    return 0;
}
