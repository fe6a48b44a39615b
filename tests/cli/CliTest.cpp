// marlinox-cli on capture files written by the test: what each mode writes into the output
// folder, for every link layer and IP version that Packet Combine mode assembles; how it answers
// bad usage and failures; and live on lo, on connections the test makes.
#include "ChildProcess.h"
#include "IndexRows.h"
#include "Loopback.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using Frames = std::vector<Bytes>;

// The time stamp the capture-file writer gives frame i: one second apart.
std::string TimeOf(int i) { return FormatTime((1700000000 + int64_t(i)) * 1000000); }

Frames Framed(const Frames &packets, int linkType = 1, std::vector<uint16_t> vlans = {})
{
    Frames frames;
    for (const auto &p : packets)
        frames.push_back(BuildFrame(linkType, p, vlans));
    return frames;
}

// A RAW mode output folder at path, made by hand: frames of 2000, 4000 and 6000 bytes and
// their rows, then the rows of extra.
void MakeRawFolder(const std::string &path, const std::string &extra = "")
{
    std::filesystem::create_directory(path);
    std::string index = kFrameIndexHeader;
    for (uint32_t i = 1; i <= 3; ++i) {
        WriteFile(path + PacketFileName(int(i)), PatternBytes(2000 * i, i));
        index += FrameRow(int(i), (1700000000 + i) * 1000000ll, 2000 * i, 2000 * i, 1);
    }
    std::ofstream(path + FrameIndexName(), std::ios::binary) << index << extra;
}

struct CaptureTest : ::testing::Test
{
    // Writes frames (the first `cut` of them captured 10 bytes short) into a capture file and
    // captures it; returns the exit status, with what was printed in out and err.
    int Capture(const Frames &frames, std::vector<std::string> args = {}, int linkType = 1,
                size_t cut = 0)
    {
        CPcapWriter writer(dir.Path() + "in.pcap", linkType);
        for (size_t i = 0; i < frames.size(); ++i)
            writer.Write(frames[i], i < cut ? long(frames[i].size()) - 10 : -1);
        writer.Close();
        args.insert(args.begin(), {"-r", dir.Path() + "in.pcap", "-o", dir.Path() + "out"});
        return RunCli(args, &out, &err);
    }
    Bytes File(const std::string &name) const { return ReadFileBytes(dir.Path() + "out/" + name); }
    std::string Text(const std::string &name) const { return ReadText(dir.Path() + "out/" + name); }

    CTempDir dir;
    std::string out, err;
};
using CliTest = CaptureTest;

} // namespace

// RAW mode writes every frame into a file of its own and lists it in frames.csv; --to-pcap
// turns the folder back into the capture file it came from, byte for byte, but reads no frame
// file through a link planted in its place.
TEST_F(CaptureTest, RawModeWritesEveryFrameWholeAndTurnsBackIntoTheCaptureFile)
{
    CConversation conv(0x7f000001, 5000, 0x7f000001, 6000, 1, 2);
    const Frames frames = {BuildFrame(1, conv.Send(0, TCP_SYN, PatternBytes(30, 3))),
                           BuildFrame(1, PatternBytes(50, 1), {}, 0x0806), // not IP
                           BuildFrame(1, conv.Send(1, TCP_SYN | TCP_ACK, PatternBytes(9, 2)))};
    EXPECT_EQ(Capture(frames, {"--raw"}, 1, 1), 0) << err;
    EXPECT_EQ(File(PacketFileName(1)), Bytes(frames[0].begin(), frames[0].end() - 10))
        << "only the captured bytes";
    EXPECT_EQ(File(PacketFileName(2)), frames[1]);
    EXPECT_EQ(File(PacketFileName(3)), frames[2]);
    EXPECT_EQ(Text(LogFileName()), Log("14", "RAW mode", 3));
    EXPECT_EQ(out, "Capture Packet 1\nCapture Packet 2\nCapture Packet 3\n");
    EXPECT_EQ(Text(FrameIndexName()), std::string(kFrameIndexHeader) + "0000000001," + TimeOf(0) +
                                          ",74,84,1\r\n" + "0000000002," + TimeOf(1) +
                                          ",64,64,1\r\n" + "0000000003," + TimeOf(2) +
                                          ",63,63,1\r\n");

    const std::string in = dir.Path() + "in.pcap", back = dir.Path() + "back.pcap";
    ASSERT_EQ(RunCli({"--to-pcap", dir.Path() + "out", back}, nullptr, &err), 0) << err;
    EXPECT_EQ(err, "frames written: 3, missing: 0, wrong length: 0\n");
    Bytes whole = ReadFileBytes(in);
    whole[16] = 74, whole[18] = 0; // snap length: the longest frame's, not 262144 (little-endian)
    EXPECT_EQ(ReadFileBytes(back), whole);
    // Frame 2 a link to frame 1, frame 3 one byte too long: only frame 1 is written back, and
    // the file ends after its record (24 bytes of file header, 16 of record header, 74 bytes).
    const std::string second = dir.Path() + "out/p0000000002.pd";
    ASSERT_EQ(::unlink(second.c_str()), 0);
    ASSERT_EQ(::symlink((dir.Path() + "out/p0000000001.pd").c_str(), second.c_str()), 0);
    std::ofstream(dir.Path() + "out/p0000000003.pd", std::ios::app) << "x";
    EXPECT_EQ(RunCli({"--to-pcap", dir.Path() + "out", back}, nullptr, &err), 3);
    EXPECT_EQ(err, "frames written: 1, missing: 1, wrong length: 1\n");
    EXPECT_EQ(ReadFileBytes(back), Bytes(whole.begin(), whole.begin() + 114));
}

