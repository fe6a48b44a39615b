// Faults around a running capture: a full disk, a folder that goes away, too few descriptors,
// an interface that disappears, a capture killed outright.
#include "PacketBuilder.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

const char *const kCannotWrite = "ファイルに書き込めませんでした : ";
const char *const kCannotCreate = "ファイルを作成できませんでした : ";

// n connections, all opened before any sends, then data both ways, then every close.
std::vector<Bytes> ConcurrentConnections(int n, size_t initiatorBytes, size_t responderBytes)
{
    std::vector<CConversation> conversations;
    for (int i = 0; i < n; ++i)
        conversations.emplace_back(0x0a000001 + uint32_t(i % 200), uint16_t(1024 + i), 0x0a010001,
                                   80, uint32_t(i) * 7919u, 0x80000000u + uint32_t(i));
    std::vector<Bytes> packets;
    for (auto &c : conversations) {
        for (auto &p : c.Handshake())
            packets.push_back(p);
    }
    // Every connection sends in two halves, interleaved with all the others, so that each
    // stream's files are used again long after their last use; closes alternate sides.
    for (size_t half = 0; half < 2; ++half) {
        for (size_t i = 0; i < conversations.size(); ++i) {
            const Bytes sent = Payload(int(i), 0, initiatorBytes);
            const size_t from = half * sent.size() / 2, to = (half + 1) * sent.size() / 2;
            for (size_t at = from; at < to; at += 1400)
                packets.push_back(conversations[i].Send(
                    0, TCP_ACK, std::span(sent).subspan(at, std::min<size_t>(1400, to - at))));
            const Bytes reply = Payload(int(i), 1, responderBytes);
            packets.push_back(conversations[i].Send(
                1, TCP_ACK,
                std::span(reply).subspan(half * reply.size() / 2,
                                         reply.size() / 2 + half * (reply.size() % 2))));
        }
    }
    for (size_t i = 0; i < conversations.size(); ++i) {
        for (auto &p : conversations[i].Close(int(i % 2)))
            packets.push_back(p);
    }
    return packets;
}

// The path named by a failure line, or empty when the line is not one.
std::string FailedPath(const std::string &line)
{
    for (const char *prefix : {kCannotWrite, kCannotCreate}) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(std::strlen(prefix), line.rfind(" (") - std::strlen(prefix));
    }
    return {};
}

} // namespace

TEST(FaultTest, DiskFullReportsEachFailingFileOnceAndEndsNormally)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    CTempDir dir;
    const int connections = 8;
    const std::vector<Bytes> frames = Ethernet(ConcurrentConnections(connections, 60000, 9000));
    WritePcap(dir.Path() + "in.pcap", frames);
    for (bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "RAW mode" : "Packet Combine mode");
        const std::string folder = dir.Path() + (raw ? "raw/" : "combine/");
        std::filesystem::create_directory(folder);
        CMount disk(folder, "size=400k");
        ASSERT_TRUE(disk.IsMounted());
        std::vector<std::string> args = {"-r", dir.Path() + "in.pcap", "-o", folder, "-q"};
        if (raw)
            args.push_back("--raw");
        std::string out, err;
        ASSERT_EQ(RunCli(args, &out, &err), 0) << err;

        std::set<std::string> failed;
        for (const auto &line : Lines(out)) {
            const std::string path = FailedPath(line);
            EXPECT_FALSE(path.empty()) << line;
            EXPECT_TRUE(failed.insert(path).second) << "reported twice: " << line;
        }
        EXPECT_FALSE(failed.empty()) << "the disk never filled up";
        const std::string count = std::to_string(raw ? frames.size() : size_t(connections));
        EXPECT_EQ(ReadText(folder + "log.txt"), std::string("DataLinkLayer Headersize : 14\r\n") +
                                                    (raw ? "RAW mode" : "Packet Combine mode") +
                                                    "\r\nCaptured Packet : " + count + "\r\n");
        // Every file that reported nothing holds exactly what it should.
        int whole = 0;
        for (int i = 1; raw && i <= int(frames.size()); ++i) {
            if (!failed.count(folder + PacketName(i)) && FileExists(folder + PacketName(i))) {
                EXPECT_EQ(ReadFileBytes(folder + PacketName(i)), frames[size_t(i - 1)]) << i;
                ++whole;
            }
        }
        for (int i = 1; !raw && i <= connections; ++i) {
            for (int side : {1, 2}) {
                const std::string path = folder + StreamName(i, side);
                if (failed.count(path))
                    continue;
                EXPECT_EQ(ReadFileBytes(path), Payload(i - 1, side - 1, side == 1 ? 60000 : 9000))
                    << path;
                ++whole;
            }
        }
        EXPECT_GT(whole, 0);
    }
}

