#include "ChildProcess.h"
#include "Loopback.h"
#include "PacketBuilder.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kConnections = 5;
constexpr int kReset = kConnections - 1; // the one that ends with a reset

Bytes Sent(int connection, int side)
{
    if (connection == kReset && side == 1)
        return {'K'};
    return PatternBytes(size_t(1 << 20) + size_t(connection * 777 + side * 123),
                        uint32_t(2 * connection + side));
}

// Both directions at once; then a clean close, one side after the other, or a reset.
void Exchange(CLoopbackConnection &c, int index)
{
    const int ends[2] = {c.client.Get(), c.server.Get()};
    std::vector<std::thread> threads;
    for (int side : {0, 1}) {
        threads.emplace_back([&, side] { SendPaced(ends[side], Sent(index, side)); });
        threads.emplace_back(
            [&, side] { ReceiveExactly(ends[1 - side], Sent(index, side).size()); });
    }
    for (auto &t : threads)
        t.join();
    if (index == kReset) {
        const linger abort{1, 0};
        ::setsockopt(ends[0], SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        for (int side : {0, 1}) {
            ::shutdown(ends[side], SHUT_WR);
            ReceiveExactly(ends[1 - side], 1); // its end of file
        }
    }
    c.client.Reset();
    c.server.Reset();
}

uintmax_t StreamBytes(const std::string &folder)
{
    uintmax_t total = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".txt" && entry.path().filename() != "log.txt")
            total += entry.file_size(ec);
    }
    return total;
}

} // namespace

TEST(CliLiveTest, CapturesParallelConnectionsOnLoopbackByteForByte)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture on lo needs root (or CAP_NET_RAW)";
    CTempDir dir;
    CChild cli(Cli({"-i", "lo", "-o", dir.Path(), "-q"}));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000)) << cli.Stderr();

    auto connections = OpenLoopbackConnections(kConnections);
    ASSERT_EQ(connections.size(), size_t(kConnections));
    std::vector<std::thread> exchanges;
    for (int i = 0; i < kConnections; ++i)
        exchanges.emplace_back(Exchange, std::ref(connections[size_t(i)]), i);
    for (auto &t : exchanges)
        t.join();
    uintmax_t expected = 0;
    for (int i = 0; i < kConnections; ++i)
        expected += Sent(i, 0).size() + Sent(i, 1).size();
    EXPECT_TRUE(WaitFor([&] { return StreamBytes(dir.Path()) >= expected; }, 20000));

    const auto signalled = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    const int status = cli.Wait(5000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - signalled);
    ASSERT_EQ(status, 0) << cli.Stderr();
    std::printf("marlinox-cli ended %lld ms after SIGINT\n", static_cast<long long>(took.count()));
    EXPECT_NE(cli.Stderr().find("dropped by the kernel: 0"), std::string::npos) << cli.Stderr();

    // The client opened each connection: its bytes are the -1 file, the server's the -2 file.
    std::map<Bytes, std::string> initiatorFiles;
    for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string path = entry.path().string();
        if (path.size() > 6 && path.compare(path.size() - 6, 6, "-1.txt") == 0)
            initiatorFiles[ReadFileBytes(path)] = path;
    }
    for (int i = 0; i < kConnections; ++i) {
        auto it = initiatorFiles.find(Sent(i, 0));
        ASSERT_NE(it, initiatorFiles.end()) << "connection " << i;
        std::string responder = it->second;
        responder.replace(responder.size() - 6, 6, "-2.txt");
        EXPECT_EQ(ReadFileBytes(responder), Sent(i, 1)) << "connection " << i;
    }
    EXPECT_EQ(ReadText(dir.Path() + "log.txt")
                  .rfind("DataLinkLayer Headersize : 14\r\n"
                         "Packet Combine mode\r\nCaptured Packet : ",
                         0),
              0u);
}