// --to-pcap on a folder made by hand (frames of 2000, 4000 and 6000 bytes), with rows it must
// not write: lengths of -1 and 4 GiB, 255 blanks and a row in one line, a frame longer than it
// was sent, a time before 1970. Each is counted and the first is named; standard output gets
// what the good rows alone give the file, within a bounded address space (where no sanitizer
// needs more), and a reader that goes away fails it.
TEST_F(CliTest, ToPcapCountsTheRowsItCannotWrite)
{
    const std::string in = dir.Path() + "in/", good = dir.Path() + "good.pcap";
    MakeRawFolder(in);
    ASSERT_EQ(RunCli({"--to-pcap", in, good}, nullptr, &err), 0) << err;
    const Bytes expected = ReadFileBytes(good);
    ASSERT_EQ(expected.size(), 24 + 3 * 16 + 12000u);
    EXPECT_EQ(expected[16] | expected[17] << 8, 6000) << "snap length: the longest frame's";
    MakeRawFolder(in, "0000000001," + FormatTime(0) + ",-1,2000,1\r\n" + std::string(255, ' ') +
                          FrameRow(2, 0, 4000, 4000, 1) + FrameRow(2, 0, ~0u, ~0u, 1) +
                          FrameRow(2, 0, 4000, 3999, 1) + FrameRow(2, -1, 4000, 4000, 1));
    std::vector<std::string> argv = Cli({"--to-pcap", in, "-"});
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v 200000 && exec \"$@\"", "sh"});
#endif
    CChild cli(argv);
    EXPECT_EQ(cli.Wait(60000), 3);
    EXPECT_EQ(cli.Stderr(), "marlinox-cli: frames.csv line 5: not a frame row\nframes written: 3, "
                            "missing: 0, wrong length: 0, unreadable rows: 2, longer than they "
                            "were sent: 1, over 262144 bytes: 1, with a time before 1970 or after "
                            "2106: 1\n");
    EXPECT_EQ(cli.Stdout(), std::string(expected.begin(), expected.end()));
    EXPECT_EQ(RunCli({"--to-pcap", in, "-"}, nullptr, &err, {.stdoutGone = true, .env = {}}), 1);
    EXPECT_EQ(err, "marlinox-cli: standard output: Broken pipe\n");
}

