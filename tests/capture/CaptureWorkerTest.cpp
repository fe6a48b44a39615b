#include "CaptureWorker.h"
#include "FakeHost.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

std::string StreamName(int n, int side)
{
    char name[32];
    std::snprintf(name, sizeof name, "p%010d-%d.txt", n, side);
    return name;
}

class CaptureWorkerTest : public ::testing::Test
{
protected:
    // Writes frames into a capture file and runs the worker over it.
    void Capture(const Frames &frames, bool combine, int linkType = DLT_EN10MB)
    {
        {
            CPcapWriter writer(input.Path() + "in.pcap", linkType);
            for (const auto &f : frames)
                writer.Write(f);
        }
        RunOn(input.Path() + "in.pcap", combine);
    }

    void RunOn(const std::string &file, bool combine)
    {
        host.file = file;
        host.folder = out.Path();
        host.combine = combine;
        CaptureThreadProc(&host);
    }

    static Frames Ethernet(const Frames &packets)
    {
        Frames frames;
        for (const auto &p : packets)
            frames.push_back(BuildEthernetFrame(p));
        return frames;
    }

    Bytes Out(const std::string &name) const { return ReadFileBytes(out.Path() + name); }
    bool Has(const std::string &name) const { return FileExists(out.Path() + name); }

    CTempDir input;
    CTempDir out;
    CFakeHost host;
};

} // namespace

TEST_F(CaptureWorkerTest, RawModeWritesEveryFrameWhole)
{
    CConversation conv(0x7f000001, 5000, 0x7f000001, 6000, 1, 2);
    const Frames frames = {BuildEthernetFrame(conv.Send(0, TCP_SYN)),
                           BuildEthernetFrame(PatternBytes(50, 1), 0x86DD), // not IPv4
                           BuildEthernetFrame(conv.Send(1, TCP_SYN | TCP_ACK, PatternBytes(9, 2)))};
    Capture(frames, false);
    for (int i = 0; i < 3; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%010d.pd", i + 1);
        EXPECT_EQ(Out(name), frames[size_t(i)]) << name;
    }
    EXPECT_EQ(ReadText(out.Path() + "log.txt"),
              "DataLinkLayer Headersize : 14\r\nRAW mode\r\nCaptured Packet : 3\r\n");
    EXPECT_EQ(host.log, "Capture Packet 1\r\nCapture Packet 2\r\nCapture Packet 3\r\n");
    const std::vector<std::string> expected = {"open:" + out.Path(), "title:キャプチャ終了",
                                               "enable"};
    EXPECT_EQ(host.events, expected);
}

TEST_F(CaptureWorkerTest, PacketCombineFollowsParallelConnectionsFromTheirFirstSyn)
{
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    CConversation b(0x0a000001, 1001, 0x0a000002, 80, 0xfffffff0u, 300);
    const Bytes aData = PatternBytes(3000, 1), bData = PatternBytes(500, 2);
    const Bytes aReply = PatternBytes(700, 3);
    Frames packets = {a.Send(0, TCP_SYN),           b.Send(0, TCP_SYN), // two SYNs back to back
                      a.Send(1, TCP_SYN | TCP_ACK), b.Send(1, TCP_SYN | TCP_ACK),
                      a.Send(0, TCP_ACK),           b.Send(0, TCP_ACK)};
    packets.push_back(a.Send(0, TCP_ACK, std::span(aData).first(1500)));
    packets.push_back(b.Send(0, TCP_ACK, bData));
    packets.push_back(a.Send(0, TCP_ACK, std::span(aData).subspan(1500)));
    packets.push_back(a.Send(1, TCP_ACK, aReply));
    for (auto &p : a.Close(1))
        packets.push_back(p);
    packets.push_back(b.Send(1, TCP_RST | TCP_ACK)); // b is reset
    CConversation stray(0x0a000003, 7, 0x0a000004, 8, 1, 2);
    packets.push_back(stray.Send(0, TCP_ACK)); // nobody's: a new stream waits for a SYN
    Capture(Ethernet(packets), true);

    EXPECT_EQ(Out(StreamName(1, 1)), aData);
    EXPECT_EQ(Out(StreamName(1, 2)), aReply);
    EXPECT_EQ(Out(StreamName(2, 1)), bData);
    EXPECT_TRUE(Out(StreamName(2, 2)).empty());
    // The stray packet made a stream that still waits; it is counted, its files exist.
    EXPECT_TRUE(Has(StreamName(3, 1)) && Has(StreamName(3, 2)));
    EXPECT_FALSE(Has(StreamName(4, 1)));
    EXPECT_EQ(host.log, "Capture : p0000000001\r\nCapture : p0000000002\r\n"
                        "Capture : p0000000003\r\n");
    EXPECT_EQ(ReadText(out.Path() + "log.txt"),
              "DataLinkLayer Headersize : 14\r\nPacket Combine mode\r\nCaptured Packet : 3\r\n");
    EXPECT_EQ(host.outcome.nStreams, 3);
    EXPECT_FALSE(host.outcome.bFailed);
}

