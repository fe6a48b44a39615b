#include "ChildProcess.h"
#include "Loopback.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <tuple>
#include <unistd.h>

// Live captures with a filter expression that keeps only the test's own port. Whatever the
// machine's load, every byte in a stream file is the byte sent there or a zero of a hole, and
// when the kernel dropped nothing the files are exact; a segment reaches its file while no
// further packet arrives. A bystander's connection to another port runs alongside, and the
// filter keeps it out; a capture killed (SIGKILL) after the traffic has paused loses nothing.
TEST(CliLiveTest, CapturesLoopbackConnectionsByteForByte)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture needs root (or CAP_NET_RAW)";
    using Scenario = std::tuple<const char *, const char *, int, bool, bool>;
    const Scenario scenarios[] = {
        {"IPv4 on lo", "lo", AF_INET, false, false},
        {"IPv6 on lo", "lo", AF_INET6, false, false},
        {"any, with a bystander", "any", AF_INET, true, false},
        {"IPv4 on lo, killed after the pause", "lo", AF_INET, false, true},
    };
    // What the initiator and the responder of each of three connections send; the first
    // initiator sends its first 1000 bytes alone, before all the rest.
    std::vector<Bytes> sent;
    for (uint32_t i = 0; i < 6; ++i)
        sent.push_back(PatternBytes(200000 + i * 777, i));
    const Bytes hello(sent[0].begin(), sent[0].begin() + 1000);
    const Bytes rest(sent[0].begin() + 1000, sent[0].end());
    for (const auto &[name, interface, family, bystander, kill] : scenarios) {
        SCOPED_TRACE(name);
        CLoopbackListener listener(family), other(family);
        if (!listener.IsOpen()) {
            std::printf("skipped %s: no loopback address of that family here\n", name);
            continue;
        }
        CTempDir dir;
        CChild cli(Cli({"-i", interface, "-o", dir.Path(), "-q", "tcp", "port",
                        std::to_string(listener.GetPort())}));
        ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000))
            << cli.Stderr();
        auto connections = listener.Connect(3);
        ASSERT_EQ(connections.size(), 3u);
        ASSERT_TRUE(SendPaced(connections[0].client.Get(), hello));
        ASSERT_EQ(ReceiveExactly(connections[0].server.Get(), hello.size()), hello);
        EXPECT_TRUE(WaitFor(
            [&] { return ReadFileBytes(dir.Path() + StreamFileName(1, 1)) == hello; }, 20000))
            << "pending bytes are written once the capture has caught up";
        auto outsiders = bystander ? other.Connect(1) : std::vector<CLoopbackConnection>{};
        std::vector<std::thread> exchanges;
        for (size_t i = 0; i < connections.size(); ++i)
            exchanges.emplace_back(Exchange, std::ref(connections[i]), i ? sent[2 * i] : rest,
                                   sent[2 * i + 1], i == 2);
        for (auto &o : outsiders)
            Exchange(o, hello, hello);
        for (auto &t : exchanges)
            t.join();
        // The streams are numbered in the order the connections opened (the filter keeps
        // everything else out), or as connections.csv says once the capture has ended.
        auto files = [&](bool indexed) {
            std::vector<Bytes> all;
            for (size_t i = 0; i < connections.size(); ++i) {
                const int n = indexed ? StreamOfPort(dir.Path(), connections[i].wClientPort)
                                      : int(i) + 1;
                for (int side : {1, 2})
                    all.push_back(ReadFileBytes(dir.Path() + StreamFileName(n, side)));
            }
            return all;
        };
        long dropped = 0;
        if (kill) {
            // Once the traffic pauses and the reader has caught up, every byte is in its file,
            // and a capture killed without warning loses none of it. Only a drop of the
            // kernel's (a busy machine) can keep the files from being complete.
            dropped = WaitFor([&] { return files(false) == sent; }, 20000) ? 0 : 1;
            const std::vector<Bytes> before = files(false);
            cli.Signal(SIGKILL);
            EXPECT_EQ(cli.Wait(5000), 128 + SIGKILL);
            EXPECT_EQ(files(false), before) << "the kill lost bytes";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cli.Signal(SIGINT);
            ASSERT_EQ(cli.Wait(20000), 0) << cli.Stderr();
            dropped = DroppedBy(cli.Stderr());
            ASSERT_GE(dropped, 0) << cli.Stderr();
        }
        const std::vector<Bytes> got = files(!kill);
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_EQ(CheckCaptured(got[i], sent[i], dropped > 0), "") << i << ", " << dropped;
        for (auto &o : outsiders)
            EXPECT_EQ(StreamOfPort(dir.Path(), o.wClientPort, o.wServerPort), 0) << "filtered out";
    }
}
