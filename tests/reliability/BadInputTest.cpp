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

// The documented outcomes: exit 1 with one "marlinox-cli: " line on standard error, or exit 0;
// either way a log.txt that was created is complete.
void ExpectCleanOutcome(int status, const std::string &err, const std::string &folder)
{
    ASSERT_TRUE(status == 0 || status == 1) << "status " << status << "\n" << err;
    int reasons = 0;
    for (const auto &line : Lines(err))
        reasons += line.rfind("marlinox-cli: ", 0) == 0;
    EXPECT_EQ(reasons, status) << err;
    static const std::regex complete("DataLinkLayer Headersize : (\\d+|Unknown)\r\n"
                                     "(RAW mode|Packet Combine mode)\r\n"
                                     "Captured Packet : \\d+\r\n");
    if (!folder.empty() && (status == 0 || FileExists(folder + "log.txt"))) {
        EXPECT_TRUE(std::regex_match(ReadText(folder + "log.txt"), complete));
    }
}

// Runs a capture of input into folder in both modes; returns the two exit statuses.
std::vector<int> CaptureBoth(const std::string &input, const std::string &folder)
{
    std::vector<int> statuses;
    for (bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "RAW mode" : "Packet Combine mode");
        std::vector<std::string> args = {"-r", input, "-o", folder + (raw ? "/raw/" : "/"), "-q"};
        if (raw)
            args.push_back("--raw");
        std::string out, err;
        statuses.push_back(RunCli(args, &out, &err));
        ExpectCleanOutcome(statuses.back(), err, folder.size() < PATH_MAX ? args[3] : "");
        if (statuses.back() == 0) {
            EXPECT_EQ(out, "") << "no file failed";
        }
    }
    return statuses;
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
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string input = dir.Path() + "in" + std::to_string(++n);
        WriteFile(input, c.make());
        EXPECT_EQ(CaptureBoth(input, input + "-out"), std::vector<int>(2, c.status));
        if (c.streamWhole) {
            EXPECT_EQ(ReadFileBytes(input + "-out/p0000000001-1.txt"), data);
        }
    }
}

// Folder names that a shell would mangle, and paths near and beyond the system's limits.
// Folders that deep are made one level at a time, relative to the previous one, as no single
// call could take their whole path; the files in them are made relative to the folder.
TEST(BadInputTest, AwkwardAndOverlongOutputFolders)
{
    CTempDir dir;
    WritePcap(dir.Path() + "in.pcap", SmallConnection(PatternBytes(300, 5)));
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
    const std::pair<std::string, int> cases[] = {
        {dir.Path() + "quote's \"double\"\nnew line $HOME 日本語 *?[glob]", 0},
        {dir.Path() + std::string(NAME_MAX + 1, 'n'), 1},
        {makeDeep(PATH_MAX - 13), 0},
        {makeDeep(PATH_MAX + 500), 1},
    };
    for (const auto &[folder, status] : cases) {
        SCOPED_TRACE(folder.size());
        EXPECT_EQ(CaptureBoth(dir.Path() + "in.pcap", folder), std::vector<int>(2, status));
    }
}
