#include "ChildProcess.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

size_t CountLines(const std::string &s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

// Two connections to ports 80 and 81, each with 2000 bytes from its initiator, closed.
std::string WriteTwoConnections(const std::string &path)
{
    CPcapWriter writer(path, DLT_EN10MB);
    for (uint16_t port : {80, 81}) {
        CConversation c(0x0a000001, 1000, 0x0a000002, port, port * 100u, 200);
        for (const auto &p : c.Handshake())
            writer.Write(BuildFrame(1, p));
        writer.Write(BuildFrame(1, c.Send(0, TCP_ACK, PatternBytes(2000, port))));
        for (const auto &p : c.Close(0))
            writer.Write(BuildFrame(1, p));
    }
    return path;
}

// Every frame of a capture file with its time stamp and lengths.
std::vector<std::pair<std::string, Bytes>> ReadCapture(const std::string &path)
{
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_offline(path.c_str(), error);
    std::vector<std::pair<std::string, Bytes>> frames;
    pcap_pkthdr *h;
    const u_char *data;
    while (p && pcap_next_ex(p, &h, &data) == 1)
        frames.emplace_back(std::to_string(h->ts.tv_sec) + "." + std::to_string(h->ts.tv_usec) +
                                "/" + std::to_string(h->len),
                            Bytes(data, data + h->caplen));
    if (p)
        pcap_close(p);
    return frames;
}

} // namespace

TEST(CliTest, UsageErrorsSayWhatIsWrongAndExitWithTwo)
{
    CTempDir dir;
    const std::string in = WriteTwoConnections(dir.Path() + "in.pcap");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no interface (-i) or capture file (-r) given"},
        {{"-r", in}, "no output folder (-o) given"},
        {{"-i", "lo", "-r", in, "-o", dir.Path()}, "-i and -r cannot be given together"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"-r", in, "-o"}, "option -o needs an argument"},
        {{"--to-pcap", dir.Path()}, "--to-pcap needs a folder and a file to write"},
        {{"-D", "extra"}, "unexpected argument extra"},
        {{"-r", in, "-o", dir.Path() + "o", "port", "99999"}, "bad filter expression: "},
    };
    for (const auto &[args, message] : cases) {
        std::string err;
        EXPECT_EQ(RunCli(args, nullptr, &err), 2) << message;
        EXPECT_EQ(err.rfind("marlinox-cli: " + message, 0), 0u) << err;
        EXPECT_NE(err.find("\n\nusage: marlinox-cli"), std::string::npos) << err;
    }
    for (const char *help : {"-h", "--help"}) {
        std::string out;
        EXPECT_EQ(RunCli({help}, &out), 0);
        EXPECT_EQ(out.rfind("usage: marlinox-cli", 0), 0u);
    }
}

