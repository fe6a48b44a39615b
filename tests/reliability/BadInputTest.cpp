// Hostile input: broken capture files and awkward output folders.
#include "PacketBuilder.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <regex>
#include <unistd.h>

namespace {

// One connection: handshake, 300 bytes from the initiator in three segments, close.
std::vector<Bytes> SmallConnection(const Bytes &data)
{
    CConversation c(0x0a000001, 1000, 0x0a000002, 80, 1000, 5000);
    std::vector<Bytes> packets = c.Handshake();
    for (size_t at = 0; at < data.size(); at += 100)
        packets.push_back(c.Send(0, TCP_ACK, std::span(data).subspan(at, 100)));
    for (auto &p : c.Close(0))
        packets.push_back(p);
    return packets;
}

void Put32(Bytes &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// pcapng blocks in the writer's byte order.
void AppendBlock(Bytes &out, uint32_t type, const Bytes &body)
{
    Bytes padded = body;
    padded.resize((body.size() + 3) / 4 * 4);
    const uint32_t total = uint32_t(padded.size() + 12);
    Bytes block(total);
    Put32(block, 0, type);
    Put32(block, 4, total);
    std::copy(padded.begin(), padded.end(), block.begin() + 8);
    Put32(block, total - 4, total);
    out.insert(out.end(), block.begin(), block.end());
}

// A section with an Ethernet interface (0) and a raw IPv4 interface (1), and packets on both.
Bytes PcapngWithTwoLinkTypes(const std::vector<Bytes> &packets)
{
    Bytes out;
    Bytes shb(16, 0);
    Put32(shb, 0, 0x1A2B3C4D);
    Put32(shb, 4, 1);                                      // version 1.0
    Put32(shb, 8, 0xFFFFFFFF), Put32(shb, 12, 0xFFFFFFFF); // section length unknown
    AppendBlock(out, 0x0A0D0D0A, shb);
    for (uint32_t linkType : {1u, 228u}) {
        Bytes idb(8, 0);
        Put32(idb, 0, linkType);
        Put32(idb, 4, 262144);
        AppendBlock(out, 1, idb);
    }
    for (size_t i = 0; i < packets.size(); ++i) {
        const uint32_t interface = uint32_t(i % 2);
        const Bytes data = interface == 0 ? BuildFrame(1, packets[i]) : packets[i];
        Bytes epb(20, 0);
        Put32(epb, 0, interface);
        Put32(epb, 12, uint32_t(data.size()));
        Put32(epb, 16, uint32_t(data.size()));
        epb.insert(epb.end(), data.begin(), data.end());
        AppendBlock(out, 6, epb);
    }
    return out;
}

// A finished output folder has a log.txt of exactly three lines.
bool IsCompleteLog(const std::string &text)
{
    static const std::regex complete("DataLinkLayer Headersize : (\\d+|Unknown)\r\n"
                                     "(RAW mode|Packet Combine mode)\r\n"
                                     "Captured Packet : \\d+\r\n");
    return std::regex_match(text, complete);
}

// The documented outcomes: exit 1 with one "marlinox-cli: " line on standard error, or exit 0
// with a complete log.txt. Either way log.txt, when it was created, is complete.
void ExpectCleanOutcome(int status, const std::string &err, const std::string &folder)
{
    ASSERT_TRUE(status == 0 || status == 1) << "status " << status << "\n" << err;
    int reasons = 0;
    for (const auto &line : Lines(err))
        reasons += line.rfind("marlinox-cli: ", 0) == 0;
    EXPECT_EQ(reasons, status) << err;
    if (!folder.empty() && (status == 0 || FileExists(folder + "log.txt"))) {
        EXPECT_TRUE(IsCompleteLog(ReadText(folder + "log.txt"))) << ReadText(folder + "log.txt");
    }
}

} // namespace

TEST(BadInputTest, BrokenCaptureFilesEndCleanly)
{
    CTempDir dir;
    const Bytes data = PatternBytes(300, 5);
    WritePcap(dir.Path() + "good.pcap", SmallConnection(data));
    const Bytes good = ReadFileBytes(dir.Path() + "good.pcap");
    const size_t firstRecord = 24, secondRecord = firstRecord + 16 + 54;

    struct Case
    {
        const char *what;
        std::function<Bytes()> make;
        int status;       // expected exit status
        bool streamWhole; // Packet Combine mode writes the initiator's 300 bytes
    };
    const Case cases[] = {
        {"empty file", [] { return Bytes{}; }, 1, false},
        {"truncated global header", [&] { return Bytes(good.begin(), good.begin() + 12); }, 1,
         false},
        {"global header only", [&] { return Bytes(good.begin(), good.begin() + 24); }, 0, false},
        {"truncated record header",
         [&] { return Bytes(good.begin(), good.begin() + long(secondRecord) + 9); }, 1, false},
        {"truncated record", [&] { return Bytes(good.begin(), good.end() - 10); }, 1, false},
        {"caplen above the snapshot length",
         [&] {
             Bytes b = good;
             Put32(b, 16, 64); // every data segment's frame is longer
             return b;
         },
         0, false},
        {"caplen above the original length",
         [&] {
             Bytes b = good;
             for (size_t at = firstRecord; at + 16 <= b.size();) {
                 uint32_t caplen;
                 std::memcpy(&caplen, &b[at + 8], 4);
                 Put32(b, at + 12, caplen / 2);
                 at += 16 + caplen;
             }
             return b;
         },
         0, true},
        {"caplen beyond any snapshot length",
         [&] {
             Bytes b = good;
             Put32(b, secondRecord + 8, 0x7FFFFFFF);
             return b;
         },
         1, false},
        {"zero-length records",
         [&] {
             Bytes b(good.begin(), good.begin() + long(secondRecord));
             const Bytes empty = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 60, 0, 0, 0};
             for (int i = 0; i < 3; ++i)
                 b.insert(b.end(), empty.begin(), empty.end());
             b.insert(b.end(), good.begin() + long(secondRecord), good.end());
             return b;
         },
         0, true},
        {"garbage", [] { return PatternBytes(5000, 9); }, 1, false},
        {"pcap magic, then garbage",
         [&] {
             Bytes b(good.begin(), good.begin() + 24);
             const Bytes junk = PatternBytes(5000, 10);
             b.insert(b.end(), junk.begin(), junk.end());
             return b;
         },
         1, false},
        {"pcapng with Ethernet and raw IPv4 interfaces",
         [&] { return PcapngWithTwoLinkTypes(SmallConnection(data)); }, 1, false},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string input = dir.Path() + "in" + std::to_string(++n);
        WriteFile(input, c.make());
        for (bool raw : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (raw ? ", RAW mode" : ", Packet Combine mode"));
            const std::string folder = input + (raw ? "-raw/" : "-combine/");
            std::vector<std::string> args = {"-r", input, "-o", folder, "-q"};
            if (raw)
                args.push_back("--raw");
            std::string err;
            const int status = RunCli(args, nullptr, &err);
            ExpectCleanOutcome(status, err, folder);
            EXPECT_EQ(status, c.status) << err;
            if (c.streamWhole && !raw) {
                EXPECT_EQ(ReadFileBytes(folder + "p0000000001-1.txt"), data);
            }
        }
    }
}

