#include "ChildProcess.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <pcap/pcap.h>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sent(int connection, int side)
{
    return PatternBytes(size_t(300 + connection % 97 * 13 + side * 50),
                        uint32_t(connection * 2 + side));
}

} // namespace

// 500 connections open at once need 1000 stream files; the process may hold 64 descriptors.
TEST(DescriptorLimitTest, EveryStreamIsExactUnderSixtyFourDescriptors)
{
    constexpr int kConnections = 500;
    CTempDir dir;
    std::vector<CConversation> conns;
    for (int i = 0; i < kConnections; ++i)
        conns.emplace_back(0x0a000000 + uint32_t(i), uint16_t(2000 + i), 0x0a100001, 80,
                           uint32_t(i) * 7919u, 0xfffff000u + uint32_t(i));
    {
        CPcapWriter writer(dir.Path() + "many.pcap", DLT_EN10MB);
        auto write = [&](const Bytes &p) { writer.Write(BuildEthernetFrame(p)); };
        for (auto &c : conns) {
            for (const auto &p : c.Handshake())
                write(p);
        }
        // Every connection sends in two halves, interleaved with all the others.
        for (int half = 0; half < 2; ++half) {
            for (int i = 0; i < kConnections; ++i) {
                for (int side : {0, 1}) {
                    const Bytes data = Sent(i, side);
                    const size_t mid = data.size() / 2;
                    const auto part =
                        half == 0 ? std::span(data).first(mid) : std::span(data).subspan(mid);
                    write(conns[size_t(i)].Send(side, TCP_ACK, part));
                }
            }
        }
        for (int i = 0; i < kConnections; ++i) {
            for (const auto &p : conns[size_t(i)].Close(i % 2))
                write(p);
        }
    }
    std::string out, err;
    ASSERT_EQ(RunCli({"-r", dir.Path() + "many.pcap", "-o", dir.Path() + "out"}, &out, &err, 64), 0)
        << err;
    for (int i = 0; i < kConnections; ++i) {
        for (int side : {0, 1}) {
            char name[40];
            std::snprintf(name, sizeof name, "out/p%010d-%d.txt", i + 1, side + 1);
            ASSERT_EQ(ReadFileBytes(dir.Path() + name), Sent(i, side)) << name;
        }
    }
    const std::string evicting = "ファイル記述子の上限に達したため";
    EXPECT_EQ(out.find(evicting), out.rfind(evicting)) << "said once";
    EXPECT_NE(out.find(evicting), std::string::npos);
    EXPECT_EQ(out.find("ファイルに書き込めませんでした"), std::string::npos) << out;
}