TEST_F(CaptureWorkerTest, PacketsThatCannotBeReadCreateNoStream)
{
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    TcpSegment fragment = a.Segment(0, TCP_SYN);
    fragment.fragment = 0x0010; // a later fragment: no TCP header inside
    Frames frames = {BuildEthernetFrame(BuildIpv4Tcp(fragment))};
    const Bytes syn = BuildEthernetFrame(a.Send(0, TCP_SYN));
    frames.push_back(Bytes(syn.begin(), syn.begin() + 14 + 33)); // headers cut short
    frames.push_back(Bytes(syn.begin(), syn.begin() + 10));      // not even the link layer
    Capture(frames, true);
    EXPECT_EQ(host.log, "");
    EXPECT_EQ(ReadText(out.Path() + "log.txt"),
              "DataLinkLayer Headersize : 14\r\nPacket Combine mode\r\nCaptured Packet : 0\r\n");
}

TEST_F(CaptureWorkerTest, UnsupportedLinkTypeFallsBackToRawMode)
{
    // Link type 228 (bare IPv4) is not one the stream reassembly knows.
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    TcpSegment udp = a.Segment(0, 0);
    Bytes notTcp = BuildIpv4Tcp(udp);
    notTcp[9] = 17;
    const Frames frames = {a.Send(0, TCP_SYN), notTcp, a.Send(1, TCP_SYN | TCP_ACK)};
    for (bool combine : {true, false}) {
        SCOPED_TRACE(combine);
        host.Reset();
        CTempDir folder;
        {
            CPcapWriter writer(input.Path() + "ipv4.pcap", 228);
            for (const auto &f : frames)
                writer.Write(f);
        }
        host.file = input.Path() + "ipv4.pcap";
        host.folder = folder.Path();
        host.combine = combine;
        CaptureThreadProc(&host);
        const std::string count = combine ? "2" : "3"; // the filter stays in force
        EXPECT_EQ(ReadText(folder.Path() + "log.txt"),
                  "DataLinkLayer Headersize : Unknown\r\nRAW mode\r\nCaptured Packet : " + count +
                      "\r\n");
        EXPECT_EQ(ReadFileBytes(folder.Path() + "p0000000002.pd"), combine ? frames[2] : frames[1]);
        EXPECT_FALSE(host.combine);
        const bool asked = !host.events.empty() && host.events[0].rfind("message:", 0) == 0;
        EXPECT_EQ(asked, combine);
        if (combine) {
            EXPECT_EQ(host.events[1], "clear");
        }
    }
}