// The capture reads a FIFO, so the test decides what has been captured when the folder
// changes under it.
TEST(FaultTest, FolderRemovedOrMadeReadOnlyDuringACapture)
{
    const Bytes first = PatternBytes(1000, 1), second = PatternBytes(1000, 2);
    for (bool readOnly : {false, true}) {
        for (bool raw : {false, true}) {
            SCOPED_TRACE(std::string(readOnly ? "read-only" : "removed") + (raw ? ", RAW" : ""));
            if (readOnly && ::geteuid() != 0) {
                std::printf("read-only case skipped: mounting over the folder needs root\n");
                continue;
            }
            CTempDir dir;
            const std::string folder = dir.Path() + "out/";
            CPcapFifo fifo(dir.Path() + "in.fifo");
            std::vector<std::string> args = {"-r", dir.Path() + "in.fifo", "-o", folder, "-q"};
            if (raw)
                args.push_back("--raw");
            CChild cli(Cli(args));
            ASSERT_TRUE(fifo.Open(10000)) << cli.Stderr();

            CConversation a(0x0a000001, 1000, 0x0a000002, 80, 100, 200);
            std::vector<Bytes> before = a.Handshake();
            before.push_back(a.Send(0, TCP_ACK, first));
            for (const auto &p : before)
                fifo.Write(BuildEthernetFrame(p));
            ASSERT_TRUE(WaitFor(
                [&] {
                    return raw ? FileExists(folder + PacketName(4))
                               : ReadFileBytes(folder + StreamName(1, 1)).size() == first.size();
                },
                10000));

            std::unique_ptr<CMount> mount;
            if (readOnly) {
                // Root writes through a read-only mode, but not through a read-only mount:
                // from now on the folder's path names an empty file system that refuses
                // writes, while the files already open still reach the folder underneath.
                mount = std::make_unique<CMount>(folder, "size=64k", true);
                ASSERT_TRUE(mount->IsMounted());
            } else {
                std::filesystem::remove_all(folder);
            }
            std::vector<Bytes> after = {a.Send(0, TCP_ACK, second)};
            for (auto &p : a.Close(0))
                after.push_back(p);
            CConversation b(0x0a000003, 1000, 0x0a000002, 80, 100, 200);
            for (auto &p : b.Handshake())
                after.push_back(p);
            after.push_back(b.Send(0, TCP_ACK, first));
            for (const auto &p : after)
                fifo.Write(BuildEthernetFrame(p));
            fifo.Close();

            const int status = cli.Wait(30000);
            EXPECT_EQ(status, 0) << cli.Stderr();
            // The first file that could not be created is reported, once.
            const auto lines = Lines(cli.Stdout());
            EXPECT_EQ(lines.size(), 1u) << cli.Stdout();
            if (!lines.empty()) {
                EXPECT_EQ(lines[0].rfind(kCannotCreate + folder, 0), 0u) << lines[0];
            }
            if (!readOnly)
                continue;
            mount->Unmount();
            const std::string count = raw ? std::to_string(before.size() + after.size()) : "2";
            EXPECT_EQ(ReadText(folder + "log.txt").substr(ReadText(folder + "log.txt").rfind('C')),
                      "Captured Packet : " + count + "\r\n");
            if (raw) {
                EXPECT_EQ(ReadFileBytes(folder + PacketName(4)), BuildEthernetFrame(before[3]));
                EXPECT_FALSE(FileExists(folder + PacketName(5)));
            } else {
                Bytes whole = first;
                whole.insert(whole.end(), second.begin(), second.end());
                EXPECT_EQ(ReadFileBytes(folder + StreamName(1, 1)), whole)
                    << "a stream that had its files keeps them to its end";
            }
        }
    }
}

// The process that captures may hold only 256 descriptors, and 400 connections are open at
// once. Streams that get no files are followed without them.
TEST(FaultTest, EveryStreamIsExactHoweverFewDescriptorsTheProcessMayHold)
{
    // Connections open at once against the descriptors the process may hold: two files each.
    struct Case
    {
        int connections;
        long limit;
    };
    for (const Case c : {Case{400, 256}, Case{500, 64}}) {
        SCOPED_TRACE(testing::Message() << c.connections << " connections, " << c.limit);
        CTempDir dir;
        WritePcap(dir.Path() + "in.pcap",
                  Ethernet(ConcurrentConnections(c.connections, 3000, 701)));
        std::string out, err;
        const int status = RunCli({"-r", dir.Path() + "in.pcap", "-o", dir.Path() + "out", "-q"},
                                  &out, &err, c.limit);
        ASSERT_EQ(status, 0) << err;
        // One line says why the capture may be slower; nothing per stream or per packet.
        const auto lines = Lines(out);
        ASSERT_EQ(lines.size(), 1u) << out;
        EXPECT_NE(lines[0].find("ファイル記述子の上限に達したため"), std::string::npos);
        EXPECT_EQ(ReadText(dir.Path() + "out/log.txt"),
                  "DataLinkLayer Headersize : 14\r\nPacket Combine mode\r\nCaptured Packet : " +
                      std::to_string(c.connections) + "\r\n");
        for (int i = 1; i <= c.connections; ++i) {
            const std::string base = dir.Path() + "out/";
            ASSERT_EQ(ReadFileBytes(base + StreamName(i, 1)), Payload(i - 1, 0, 3000)) << i;
            ASSERT_EQ(ReadFileBytes(base + StreamName(i, 2)), Payload(i - 1, 1, 701)) << i;
        }
    }
}