TEST(CliTest, ReplaysACaptureFileWithAFilterInBothModes)
{
    CTempDir dir;
    const std::string in = WriteTwoConnections(dir.Path() + "in.pcap");
    std::string out, err;
    EXPECT_EQ(RunCli({"-r", in, "-o", dir.Path() + "new/deeper", "tcp", "port", "81"}, &out, &err),
              0)
        << err;
    EXPECT_EQ(ReadFileBytes(dir.Path() + "new/deeper/p0000000001-1.txt"), PatternBytes(2000, 81));
    EXPECT_EQ(out, "Capture : p0000000001\n");
    EXPECT_EQ(err, "packets read: 7, streams created: 1, files that failed: 0, streams with "
                   "missing bytes: 0\n");
    struct stat st{};
    ASSERT_EQ(::stat((dir.Path() + "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "folders made for a capture are private";

    EXPECT_EQ(RunCli({"-r", in, "-o", dir.Path() + "raw", "--raw", "-q"}, &out, &err), 0);
    EXPECT_EQ(out, "") << "-q keeps only problems";
    EXPECT_TRUE(FileExists(dir.Path() + "raw/p0000000014.pd"));
}

TEST(CliTest, FailuresExitWithOneAndOneLineThatSaysWhy)
{
    CTempDir dir;
    std::ofstream(dir.Path() + "file") << "x";
    std::ofstream(dir.Path() + "garbage.pcap") << "this is not a capture file at all";
    const std::string in = WriteTwoConnections(dir.Path() + "in.pcap");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-r", dir.Path() + "missing.pcap", "-o", dir.Path() + "o1"},
         dir.Path() + "missing.pcap: cannot read the capture file: No such file or directory"},
        {{"-r", dir.Path() + "garbage.pcap", "-o", dir.Path() + "o2"}, "デバイスを開けませんでした"},
        {{"-r", in, "-o", dir.Path() + "file"}, dir.Path() + "file: not a folder"},
        {{"-r", in, "-o", dir.Path() + "file/sub"}, dir.Path() + "file: not a folder"},
        {{"-r", in, "-o", "/proc/marlinox"}, "/proc/marlinox: cannot create the folder: "},
        {{"-i", "marlinox-none0", "-o", dir.Path() + "o3"}, "デバイスを開けませんでした"},
        {{"-r", in, "-o", dir.Path() + "o4", "-Z", "marlinox-no-such-user"},
         "no such user: marlinox-no-such-user"},
    };
    for (const auto &[args, expect] : cases) {
        std::string err;
        EXPECT_EQ(RunCli(args, nullptr, &err), 1) << expect;
        const std::string last = err.substr(err.rfind("marlinox-cli: "));
        EXPECT_EQ(CountLines(last), 1u) << err;
        EXPECT_NE(last.find(expect), std::string::npos) << err;
    }
}

// RAW output turns back into a capture file with the frames, time stamps and lengths it came
// from; a frame file replaced by a link is not read through it.
TEST(CliTest, RawOutputRoundTripsThroughToPcap)
{
    CTempDir dir;
    const std::string in = WriteTwoConnections(dir.Path() + "in.pcap");
    ASSERT_EQ(RunCli({"-r", in, "-o", dir.Path() + "raw", "--raw", "-q"}), 0);
    std::string err;
    ASSERT_EQ(RunCli({"--to-pcap", dir.Path() + "raw", dir.Path() + "back.pcap"}, nullptr, &err), 0)
        << err;
    EXPECT_EQ(ReadCapture(dir.Path() + "back.pcap"), ReadCapture(in));
    EXPECT_EQ(err, "frames written: 14, missing: 0, wrong length: 0\n");

    const std::string second = dir.Path() + "raw/p0000000002.pd";
    ASSERT_EQ(::unlink(second.c_str()), 0);
    ASSERT_EQ(::symlink((dir.Path() + "raw/p0000000001.pd").c_str(), second.c_str()), 0);
    std::ofstream(dir.Path() + "raw/p0000000003.pd", std::ios::app) << "x";
    EXPECT_EQ(RunCli({"--to-pcap", dir.Path() + "raw", dir.Path() + "back.pcap"}, nullptr, &err), 3);
    EXPECT_EQ(err, "frames written: 12, missing: 1, wrong length: 1\n");
    auto expected = ReadCapture(in);
    expected.erase(expected.begin() + 1, expected.begin() + 3);
    EXPECT_EQ(ReadCapture(dir.Path() + "back.pcap"), expected);
}

TEST(CliTest, ListsInterfacesWithWhatPacketCombineModeMakesOfThem)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "opening interfaces to ask needs root (or CAP_NET_RAW)";
    std::string out;
    ASSERT_EQ(RunCli({"-D"}, &out), 0);
    const std::string all = "\n" + out;
    const size_t at = all.find("\nlo\t");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string line = all.substr(at + 1, all.find('\n', at + 1) - at - 1);
    EXPECT_EQ(line.substr(line.rfind('\t')), "\tcombine") << out;
}
