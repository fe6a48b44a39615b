// Hostile input: broken capture files, frames whose length fields lie, awkward output folders.
#include "CaptureWorker.h"
#include "FakeHost.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <regex>
#include <sys/stat.h>
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
        const Bytes data = interface == 0 ? BuildEthernetFrame(packets[i]) : packets[i];
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
    WritePcap(dir.Path() + "good.pcap", Ethernet(SmallConnection(data)));
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
                EXPECT_EQ(ReadFileBytes(folder + StreamName(1, 1)), data);
            }
        }
    }
}

// A data segment bent in one way, sent between two good ones; what the initiator's file holds
// where the bent segment's 100 bytes belong.
TEST(BadInputTest, LengthFieldsThatPointPastTheCapturedBytes)
{
    const Bytes a = PatternBytes(100, 1), b = PatternBytes(100, 2), c = PatternBytes(100, 3);
    const Bytes zeros(100, 0);
    auto part = [](const Bytes &bytes, size_t from, size_t n) {
        Bytes r(bytes.begin() + long(from), bytes.begin() + long(from + n));
        r.resize(100, 0);
        return r;
    };
    struct Case
    {
        const char *what;
        std::function<void(TcpSegment &)> segment; // bends the segment before it is built
        std::function<void(Bytes &)> bytes;        // bends the built IPv4 datagram
        long caplen;                               // captured bytes of the frame; -1 all
        Bytes expected;
    };
    const auto none = [](Bytes &) {};
    const Case cases[] = {
        {"IPv4 options", [](TcpSegment &s) { s.ipHeaderLength = 24; }, none, -1, b},
        {"40 bytes of IPv4 options", [](TcpSegment &s) { s.ipHeaderLength = 60; }, none, -1, b},
        {"TCP options", [](TcpSegment &s) { s.tcpHeaderLength = 32; }, none, -1, b},
        {"both headers at 60 bytes",
         [](TcpSegment &s) { s.ipHeaderLength = s.tcpHeaderLength = 60; }, none, -1, b},
        {"payload cut by the snapshot length", [](TcpSegment &) {}, none, 14 + 40 + 40,
         part(b, 0, 40)},
        {"TCP header cut by the snapshot length", [](TcpSegment &) {}, none, 14 + 20 + 13, zeros},
        {"TCP options cut by the snapshot length", [](TcpSegment &s) { s.tcpHeaderLength = 60; },
         none, 14 + 20 + 30, zeros},
        {"total length short of the payload (Ethernet padding)",
         [](TcpSegment &s) { s.totalLength = 40 + 40; }, none, -1, part(b, 0, 40)},
        {"total length beyond the frame", [](TcpSegment &s) { s.totalLength = 1500; }, none, -1, b},
        {"total length inside the TCP header", [](TcpSegment &s) { s.totalLength = 30; }, none, -1,
         zeros},
        {"total length inside the IPv4 header", [](TcpSegment &s) { s.totalLength = 10; }, none, -1,
         zeros},
        {"IPv4 header length 60 over 20 bytes, cut short", [](TcpSegment &) {},
         [](Bytes &ip) { ip[0] = 0x4F; }, 14 + 40, zeros},
        {"IPv4 header length below 20", [](TcpSegment &) {}, [](Bytes &ip) { ip[0] = 0x44; }, -1,
         zeros},
        {"TCP header length 60 over 20 bytes", [](TcpSegment &) {},
         [](Bytes &ip) { ip[20 + 12] = 0xF0; }, -1, part(b, 40, 60)},
        {"TCP header length below 20", [](TcpSegment &) {}, [](Bytes &ip) { ip[20 + 12] = 0x40; },
         -1, zeros},
        {"first fragment, more to come", [](TcpSegment &s) { s.fragment = 0x2000; }, none, -1, b},
        {"later fragment", [](TcpSegment &s) { s.fragment = 0x0001; }, none, -1, zeros},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        CConversation conv(0x0a000001, 1000, 0x0a000002, 80, 0xfffffff0u, 5000);
        std::vector<Bytes> frames = Ethernet(conv.Handshake());
        frames.push_back(BuildEthernetFrame(conv.Send(0, TCP_ACK, a)));
        TcpSegment bent = conv.Segment(0, TCP_ACK | TCP_PSH);
        bent.payload = b;
        k.segment(bent);
        Bytes ip = BuildIpv4Tcp(bent);
        k.bytes(ip);
        const Bytes bentFrame = BuildEthernetFrame(ip);
        (void)conv.Send(0, TCP_ACK, b); // the numbers move on as if it had been sent
        std::vector<Bytes> after = {conv.Send(0, TCP_ACK, c)};
        for (auto &p : conv.Close(0))
            after.push_back(p);

        CTempDir input, viaWorker, viaTable;
        {
            CPcapWriter writer(input.Path() + "in.pcap", DLT_EN10MB);
            for (const auto &f : frames)
                writer.Write(f);
            writer.Write(bentFrame, k.caplen);
            for (const auto &p : after)
                writer.Write(BuildEthernetFrame(p));
        }
        CFakeHost host;
        host.file = input.Path() + "in.pcap";
        host.folder = viaWorker.Path();
        CaptureThreadProc(&host);
        Bytes expected = a;
        expected.insert(expected.end(), k.expected.begin(), k.expected.end());
        expected.insert(expected.end(), c.begin(), c.end());
        EXPECT_EQ(ReadFileBytes(viaWorker.Path() + StreamName(1, 1)), expected);
        EXPECT_TRUE(ReadFileBytes(viaWorker.Path() + StreamName(1, 2)).empty());

        // The same packets straight into a stream table, each in a buffer of exactly its
        // captured bytes, so that AddressSanitizer sees any read past them.
        struct : IStreamTableObserver
        {
            void OnStreamCreated(int) override {}
            void OnWriteFailure(const std::string &, int) override {}
        } observer;
        CStreamTable table(viaTable.Path(), observer);
        frames.push_back(Bytes(bentFrame.begin(),
                               k.caplen < 0 ? bentFrame.end() : bentFrame.begin() + k.caplen));
        for (const auto &p : after)
            frames.push_back(BuildEthernetFrame(p));
        for (const auto &f : frames) {
            const auto copy = std::make_unique<uint8_t[]>(f.size() - 14);
            std::copy(f.begin() + 14, f.end(), copy.get());
            const bool later = ((copy[6] & 0x1F) | copy[7]) != 0;
            if (CTcpStream::IsReadable(copy.get(), f.size() - 14) && !later)
                table.Offer(copy.get(), f.size() - 14);
        }
        table.CloseAll();
        EXPECT_EQ(ReadFileBytes(viaTable.Path() + StreamName(1, 1)), expected);
    }
}