// As root: a full disk fails --to-pcap with its reason and leaves no file; as another user
// (-Z), the file is that user's, and a hard link planted to a file only root may read is
// missing.
TEST_F(CliTest, ToPcapOnAFullDiskAndAsAnotherUser)
{
    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        GTEST_SKIP() << "mounting a tmpfs and becoming another user need root and the user nobody";
    const std::string in = dir.Path() + "in/", full = dir.Path() + "full/";
    MakeRawFolder(in);
    std::filesystem::create_directory(full);
    ASSERT_EQ(::mount("marlinox-test", full.c_str(), "tmpfs", 0, "size=8k"), 0);
    EXPECT_EQ(RunCli({"--to-pcap", in, full + "out.pcap"}, nullptr, &err), 1);
    EXPECT_FALSE(FileExists(full + "out.pcap")) << "a partial file";
    ::umount2(full.c_str(), MNT_DETACH);
    EXPECT_EQ(err, "marlinox-cli: " + full + "out.pcap: No space left on device\n");
    const std::string secret = dir.Path() + "secret", second = in + PacketFileName(2);
    WriteFile(secret, PatternBytes(4000, 9));
    ASSERT_EQ(::chmod(secret.c_str(), 0600) | ::chmod(dir.Path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(in.c_str(), nobody->pw_uid, nobody->pw_gid) | ::unlink(second.c_str()), 0);
    ASSERT_EQ(::link(secret.c_str(), second.c_str()), 0);
    EXPECT_EQ(RunCli({"-Z", "nobody", "--to-pcap", in, in + "z.pcap"}, nullptr, &err), 3);
    EXPECT_EQ(err, "frames written: 2, missing: 1, wrong length: 0\n");
    struct stat st
    {
    };
    EXPECT_EQ(::stat((in + "z.pcap").c_str(), &st) == 0 ? st.st_uid : 0, nobody->pw_uid);
}

// Connections side by side: one closed with a segment never captured, one reset, one over
// IPv6 still open at the end, and a last packet that is nobody's (its stream is never
// followed). connections.csv lists them as they end.
TEST_F(CaptureTest, PacketCombineFollowsParallelConnectionsAndIndexesThem)
{
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    CConversation b(0x0a000001, 1001, 0x0a000002, 80, 0xfffffff0u, 300);
    const Bytes aData = PatternBytes(3000, 1), bData = PatternBytes(500, 2),
                aReply = PatternBytes(700, 3);
    Frames packets = {a.Send(0, TCP_SYN),           b.Send(0, TCP_SYN), // two SYNs back to back
                      a.Send(1, TCP_SYN | TCP_ACK), b.Send(1, TCP_SYN | TCP_ACK),
                      a.Send(0, TCP_ACK),           b.Send(0, TCP_ACK)};
    packets.push_back(a.Send(0, TCP_ACK, std::span(aData).first(1500)));
    packets.push_back(b.Send(0, TCP_ACK, bData));
    a.Send(0, TCP_ACK, std::span(aData).subspan(1500, 1000)); // never captured
    packets.push_back(a.Send(0, TCP_ACK, std::span(aData).subspan(2500)));
    packets.push_back(a.Send(1, TCP_ACK, aReply));
    Append(packets, a.Close(1));
    packets.push_back(b.Send(1, TCP_RST | TCP_ACK)); // b is reset
    CConversation c(0x0a000005, 9, 0x0a000006, 443, 1, 2, 6);
    Append(packets, c.Handshake());
    packets.push_back(c.Send(1, TCP_ACK, bData)); // c is still open at the end
    packets.push_back(CConversation(0x0a000003, 7, 0x0a000004, 8, 1, 2).Send(0, TCP_ACK));
    EXPECT_EQ(Capture(Framed(packets)), 0) << err;
    Bytes aWritten = aData;
    std::fill(aWritten.begin() + 1500, aWritten.begin() + 2500, 0);
    EXPECT_EQ(File(StreamFileName(1, 1)), aWritten);
    EXPECT_EQ(File(StreamFileName(1, 2)), aReply);
    EXPECT_EQ(File(StreamFileName(2, 1)), bData);
    EXPECT_EQ(File(StreamFileName(3, 2)), bData);
    EXPECT_EQ(out, "Capture : p0000000001\nCapture : p0000000002\n"
                   "Capture : p0000000003\nCapture : p0000000004\n"
                   "データが欠けているストリーム : 1\n");
    EXPECT_EQ(Text(LogFileName()), Log("14", "Packet Combine mode", 4));
    // Rows as the streams end: a by its close, b by its reset, then the rest at the end.
    EXPECT_EQ(
        Text(ConnectionIndexName()),
        ConnectionIndexHeader() + "0000000001," + TimeOf(0) + "," + TimeOf(12) +
            ",10.0.0.1,1000,10.0.0.2,80,3000,700,1000,0,yes,closed,,3000,700,handshake\r\n" +
            "0000000002," + TimeOf(1) + "," + TimeOf(13) +
            ",10.0.0.1,1001,10.0.0.2,80,500,0,0,0,yes,reset,,500,0,handshake\r\n" + "0000000003," +
            TimeOf(14) + "," + TimeOf(17) +
            ",fd00::a00:5,9,fd00::a00:6,443,0,500,0,0,yes,capture_ended,,0,500,handshake\r\n" +
            "0000000004," + TimeOf(18) + "," + TimeOf(18) +
            ",10.0.0.3,7,10.0.0.4,8,,,,,,not_followed,,,,\r\n");
    EXPECT_EQ(err, "packets read: 19, streams created: 4, files that failed: 0, streams with "
                   "missing bytes: 1\n");
}

// Every link layer and IP version that Packet Combine mode assembles: each connection's files
// hold exactly what its sides sent, and a second connection with the same addresses and ports
// on another VLAN is a stream of its own. Then the link types it does not assemble.
TEST_F(CaptureTest, LinkLayersAndIpVersions)
{
    struct Link
    {
        const char *name;
        int type;
        std::vector<uint16_t> vlans;
        int header;
    };
    const Link links[] = {{"Ethernet", 1, {}, 14},     {"802.1Q", 1, {100}, 14},
                          {"QinQ", 1, {100, 200}, 14}, {"SLL tagged", 113, {7}, 16},
                          {"SLL2", 276, {}, 20},       {"raw IP", 12, {}, 0},
                          {"null", 0, {}, 4},          {"loop", 108, {}, 4}};
    for (const Link &link : links) {
        for (int version : {4, 6}) {
            SCOPED_TRACE(testing::Message() << link.name << " IPv" << version);
            CConversation conv(0x0a000001, 1000, 0x0a000002, 80, 0xfffffff0u, 5, version);
            const Bytes up = PatternBytes(1800, 1), down = PatternBytes(90, 2);
            Frames frames = Framed(conv.Handshake(), link.type, link.vlans);
            // The same addresses and ports on another VLAN, while the first is open.
            CConversation twin(0x0a000001, 1000, 0x0a000002, 80, 9, 9, version);
            if (!link.vlans.empty())
                frames.push_back(BuildFrame(link.type, twin.Send(0, TCP_SYN), {99}));
            // A first fragment (more to follow, offset 0) holds its TCP bytes.
            TcpSegment first = conv.Segment(0, TCP_ACK);
            first.payload = up;
            first.fragment = 0x2000;
            conv.Send(0, TCP_ACK, up);
            Frames packets = {BuildIpTcp(first), conv.Send(1, TCP_ACK, down)};
            Append(packets, conv.Close(1));
            Append(frames, Framed(packets, link.type, link.vlans));
            EXPECT_EQ(Capture(frames, {}, link.type), 0) << err;
            EXPECT_EQ(File(StreamFileName(1, 1)), up);
            EXPECT_EQ(File(StreamFileName(1, 2)), down);
            EXPECT_EQ(Text(LogFileName()), Log(std::to_string(link.header), "Packet Combine mode",
                                               link.vlans.empty() ? 1 : 2));
        }
    }
    // The other link types it knows, by the header length that log.txt gives them. Bare IPv4
    // (228) it cannot assemble: asked for Packet Combine mode, it says so and captures in RAW
    // mode, keeping the mode's selection of TCP (2 of the 3 frames).
    CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
    Bytes udp = BuildIpTcp(a.Segment(0, 0));
    udp[9] = 17;
    const Frames three = {a.Send(0, TCP_SYN), udp, a.Send(1, TCP_SYN | TCP_ACK)};
    for (const auto &[type, header, mode] : {std::tuple(6, "15", "--raw"),
                                             {7, "2", "--raw"},
                                             {11, "4", "--raw"},
                                             {228, "Unknown", "--raw"},
                                             {228, "Unknown", "-q"}}) {
        SCOPED_TRACE(testing::Message() << "link type " << type << " " << mode);
        const bool fallback = std::string(mode) == "-q";
        EXPECT_EQ(Capture(three, {mode}, type), 0);
        EXPECT_EQ(Text(LogFileName()), Log(header, "RAW mode", fallback ? 2 : 3));
        EXPECT_EQ(File(PacketFileName(2)), three[fallback ? 2 : 1]);
        EXPECT_EQ(err.rfind("対応していないデータリンク層プロトコルです。\n", 0) == 0, fallback);
    }
}

// A full table gives a new connection the place of the stream idle longest among those that
// never carried data: neither a flood of SYNs nor one of empty handshakes (what connect() to
// any open port gives) pushes out a connection that carries data. The first eviction is told,
// once.
TEST_F(CaptureTest, FloodsSpareConnectionsThatCarryData)
{
    for (bool handshakes : {false, true}) {
        SCOPED_TRACE(handshakes ? "completed handshakes" : "SYNs");
        CConversation busy(0x0a000001, 1, 0x0a000002, 80, 10, 20);
        Frames packets = busy.Handshake();
        const Bytes data = PatternBytes(200, 1);
        packets.push_back(busy.Send(0, TCP_ACK, std::span(data).first(100)));
        for (uint32_t i = 0; i < 1100; ++i) {
            CConversation flood(0x0b000000 + i, 2, 0x0a000002, 80, 1, 2);
            if (handshakes)
                Append(packets, flood.Handshake());
            else
                packets.push_back(flood.Send(0, TCP_SYN));
        }
        packets.push_back(busy.Send(0, TCP_ACK, std::span(data).subspan(100)));
        Append(packets, busy.Close(0));
        EXPECT_EQ(Capture(Framed(packets), {"-q"}), 0) << err;
        EXPECT_EQ(out, "ストリーム数が上限に達したため、古いストリームの追跡を終了しました。\n");
        EXPECT_EQ(File(StreamFileName(1, 1)), data);
        const auto rows = Lines(Text(ConnectionIndexName()));
        EXPECT_TRUE(rows[1].starts_with("0000000002,") &&
                    rows[1].ends_with(",evicted,,0,0,handshake\r"))
            << rows[1];
        EXPECT_NE(Text(ConnectionIndexName()).find(",closed,"), std::string::npos);
    }
}

// What the capture proves was sent, against what it has: a download whose tail and FIN were
// lost while the client acknowledged all of it, one whose tail was lost and that sent no FIN
// (the acknowledgment then proves one byte less), and two connections open before the capture
// that no stream follows. capture.json tells it all, field by field.
TEST_F(CaptureTest, MissingTailsAndConnectionsNotFollowedAreTold)
{
    CConversation x(0x0a000009, 5000, 0x0a000002, 22, 7, 8),
        y(0x0a00000a, 5001, 0x0a000002, 22, 7, 8);
    Frames packets = {x.Send(0, TCP_ACK, PatternBytes(10, 1)),
                      y.Send(1, TCP_ACK, PatternBytes(10, 2))};
    const Bytes body = PatternBytes(20000, 3);
    for (bool fin : {true, false}) {
        CConversation c(0x0a000001, uint16_t(1000 + fin), 0x0a000002, 80, 100, 200);
        Append(packets, c.Handshake());
        for (size_t at = 0; at < body.size(); at += 1000) {
            const Bytes p = c.Send(1, TCP_ACK, std::span(body).subspan(at, 1000));
            if (at < 15000) // the last five segments are lost
                packets.push_back(p);
        }
        if (fin) {
            c.Send(1, TCP_ACK | TCP_FIN); // lost too; the ACK after it lies one past it
            packets.push_back(c.Send(0, TCP_ACK));
        }
        packets.push_back(c.Send(fin ? 1 : 0, TCP_ACK));
    }
    packets.push_back(x.Send(0, TCP_ACK, PatternBytes(10, 4))); // makes a stream it does not take
    EXPECT_EQ(Capture(Framed(packets), {"-q"}), 0) << err;
    EXPECT_EQ(out, "データが欠けているストリーム : 2\n");
    EXPECT_NE(err.find("streams with missing bytes: 2"), std::string::npos) << err;
    const auto rows = Lines(Text(ConnectionIndexName()));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_NE(rows[1].find(",0,15000,0,5000,yes,capture_ended,,0,20000,handshake\r"),
              std::string::npos)
        << rows[1];
    EXPECT_NE(rows[2].find(",0,15000,0,4999,yes,capture_ended,,0,19999,handshake\r"),
              std::string::npos)
        << rows[2];
    EXPECT_EQ(rows[3], "0000000003," + TimeOf(int(packets.size()) - 1) + "," +
                           TimeOf(int(packets.size()) - 1) +
                           ",10.0.0.9,5000,10.0.0.2,22,,,,,,not_followed,,,,\r");
    const std::string json =
        std::regex_replace(Text(CaptureJsonName()),
                           std::regex("\"(version|started|ended)\": \"[^\"]+\""), "\"$1\": _");
    EXPECT_EQ(json,
              "{\n  \"program\": \"marlinox-cli\",\n  \"version\": _,\n  \"mode\": "
              "\"packet_combine\",\n  \"fell_back_to_raw\": false,\n  \"source_type\": "
              "\"file\",\n  \"source\": \"" +
                  dir.Path() +
                  "in.pcap\",\n  \"filter\": "
                  "null,\n  \"link_type\": 1,\n  \"snap_length\": 262144,\n  \"buffer_bytes\": "
                  "null,\n  \"started\": _,\n  \"ended\": _,\n  \"packets_read\": " +
                  std::to_string(packets.size()) +
                  ",\n  \"kernel_dropped\": null,\n  \"interface_dropped\": null,\n  "
                  "\"streams\": 3,\n  \"streams_with_missing_bytes\": 2,\n  \"bytes_missing\": "
                  "9999,\n  \"files_failed\": 0,\n  \"connections_not_followed\": 2,\n  "
                  "\"connections_not_followed_exact\": true,\n  \"refused_segments\": 0,\n  "
                  "\"outcome\": \"completed\"\n}\n");
}

// --midstream follows connections whose handshake came before the capture, each direction from
// its first segment seen: a server that answers first (its client is the initiator) with its
// second segment before its first (which is left out), and a client that sends first. The
// first takes the stream that a packet without data left waiting. They close as any stream
// does. Without the option, neither is followed.
TEST_F(CaptureTest, MidstreamFollowsConnectionsAlreadyOpen)
{
    CConversation a(0x0a000001, 40000, 0x0a000002, 80, 100, 200),
        b(0x0a000003, 5000, 0x0a000002, 22, 300, 400);
    a.Handshake(), b.Handshake(); // before the capture
    const Bytes s1 = PatternBytes(100, 1), s2 = PatternBytes(200, 2), c1 = PatternBytes(50, 3),
                d1 = PatternBytes(70, 4), d2 = PatternBytes(80, 5);
    const Bytes first = a.Send(1, TCP_ACK, s1);
    Frames packets = {b.Send(1, TCP_ACK),     a.Send(1, TCP_ACK, s2), first,
                      b.Send(0, TCP_ACK, d1), a.Send(0, TCP_ACK, c1), b.Send(1, TCP_ACK, d2)};
    Append(packets, a.Close(0));
    EXPECT_EQ(Capture(Framed(packets), {"--midstream"}), 0) << err;
    EXPECT_EQ(std::tuple(File(StreamFileName(1, 1)), File(StreamFileName(1, 2)),
                         File(StreamFileName(2, 1)), File(StreamFileName(2, 2))),
              std::tuple(c1, s2, d1, d2));
    auto rows = Lines(Text(ConnectionIndexName()));
    EXPECT_TRUE(rows[1].ends_with(",10.0.0.1,40000,10.0.0.2,80,50,200,0,0,yes,closed,,50,200,"
                                  "midstream\r") &&
                rows[2].ends_with(",10.0.0.3,5000,10.0.0.2,22,70,80,0,0,yes,capture_ended,,70,80,"
                                  "midstream\r"))
        << rows[1] << rows[2];
    EXPECT_EQ(Capture(Framed(packets)), 0) << err;
    rows = Lines(Text(ConnectionIndexName()));
    EXPECT_TRUE(rows.size() == 2 && rows[1].ends_with(",not_followed,,,,\r"));
    EXPECT_NE(Text(CaptureJsonName()).find("\"connections_not_followed\": 2,"), std::string::npos);
}

// Bad usage exits with 2, says what is wrong and where to look; a capture that cannot run exits
// with 1 and one line in English, the library's or the system's reason (the log line, in
// Japanese, goes to standard output alone).
TEST_F(CliTest, UsageErrorsAndFailuresSayWhy)
{
    const std::string in = dir.Path() + "in.pcap", o = dir.Path() + "o";
    CPcapWriter(in, 1).Close();
    std::ofstream(dir.Path() + "file") << "x";
    std::ofstream(dir.Path() + "garbage.pcap") << "this is not a capture file at all";
    // Arguments, exit status, what the message says.
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{}, 2, "no interface (-i) or capture file (-r) given"},
        {{"-r", in}, 2, "no output folder (-o) given"},
        {{"-i", "lo", "-r", in, "-o", dir.Path()}, 2, "-i and -r cannot be given together"},
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{"-r", in, "-o"}, 2, "option -o needs an argument"},
        {{"--to-pcap", dir.Path()}, 2, "--to-pcap needs a folder and a file to write"},
        {{"-D", "extra"}, 2, "unexpected argument extra"},
        {{"-r", in, "-o", o, "-r", in}, 2, "option -r given twice"},
        {{"-c", "0"}, 2, "-c 0: not a packet count"},
        {{"--duration", "1e3"}, 2, "--duration 1e3: not a positive number of seconds"},
        {{"-s", "262145"}, 2, "-s 262145: not a snap length"},
        {{"-B", "-1"}, 2, "-B -1: not a buffer size in KiB"},
        {{"-r", in, "-o", o, "port", "99999"}, 2, "bad filter expression: illegal port number"},
        {{"-r", dir.Path() + "missing.pcap", "-o", o},
         1,
         dir.Path() + "missing.pcap: cannot read the capture file: No such file or directory"},
        {{"-r", dir.Path() + "garbage.pcap", "-o", o}, 1, "unknown file format"},
        {{"-r", in, "-o", dir.Path() + "file/sub"}, 1, dir.Path() + "file: not a folder"},
        {{"-r", in, "-o", "/proc/marlinox"}, 1, "/proc/marlinox: cannot create the folder: "},
        {{"-i", "marlinox-none0", "-o", o}, 1, "marlinox-none0: No such device"},
        {{"-r", in, "-o", o, "-Z", "marlinox-no-such-user"},
         1,
         "no such user: marlinox-no-such-user"},
    };
    for (const auto &[args, status, message] : cases) {
        EXPECT_EQ(RunCli(args, &out, &err), status) << message;
        const std::string line = err.substr(0, err.find('\n'));
        EXPECT_TRUE(line.starts_with("marlinox-cli: ") && line.find(message) != line.npos) << err;
        EXPECT_EQ(err.substr(line.size()), status == 2 ? "\nTry 'marlinox-cli --help'.\n" : "\n");
        EXPECT_TRUE(std::all_of(err.begin(), err.end(), [](char c) { return c > 0; })) << err;
        EXPECT_EQ(out.find(line.substr(14)), std::string::npos) << "said twice";
    }
    // -D lists lo with its flags; root may open it to ask, and Packet Combine mode assembles it.
    EXPECT_EQ(RunCli({"-D"}, &out), 0);
    const char *ability =
        ::geteuid() == 0 ? "combine\tup,running,loopback" : "(combine\t.*|\\?\t.*\tno privilege)";
    EXPECT_TRUE(std::regex_search(out, std::regex(std::string("(^|\n)lo\t.*\t") + ability + "\n")))
        << out;
}

