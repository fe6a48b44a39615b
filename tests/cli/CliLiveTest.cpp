#include "ChildProcess.h"
#include "Loopback.h"
#include "OutputCheck.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Scenario
{
    const char *name;
    const char *interface;
    int family;
    bool bystander; // a connection to another port runs alongside; the filter must keep it out
};

const Scenario kScenarios[] = {
    {"IPv4 on lo", "lo", AF_INET, false},
    {"IPv6 on lo", "lo", AF_INET6, false},
    {"any, filtered to the test's port", "any", AF_INET, true},
};

Bytes Sent(int connection, int side)
{
    return PatternBytes(size_t(200000 + connection * 777 + side * 123),
                        uint32_t(2 * connection + side));
}

} // namespace

// Live captures with a filter expression that keeps only the test's own port. Whatever the
// machine's load, every byte in a stream file is the byte sent there or a zero of a hole, and
// when the kernel dropped nothing the files are exact; a segment reaches its file while no
// further packet arrives.
TEST(CliLiveTest, CapturesLoopbackConnectionsByteForByte)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture needs root (or CAP_NET_RAW)";
    for (const Scenario &s : kScenarios) {
        SCOPED_TRACE(s.name);
        CLoopbackListener listener(s.family), other(s.family);
        if (!listener.IsOpen()) {
            std::printf("skipped %s: no loopback address of that family here\n", s.name);
            continue;
        }
        CTempDir dir;
        CChild cli(Cli({"-i", s.interface, "-o", dir.Path(), "-q", "tcp", "port",
                        std::to_string(listener.GetPort())}));
        ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000))
            << cli.Stderr();
        auto connections = listener.Connect(3);
        ASSERT_EQ(connections.size(), 3u);
        const Bytes hello = PatternBytes(1000, 99);
        ASSERT_TRUE(SendPaced(connections[0].client.Get(), hello));
        ASSERT_EQ(ReceiveExactly(connections[0].server.Get(), hello.size()), hello);
        EXPECT_TRUE(WaitFor(
            [&] { return ReadFileBytes(dir.Path() + "p0000000001-1.txt") == hello; }, 20000))
            << "pending bytes are written once the capture has caught up";
        auto outsiders = s.bystander ? other.Connect(1) : std::vector<CLoopbackConnection>{};
        std::vector<std::thread> exchanges;
        for (size_t i = 0; i < connections.size(); ++i)
            exchanges.emplace_back(Exchange, std::ref(connections[i]), Sent(int(i), 0),
                                   Sent(int(i), 1), i == 2);
        for (auto &o : outsiders)
            Exchange(o, Sent(7, 0), Sent(7, 1));
        for (auto &t : exchanges)
            t.join();
        // The connections' last packets are on their way to the capture.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cli.Signal(SIGINT);
        ASSERT_EQ(cli.Wait(20000), 0) << cli.Stderr();
        const long dropped = DroppedBy(cli.Stderr());
        ASSERT_GE(dropped, 0) << cli.Stderr();
        for (size_t i = 0; i < connections.size(); ++i) {
            const int n = StreamOfPort(dir.Path(), connections[i].wClientPort);
            ASSERT_GT(n, 0) << "connection " << i;
            for (int side : {1, 2}) {
                Bytes sent = Sent(int(i), side - 1);
                if (i == 0 && side == 1)
                    sent.insert(sent.begin(), hello.begin(), hello.end());
                EXPECT_EQ(CheckCaptured(ReadFileBytes(dir.Path() + StreamFileName(n, side)), sent,
                                        dropped > 0),
                          "")
                    << n << "-" << side << ", dropped " << dropped;
            }
        }
        for (auto &o : outsiders)
            EXPECT_EQ(StreamOfPort(dir.Path(), o.wClientPort), 0) << "filtered out";
    }
}
