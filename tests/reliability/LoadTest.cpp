// More connections at once than the stream table holds (1024).
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

namespace {

constexpr int kTable = 1024;
constexpr int kConnections = 1500;
constexpr int kExtra = kConnections - kTable; // streams the table must give up
constexpr int kRecent = 100;                  // the oldest streams, but recently active

// Which connections lose their stream when 476 more open than the table holds: every stream
// carries data, so the idle order decides, and the first 100 sent again just before.
bool Evicted(int connection) { return connection > kRecent && connection <= kRecent + kExtra; }


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
    WritePcap(dir.Path() + "in.pcap", packets);
    const std::string folder = dir.Path() + "out/";
    std::string out, err;
    ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder}, &out, &err), 0) << err;
    // One stream per connection, one more (the first packet of an evicted connection starts a
    // stream that waits for a SYN) and the one line that tells of the first eviction.
    const auto lines = Lines(out);
    EXPECT_EQ(lines.size(), size_t(kConnections + 2));
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "ストリーム数が上限に達したため、古いストリームの追跡を終了しました。"),
              1);
    EXPECT_EQ(ReadText(folder + "log.txt"), "DataLinkLayer Headersize : 14\r\nPacket Combine "
                                            "mode\r\nCaptured Packet : 1501\r\n");
    for (int i = 1; i <= kConnections; ++i) {
        Bytes initiator = part(i, 0);
        if (!Evicted(i)) {
            const Bytes second = part(i, 1);
            initiator.insert(initiator.end(), second.begin(), second.end());
        }
        EXPECT_EQ(ReadFileBytes(folder + StreamFileName(i, 1)), initiator) << i;
        EXPECT_EQ(ReadFileBytes(folder + StreamFileName(i, 2)),
                  Evicted(i) ? Bytes{} : Payload(i, 9, 300))
            << i;
    }
    EXPECT_EQ(err.substr(err.find("streams with missing bytes")), "streams with missing bytes: 0\n");
}