// -c and --duration end a capture as Stop does, live and from a pipe that stays open: -c after
// exactly its count, --duration with no packet to wake it. -s and -B reach libpcap, and
// standard output reaches a file (as a pipe) while the capture runs.
TEST(CliLiveTest, StopConditionsSnapLengthAndPromptOutput)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture needs root (or CAP_NET_RAW)";
    CLoopbackListener listener;
    const std::string port = std::to_string(listener.GetPort());
    // Arguments, connections made (live) or frames sent down the pipe, packets read.
    const std::tuple<std::vector<std::string>, int, int> rows[] = {
        {{"-i", "lo", "-c", "3", "tcp", "port", port}, 1, 3},
        {{"-i", "lo", "--duration", "0.5", "tcp", "port", port}, 0, 0},
        {{"-r", "-", "-c", "3", "--raw"}, 5, 3},
        {{"-r", "-", "--duration", "0.5", "--raw"}, 2, 2},
    };
    for (auto [args, traffic, read] : rows) {
        SCOPED_TRACE(args[0] + " " + args[2]);
        CTempDir dir;
        const bool live = args[0] == "-i";
        args.insert(args.begin(), {"-o", dir.Path()});
        CChild cli(Cli(args), {.stdinPipe = !live, .env = {}});
        std::unique_ptr<CPcapWriter> pipe; // open until the capture has ended
        if (!live) {
            pipe = std::make_unique<CPcapWriter>(cli.TakeStdin(), 1);
            for (int i = 0; i < traffic; ++i)
                pipe->Write(PatternBytes(60, uint32_t(i)));
        }
        ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000));
        auto connections = listener.Connect(live ? traffic : 0);
        for (auto &c : connections)
            SendPaced(c.client.Get(), PatternBytes(5000, 1), 100);
        EXPECT_EQ(cli.Wait(20000), 0) << cli.Stderr();
        EXPECT_NE(cli.Stderr().find("packets read: " + std::to_string(read) + ","),
                  std::string::npos)
            << cli.Stderr();
        EXPECT_NE(ReadText(dir.Path() + CaptureJsonName()).find("\"outcome\": \"stopped\""),
                  std::string::npos);
    }
    CTempDir dir;
    CChild cli(Cli({"-i", "lo", "-o", dir.Path(), "-s", "100", "-B", "1024", "tcp", "port", port}));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000));
    auto connections = listener.Connect(1);
    EXPECT_TRUE(WaitFor([&] { return cli.Stdout() == "Capture : p0000000001\n"; }, 20000));
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(20000), 0) << cli.Stderr();
    EXPECT_NE(ReadText(dir.Path() + CaptureJsonName())
                  .find("\"snap_length\": 100,\n  \"buffer_bytes\": 1048576,"),
              std::string::npos);
}