TEST_F(CaptureWorkerTest, EarlyEndsReportAndLeaveNoFiles)
{
    struct Case
    {
        const char *what;
        bool device;
        std::string folder;
        std::string line;
    };
    pcap_if_t missing{};
    missing.name = const_cast<char *>("marlinox-no-such-if0");
    const Case cases[] = {
        {"no device", false, out.Path(), "デバイスが選択されていません。\r\n"},
        {"device cannot be opened", true, out.Path(), "デバイスを開けませんでした。\r\n"},
    };
    for (const auto &c : cases) {
        host.Reset();
        host.device = c.device ? &missing : nullptr;
        host.folder = c.folder;
        CaptureThreadProc(&host);
        EXPECT_EQ(host.log, c.line) << c.what;
        const std::vector<std::string> expected = {"title:キャプチャ終了", "enable"};
        EXPECT_EQ(host.events, expected) << c.what;
        EXPECT_TRUE(host.outcome.bFailed);
        EXPECT_FALSE(Has("log.txt"));
    }
}

TEST_F(CaptureWorkerTest, LogFileThatCannotBeCreated)
{
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    {
        CPcapWriter writer(input.Path() + "in.pcap", DLT_EN10MB);
        writer.Write(BuildEthernetFrame(a.Send(0, TCP_SYN)));
    }
    host.file = input.Path() + "in.pcap";
    host.folder = out.Path() + "missing/";
    CaptureThreadProc(&host);
    EXPECT_EQ(host.log, "ログファイルを開けませんでした。\r\n");
    const std::vector<std::string> expected = {"title:キャプチャ終了", "enable"};
    EXPECT_EQ(host.events, expected) << "the folder is not opened";
}

TEST_F(CaptureWorkerTest, ReadErrorEndsTheCaptureWithTheLibraryText)
{
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    {
        CPcapWriter writer(input.Path() + "in.pcap", DLT_EN10MB);
        writer.Write(BuildEthernetFrame(a.Send(0, TCP_SYN)));
        writer.Write(BuildEthernetFrame(a.Send(1, TCP_SYN | TCP_ACK)));
    }
    // Cut the second record short.
    Bytes whole = ReadFileBytes(input.Path() + "in.pcap");
    whole.resize(whole.size() - 10);
    std::ofstream(input.Path() + "cut.pcap", std::ios::binary)
        .write(reinterpret_cast<const char *>(whole.data()), std::streamsize(whole.size()));
    RunOn(input.Path() + "cut.pcap", false);
    EXPECT_EQ(host.log.rfind("Capture Packet 1\r\n", 0), 0u);
    EXPECT_NE(host.log.find("truncated"), std::string::npos) << host.log;
    EXPECT_NE(host.log.back(), '\n') << "the library's text, without a line end of ours";
    EXPECT_EQ(ReadText(out.Path() + "log.txt"),
              "DataLinkLayer Headersize : 14\r\nRAW mode\r\nCaptured Packet : 1\r\n");
    EXPECT_EQ(host.events.front(), "open:" + out.Path());
    EXPECT_TRUE(host.outcome.bFailed);
}

TEST_F(CaptureWorkerTest, SecondCaptureReplacesOnlyWhatItReaches)
{
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    Capture({BuildEthernetFrame(a.Send(0, TCP_SYN)), BuildEthernetFrame(a.Send(0, TCP_ACK)),
             BuildEthernetFrame(a.Send(0, TCP_ACK))},
            false);
    const Bytes third = Out("p0000000003.pd");
    host.Reset();
    Capture({BuildEthernetFrame(PatternBytes(60, 7), 0x0806)}, false);
    EXPECT_EQ(Out("p0000000001.pd"), BuildEthernetFrame(PatternBytes(60, 7), 0x0806));
    EXPECT_EQ(Out("p0000000003.pd"), third);
    EXPECT_EQ(ReadText(out.Path() + "log.txt"),
              "DataLinkLayer Headersize : 14\r\nRAW mode\r\nCaptured Packet : 1\r\n");
}