// A veth pair between two namespaces of the test's own; the capture runs in one of them and
// the link is deleted under it.
TEST(FaultTest, InterfaceThatDisappearsEndsTheCaptureWithTheLibraryText)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "network namespaces need root";
    CNetns a("a"), b("b");
    ASSERT_TRUE(a.IsCreated() && b.IsCreated());
    ASSERT_TRUE(
        Shell("ip link add mx0 netns " + a.Name() + " type veth peer name mx1 netns " + b.Name()));
    ASSERT_TRUE(a.Run("ip addr add 10.213.0.1/24 dev mx0") && a.Run("ip link set mx0 up"));
    ASSERT_TRUE(b.Run("ip addr add 10.213.0.2/24 dev mx1") && b.Run("ip link set mx1 up"));

    CTempDir dir;
    CChild cli({"/usr/bin/env", "ip", "netns", "exec", a.Name(), MARLINOX_CLI_PATH, "-i", "mx0",
                "-o", dir.Path(), "--raw", "-q"});
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000)) << cli.Stderr();
    // A datagram to the peer namespace's address: an ARP exchange and the datagram itself.
    EXPECT_TRUE(a.Run("bash -c 'echo hello >/dev/udp/10.213.0.2/9'"));
    EXPECT_TRUE(WaitFor([&] { return FileExists(dir.Path() + PacketName(2)); }, 10000));
    ASSERT_TRUE(a.Run("ip link delete mx0"));

    const int status = cli.Wait(20000);
    ASSERT_NE(status, -1) << "the capture did not notice";
    EXPECT_EQ(status, 1) << cli.Stderr();
    const auto reasons = Lines(cli.Stderr());
    ASSERT_FALSE(reasons.empty());
    const std::string reason = reasons.back();
    ASSERT_EQ(reason.rfind("marlinox-cli: ", 0), 0u) << cli.Stderr();
    std::printf("%s\n", reason.c_str());
    EXPECT_NE(reason.find(Lines(cli.Stdout()).back()), std::string::npos)
        << "the library's text: " << cli.Stdout();
    int files = 0;
    while (FileExists(dir.Path() + PacketName(files + 1)))
        ++files;
    EXPECT_EQ(ReadText(dir.Path() + "log.txt"), "DataLinkLayer Headersize : 14\r\nRAW mode\r\n"
                                                "Captured Packet : " +
                                                    std::to_string(files) + "\r\n");
}

// Every payload byte is in its file as soon as the capture has processed it: a capture killed
// without warning leaves complete files behind.
TEST(FaultTest, SigkillLeavesEveryProcessedByteInTheFiles)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture on lo needs root (or CAP_NET_RAW)";
    CTempDir dir;
    CChild cli(Cli({"-i", "lo", "-o", dir.Path(), "-q"}));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000)) << cli.Stderr();
    auto connections = OpenLoopbackConnections(2);
    ASSERT_EQ(connections.size(), 2u);
    std::vector<Bytes> sent;
    for (size_t i = 0; i < 2 * connections.size(); ++i)
        sent.push_back(Payload(int(i / 2), int(i % 2), 200000 + i * 500));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < sent.size(); ++i) {
        const CLoopbackConnection &k = connections[i / 2];
        const int from = i % 2 == 0 ? k.client.Get() : k.server.Get();
        const int to = i % 2 == 0 ? k.server.Get() : k.client.Get();
        threads.emplace_back([from, &data = sent[i]] { SendPaced(from, data); });
        threads.emplace_back([to, n = sent[i].size()] { ReceiveExactly(to, n); });
    }
    for (auto &t : threads)
        t.join();
    // The connections stay open: nothing has been closed or cut when the capture dies.
    auto sized = [&](const Bytes &data) {
        for (const auto &e : std::filesystem::directory_iterator(dir.Path())) {
            std::error_code ec;
            if (e.file_size(ec) == data.size() && ReadFileBytes(e.path()) == data)
                return true;
        }
        return false;
    };
    auto allThere = [&] {
        for (const auto &data : sent) {
            if (!sized(data))
                return false;
        }
        return true;
    };
    WaitFor(allThere, 20000);
    cli.Signal(SIGKILL);
    EXPECT_EQ(cli.Wait(5000), 128 + SIGKILL);
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_TRUE(sized(sent[i])) << "connection " << i / 2 << ", side " << i % 2;
}