TEST(BadInputTest, OutputFolderNamesWithAwkwardCharacters)
{
    CTempDir dir;
    const Bytes data = PatternBytes(300, 5);
    WritePcap(dir.Path() + "in.pcap", Ethernet(SmallConnection(data)));
    const char *const names[] = {
        "with spaces", "quote's \"double\"", "new\nline", "tab\tand$HOME", "日本語のフォルダ",
        "-dash",       "back\\slash",        "*?[glob]"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        const std::string folder = dir.Path() + name + "/";
        std::string out, err;
        ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder}, &out, &err), 0) << err;
        EXPECT_EQ(out, "Capture : p0000000001\n");
        EXPECT_EQ(ReadFileBytes(folder + StreamName(1, 1)), data);
        EXPECT_TRUE(IsCompleteLog(ReadText(folder + "log.txt")));
        ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder + "raw", "--raw"}), 0);
        EXPECT_TRUE(FileExists(folder + "raw/" + PacketName(9)));
    }
}

// Paths near and beyond PATH_MAX. Folders that deep are made one level at a time, relative
// to the previous one, as no single call could take their whole path.
TEST(BadInputTest, OutputFolderPathsBeyondTheSystemLimit)
{
    CTempDir dir;
    const Bytes data = PatternBytes(300, 5);
    WritePcap(dir.Path() + "in.pcap", Ethernet(SmallConnection(data)));
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
        // "log.txt" still fits under PATH_MAX, "p0000000001-1.txt" no longer does.
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
                // Nothing but log.txt fits under the limit: the first file that could not be
                // created is reported, once, in both modes.
                EXPECT_EQ(Lines(out).size(), 1u) << out;
                EXPECT_NE(out.find("ファイルを作成できませんでした"), std::string::npos) << out;
            }
        }
    }
}
