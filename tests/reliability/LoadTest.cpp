// More connections at once than the stream table holds (1024), replayed and live on lo.
#include "PacketBuilder.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kTable = 1024;
constexpr int kConnections = 1500;
constexpr int kExtra = kConnections - kTable; // streams the table must give up
constexpr int kRecent = 100;                  // the oldest streams, but recently active

// Which connections lose their stream when 476 more open than the table holds: the first
// 100 sent again just before, so the idle order starts at 101.
bool Evicted(int connection) { return connection > kRecent && connection <= kRecent + kExtra; }

std::string ResponderOf(std::string initiatorFile)
{
    return initiatorFile.replace(initiatorFile.size() - 6, 6, "-2.txt");
}

Bytes Request(int i) { return Payload(i, 0, 1500 + size_t(i)); }
Bytes Reply(int i) { return Payload(i, 1, 700); }

} // namespace

// Connections 1..1024 open and send a first part; 1..100 send a second part; 1025..1500 open,
// each taking the place of the stream idle longest (101..576); everything still followed
// finishes and closes; at last the evicted connections send their second part and close.
TEST(LoadTest, ReplayOfMoreConnectionsThanTheTableHolds)
{
    std::vector<CConversation> c;
    for (int i = 0; i < kConnections; ++i)
        c.emplace_back(0x0a000001 + uint32_t(i / 1000), uint16_t(2000 + i % 1000), 0x0a020002, 443,
                       uint32_t(i) * 104729u, ~uint32_t(i));
    auto part = [](int i, int n) { return Payload(i, n, 400 + size_t(i % 7) * 10); };
    std::vector<Bytes> packets;
    auto add = [&](const std::vector<Bytes> &more) {
        packets.insert(packets.end(), more.begin(), more.end());
    };
    auto send = [&](int i, int n) {
        packets.push_back(c[size_t(i - 1)].Send(0, TCP_ACK, part(i, n)));
    };
    auto finish = [&](int i) {
        packets.push_back(c[size_t(i - 1)].Send(1, TCP_ACK, Payload(i, 9, 300)));
        add(c[size_t(i - 1)].Close(i % 2));
    };
    for (int i = 1; i <= kTable; ++i)
        add(c[size_t(i - 1)].Handshake());
    for (int i = 1; i <= kTable; ++i)
        send(i, 0);
    for (int i = 1; i <= kRecent; ++i)
        send(i, 1);
    for (int i = kTable + 1; i <= kConnections; ++i)
        add(c[size_t(i - 1)].Handshake());
    for (int i = 1; i <= kConnections; ++i) {
        if (Evicted(i))
            continue;
        if (i > kTable)
            send(i, 0);
        if (i > kRecent)
            send(i, 1);
        finish(i);
    }
    for (int i = kRecent + 1; i <= kRecent + kExtra; ++i) {
        send(i, 1);
        finish(i);
    }

    CTempDir dir;
    WritePcap(dir.Path() + "in.pcap", Ethernet(packets));
    const std::string folder = dir.Path() + "out/";
    std::string out, err;
    ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder}, &out, &err), 0) << err;
    // One stream per connection, and one more: the first packet of an evicted connection
    // starts a stream that waits for a SYN (and takes nothing).
    EXPECT_EQ(Lines(out).size(), size_t(kConnections + 1));
    EXPECT_EQ(ReadText(folder + "log.txt"), "DataLinkLayer Headersize : 14\r\nPacket Combine "
                                            "mode\r\nCaptured Packet : 1501\r\n");
    for (int i = 1; i <= kConnections; ++i) {
        Bytes initiator = part(i, 0);
        if (!Evicted(i)) {
            const Bytes second = part(i, 1);
            initiator.insert(initiator.end(), second.begin(), second.end());
        }
        EXPECT_EQ(ReadFileBytes(folder + StreamName(i, 1)), initiator) << i;
        EXPECT_EQ(ReadFileBytes(folder + StreamName(i, 2)),
                  Evicted(i) ? Bytes{} : Payload(i, 9, 300))
            << i;
    }
    EXPECT_TRUE(ReadFileBytes(folder + StreamName(kConnections + 1, 1)).empty());
}

// The same story live: 1500 connections on 127.0.0.1 opened one after another; the newest
// 1024 send, receive and close, then the 476 oldest, whose streams were evicted, do the same.
TEST(LoadTest, LiveConnectionsBeyondTheTableOnLoopback)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture on lo needs root (or CAP_NET_RAW)";
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 2 * kConnections + 64)
        GTEST_SKIP() << "the test needs " << 2 * kConnections + 64 << " descriptors";

    CTempDir dir;
    CChild cli(Cli({"-i", "lo", "-o", dir.Path(), "-q"}));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000)) << cli.Stderr();
    auto connections = OpenLoopbackConnections(kConnections, 3000);
    ASSERT_EQ(connections.size(), size_t(kConnections));
    auto exchange = [&](int i) {
        CLoopbackConnection &k = connections[size_t(i)];
        const Bytes request = Request(i), reply = Reply(i);
        SendPaced(k.client.Get(), request);
        SendPaced(k.server.Get(), reply);
        ReceiveExactly(k.server.Get(), request.size());
        ReceiveExactly(k.client.Get(), reply.size());
        ::shutdown(k.client.Get(), SHUT_WR);
        ::shutdown(k.server.Get(), SHUT_WR);
        ReceiveExactly(k.server.Get(), 1); // the FIN
        k.client.Reset();
        k.server.Reset();
    };
    for (int i = kExtra; i < kConnections; ++i)
        exchange(i);
    for (int i = 0; i < kExtra; ++i)
        exchange(i);
    // Every file as it stands, by the initiator's bytes; the responder's file beside it.
    std::map<Bytes, std::string> initiatorFiles;
    auto survivorsWritten = [&] {
        initiatorFiles.clear();
        for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
            const std::string path = entry.path().string();
            if (path.ends_with("-1.txt"))
                initiatorFiles[ReadFileBytes(path)] = path;
        }
        for (int i = kExtra; i < kConnections; ++i) {
            const auto it = initiatorFiles.find(Request(i));
            if (it == initiatorFiles.end() || ReadFileBytes(ResponderOf(it->second)) != Reply(i))
                return false;
        }
        return true;
    };
    WaitFor(survivorsWritten, 30000);
    cli.Signal(SIGINT);
    ASSERT_EQ(cli.Wait(30000), 0) << cli.Stderr();
    EXPECT_NE(cli.Stderr().find("dropped by the kernel: 0"), std::string::npos) << cli.Stderr();
    survivorsWritten();
    for (int i = 0; i < kConnections; ++i) {
        const auto it = initiatorFiles.find(Request(i));
        if (i < kExtra) {
            EXPECT_EQ(it, initiatorFiles.end()) << "connection " << i << " was evicted";
            continue;
        }
        ASSERT_NE(it, initiatorFiles.end()) << "connection " << i;
        EXPECT_EQ(ReadFileBytes(ResponderOf(it->second)), Reply(i)) << "connection " << i;
    }
}