TEST(BadInputTest, OutputFolderNamesWithAwkwardCharacters)
{
    CTempDir dir;
    const Bytes data = PatternBytes(300, 5);
    WritePcap(dir.Path() + "in.pcap", SmallConnection(data));
    const char *const names[] = {
        "with spaces", "quote's \"double\"", "new\nline", "tab\tand$HOME", "日本語のフォルダ",
        "-dash",       "back\\slash",        "*?[glob]"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        const std::string folder = dir.Path() + name + "/";
        std::string out, err;
        ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder}, &out, &err), 0) << err;
        EXPECT_EQ(out, "Capture : p0000000001\n");
        EXPECT_EQ(ReadFileBytes(folder + "p0000000001-1.txt"), data);
        EXPECT_TRUE(IsCompleteLog(ReadText(folder + "log.txt")));
        ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder + "raw", "--raw"}), 0);
        EXPECT_TRUE(FileExists(folder + "raw/p0000000009.pd"));
    }
}

// Paths near and beyond PATH_MAX. Folders that deep are made one level at a time, relative
// to the previous one, as no single call could take their whole path.
TEST(BadInputTest, OutputFolderPathsBeyondTheSystemLimit)
{
    CTempDir dir;
    const Bytes data = PatternBytes(300, 5);
    WritePcap(dir.Path() + "in.pcap", SmallConnection(data));
    auto makeDeep = [&](size_t length) {
        std::string path = dir.Path() + "deep";
        int fd = ::open(dir.Path().c_str(), O_DIRECTORY | O_CLOEXEC);
        std::string level = "deep";
        while (fd >= 0 && path.size() < length) {
            ::mkdirat(fd, level.c_str(), 0755);
            const int next = ::openat(fd, level.c_str(), O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
            level = std::string(std::min<size_t>(200, length - path.size() - 1), 'd');
            path += "/" + level;
        }
        if (fd >= 0)
            ::close(fd);
        return path; // its last level does not exist yet
    };
    struct Case
    {
        const char *what;
        std::string folder;
        int status;
    };
    const Case cases[] = {
        {"a level longer than NAME_MAX", dir.Path() + std::string(NAME_MAX + 1, 'n'), 1},
        // The files' own paths would pass PATH_MAX; they are made relative to the folder.
        {"files beyond PATH_MAX", makeDeep(PATH_MAX - 13), 0},
        {"folder beyond PATH_MAX", makeDeep(PATH_MAX + 500), 1},
    };
    for (const auto &c : cases) {
        for (bool raw : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (raw ? ", RAW mode" : ""));
            std::vector<std::string> args = {"-r", dir.Path() + "in.pcap", "-o", c.folder, "-q"};
            if (raw)
                args.push_back("--raw");
            std::string out, err;
            const int status = RunCli(args, &out, &err);
            ExpectCleanOutcome(status, err, c.folder.size() < PATH_MAX ? c.folder + "/" : "");
            EXPECT_EQ(status, c.status) << err;
            if (status == 0) {
                EXPECT_EQ(out, "") << "no file failed";
            }
        }
    }
}
