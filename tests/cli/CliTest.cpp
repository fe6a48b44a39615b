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

// Bad usage exits with 2, says what is wrong and then how to use the program; a capture that
// cannot run exits with 1 and one line that says why.
TEST(CliTest, UsageErrorsAndFailuresSayWhy)
{
    CTempDir dir;
    const std::string in = WriteTwoConnections(dir.Path() + "in.pcap");
    std::ofstream(dir.Path() + "file") << "x";
    std::ofstream(dir.Path() + "garbage.pcap") << "this is not a capture file at all";
    struct Case
    {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{}, 2, "no interface (-i) or capture file (-r) given"},
        {{"-r", in}, 2, "no output folder (-o) given"},
        {{"-i", "lo", "-r", in, "-o", dir.Path()}, 2, "-i and -r cannot be given together"},
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{"-x"}, 2, "unknown option -x"},
        {{"-r", in, "-o"}, 2, "option -o needs an argument"},
        {{"--to-pcap", dir.Path()}, 2, "--to-pcap needs a folder and a file to write"},
        {{"-D", "extra"}, 2, "unexpected argument extra"},
        {{"-r", in, "-o", dir.Path() + "o", "port", "99999"}, 2, "bad filter expression: "},
        {{"-r", dir.Path() + "missing.pcap", "-o", dir.Path() + "o"}, 1,
         dir.Path() + "missing.pcap: cannot read the capture file: No such file or directory"},
        {{"-r", dir.Path() + "garbage.pcap", "-o", dir.Path() + "o"}, 1,
         "デバイスを開けませんでした"},
        {{"-r", in, "-o", dir.Path() + "file/sub"}, 1, dir.Path() + "file: not a folder"},
        {{"-r", in, "-o", "/proc/marlinox"}, 1, "/proc/marlinox: cannot create the folder: "},
        {{"-i", "marlinox-none0", "-o", dir.Path() + "o"}, 1, "デバイスを開けませんでした"},
        {{"-r", in, "-o", dir.Path() + "o", "-Z", "marlinox-no-such-user"}, 1,
         "no such user: marlinox-no-such-user"},
    };
    for (const auto &c : cases) {
        std::string err;
        EXPECT_EQ(RunCli(c.args, nullptr, &err), c.status) << c.message;
        const std::string said = c.status == 2 ? err : err.substr(err.rfind("marlinox-cli: "));
        EXPECT_EQ(said.rfind("marlinox-cli: ", 0), 0u) << err;
        EXPECT_NE(said.find(c.message), std::string::npos) << err;
        if (c.status == 2) {
            EXPECT_EQ(said.find("\n\nusage: marlinox-cli"), said.find('\n')) << err;
        } else {
            EXPECT_EQ(CountLines(said), 1u) << err;
        }
    }
    for (const char *help : {"-h", "--help"}) {
        std::string out;
        EXPECT_EQ(RunCli({help}, &out), 0);
        EXPECT_EQ(out.rfind("usage: marlinox-cli", 0), 0u);
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
