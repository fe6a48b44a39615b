#include "ChildProcess.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include <fstream>

namespace {

size_t CountLines(const std::string &s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

} // namespace

TEST(CliTest, UsageErrorsExitWithTwo)
{
    CTempDir dir;
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"-o", dir.Path()},
        {"-r", "x.pcap"},
        {"-i", "lo", "-r", "x.pcap", "-o", dir.Path()},
        {"-r", "x.pcap", "-o", dir.Path(), "extra"},
        {"--bogus"},
    };
    for (const auto &args : bad) {
        std::string err;
        EXPECT_EQ(RunCli(args, nullptr, &err), 2) << testing::PrintToString(args);
        EXPECT_NE(err.find("usage:"), std::string::npos);
    }
    std::string out;
    EXPECT_EQ(RunCli({"--help"}, &out), 0);
    EXPECT_NE(out.find("usage:"), std::string::npos);
}

TEST(CliTest, ReplaysACaptureFileInBothModes)
{
    CTempDir dir;
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    const auto data = PatternBytes(2000, 1);
    {
        CPcapWriter writer(dir.Path() + "in.pcap", DLT_EN10MB);
        for (const auto &p : a.Handshake())
            writer.Write(BuildEthernetFrame(p));
        writer.Write(BuildEthernetFrame(a.Send(0, TCP_ACK, data)));
        for (const auto &p : a.Close(0))
            writer.Write(BuildEthernetFrame(p));
    }
    std::string out, err;
    EXPECT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", dir.Path() + "new/deeper"}, &out, &err),
              0)
        << err;
    EXPECT_EQ(ReadFileBytes(dir.Path() + "new/deeper/p0000000001-1.txt"), data);
    EXPECT_EQ(out, "Capture : p0000000001\n");
    EXPECT_NE(err.find("packets read: 7, streams created: 1"), std::string::npos) << err;

    EXPECT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", dir.Path() + "raw", "--raw", "-q"}, &out),
              0);
    EXPECT_EQ(out, "") << "-q keeps only problems";
    EXPECT_TRUE(FileExists(dir.Path() + "raw/p0000000007.pd"));
}

TEST(CliTest, FailuresExitWithOneAndOneLine)
{
    CTempDir dir;
    std::ofstream(dir.Path() + "file") << "x";
    std::ofstream(dir.Path() + "garbage.pcap") << "this is not a capture file at all";
    struct Case
    {
        std::vector<std::string> args;
        std::string expect;
    };
    const Case cases[] = {
        {{"-r", dir.Path() + "missing.pcap", "-o", dir.Path() + "o1"}, "No such file"},
        {{"-r", dir.Path() + "garbage.pcap", "-o", dir.Path() + "o2"},
         "デバイスを開けませんでした"},
        {{"-r", dir.Path() + "garbage.pcap", "-o", dir.Path() + "file"}, "file"},
        {{"-i", "marlinox-none0", "-o", dir.Path() + "o3"}, "デバイスを開けませんでした"},
    };
    for (const auto &c : cases) {
        std::string err;
        EXPECT_EQ(RunCli(c.args, nullptr, &err), 1) << c.args[1];
        const std::string last = err.substr(err.rfind("marlinox-cli: "));
        EXPECT_EQ(CountLines(last), 1u) << err;
        EXPECT_NE(last.find(c.expect), std::string::npos) << err;
    }
}

TEST(CliTest, ListsInterfaces)
{
    std::string out;
    ASSERT_EQ(RunCli({"-D"}, &out), 0);
    EXPECT_NE(out.find("lo\t"), std::string::npos) << out;
}