// Live captures with a filter expression that keeps only the test's own port. Whatever the
// machine's load, every byte in a stream file is the byte sent there or a zero of a hole, and
// when the kernel dropped nothing the files are exact; a segment reaches its file while no
// further packet arrives. A bystander's connection to another port runs alongside, and the
// filter keeps it out; a capture killed (SIGKILL) after the traffic has paused loses nothing.
TEST(CliLiveTest, CapturesLoopbackConnectionsByteForByte)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture needs root (or CAP_NET_RAW)";
    using Scenario = std::tuple<const char *, const char *, int, bool, bool>;
    const Scenario scenarios[] = {
        {"IPv4 on lo", "lo", AF_INET, false, false},
        {"IPv6 on lo", "lo", AF_INET6, false, false},
        {"any, with a bystander", "any", AF_INET, true, false},
        {"IPv4 on lo, killed after the pause", "lo", AF_INET, false, true},
    };
    // What the initiator and the responder of each of three connections send; the first
    // initiator sends its first 1000 bytes alone, before all the rest.
    std::vector<Bytes> sent;
    for (uint32_t i = 0; i < 6; ++i)
        sent.push_back(PatternBytes(200000 + i * 777, i));
    const Bytes hello(sent[0].begin(), sent[0].begin() + 1000);
    const Bytes rest(sent[0].begin() + 1000, sent[0].end());
    for (const auto &[name, interface, family, bystander, kill] : scenarios) {
        SCOPED_TRACE(name);
        CLoopbackListener listener(family), other(family);
        if (!listener.IsOpen()) {
            std::printf("skipped %s: no loopback address of that family here\n", name);
            continue;
        }
        CTempDir dir;
        CChild cli(Cli({"-i", interface, "-o", dir.Path(), "-q", "tcp", "port",
                        std::to_string(listener.GetPort())}));
        ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000))
            << cli.Stderr();
        auto connections = listener.Connect(3);
        ASSERT_EQ(connections.size(), 3u);
        ASSERT_TRUE(SendPaced(connections[0].client.Get(), hello));
        ASSERT_EQ(ReceiveExactly(connections[0].server.Get(), hello.size()), hello);
        // Pending bytes are written once the capture has caught up, unless the kernel dropped
        // some of them (asked below, when the capture has ended).
        const bool helloWritten = WaitFor(
            [&] { return ReadFileBytes(dir.Path() + StreamFileName(1, 1)) == hello; }, 20000);
        auto outsiders = bystander ? other.Connect(1) : std::vector<CLoopbackConnection>{};
        std::vector<std::thread> exchanges;
        for (size_t i = 0; i < connections.size(); ++i)
            exchanges.emplace_back(Exchange, std::ref(connections[i]), i ? sent[2 * i] : rest,
                                   sent[2 * i + 1], i == 2);
        for (auto &o : outsiders)
            Exchange(o, hello, hello);
        for (auto &t : exchanges)
            t.join();
        // The streams are numbered in the order the connections opened (the filter keeps
        // everything else out), or as connections.csv says once the capture has ended.
        auto files = [&](bool indexed) {
            std::vector<Bytes> all;
            for (size_t i = 0; i < connections.size(); ++i) {
                const int n =
                    indexed ? StreamOfPort(dir.Path(), connections[i].wClientPort) : int(i) + 1;
                for (int side : {1, 2})
                    all.push_back(ReadFileBytes(dir.Path() + StreamFileName(n, side)));
            }
            return all;
        };
        long dropped = 0;
        if (kill) {
            // Once the traffic pauses and the reader has caught up, every byte is in its file,
            // and a capture killed without warning loses none of it. Only a drop of the
            // kernel's (a busy machine) can keep the files from being complete.
            dropped = WaitFor([&] { return files(false) == sent; }, 20000) ? 0 : 1;
            const std::vector<Bytes> before = files(false);
            cli.Signal(SIGKILL);
            EXPECT_EQ(cli.Wait(5000), 128 + SIGKILL);
            EXPECT_EQ(files(false), before) << "the kill lost bytes";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cli.Signal(SIGINT);
            ASSERT_EQ(cli.Wait(20000), 0) << cli.Stderr();
            dropped = DroppedBy(cli.Stderr());
            ASSERT_GE(dropped, 0) << cli.Stderr();
        }
        EXPECT_TRUE(helloWritten || dropped > 0);
        const std::vector<Bytes> got = files(!kill);
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_EQ(CheckCaptured(got[i], sent[i], dropped > 0), "") << i << ", " << dropped;
        for (auto &o : outsiders)
            EXPECT_EQ(StreamOfPort(dir.Path(), o.wClientPort, o.wServerPort), 0) << "filtered out";
    }
}
