// Faults around a running capture: a full disk, too few descriptors, an interface that
// disappears, a capture killed outright.
#include "OutputCheck.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {


} // namespace

// A full disk gives one line for the first failure and one for all the others; the capture
// runs to its end and says so with exit status 3; no frame file is left empty or partial.
TEST(FaultTest, FullDiskIsToldInTwoLinesAndLeavesNoPartialFrames)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    CTempDir dir;
    const int connections = 8;
    const std::vector<Bytes> packets = ConcurrentConnections(connections, 60000, 9000);
    WritePcap(dir.Path() + "in.pcap", packets);
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
        ASSERT_EQ(RunCli(args, &out, &err), 3) << err;
        const auto lines = Lines(out);
        ASSERT_EQ(lines.size(), 2u) << out;
        EXPECT_EQ(lines[0].rfind("ファイルに書き込めませんでした : " + folder, 0), 0u);
        EXPECT_EQ(lines[1].rfind("ほかに ", 0), 0u);
        const std::string count = std::to_string(raw ? packets.size() : size_t(connections));
        EXPECT_EQ(ReadText(folder + "log.txt"), std::string("DataLinkLayer Headersize : 14\r\n") +
                                                    (raw ? "RAW mode" : "Packet Combine mode") +
                                                    "\r\nCaptured Packet : " + count + "\r\n");
        for (int i = 1; raw && i <= int(packets.size()); ++i) {
            if (FileExists(folder + PacketFileName(i))) {
                EXPECT_EQ(ReadFileBytes(folder + PacketFileName(i)),
                          BuildFrame(1, packets[size_t(i - 1)]));
            }
        }
        for (int i = 1; !raw && i <= connections; ++i) {
            for (int side : {1, 2})
                EXPECT_EQ(CheckCaptured(ReadFileBytes(folder + StreamFileName(i, side)),
                                        Payload(i - 1, side - 1, side == 1 ? 60000 : 9000), true),
                          "");
        }
    }
}

// The process may hold only 256 (or 64) descriptors while 400 (or 500) connections are open
// at once: one line says so, and every stream file is exact, cut included.
TEST(FaultTest, EveryStreamIsExactHoweverFewDescriptorsTheProcessMayHold)
{
    for (auto [connections, limit] : {std::pair{400, 256L}, std::pair{500, 64L}}) {
        SCOPED_TRACE(testing::Message() << connections << " connections, " << limit);
        CTempDir dir;
        WritePcap(dir.Path() + "in.pcap", ConcurrentConnections(connections, 3000, 701));
        std::string out, err;
        CChildSetup setup;
        setup.nofile = limit;
        ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", dir.Path() + "out", "-q"}, &out,
                         &err, setup),
                  0)
            << err;
        const auto lines = Lines(out);
        ASSERT_EQ(lines.size(), 1u) << out;
        EXPECT_NE(lines[0].find("ファイル記述子の上限に達したため"), std::string::npos);
        for (int i = 1; i <= connections; ++i) {
            const std::string base = dir.Path() + "out/";
            ASSERT_EQ(ReadFileBytes(base + StreamFileName(i, 1)), Payload(i - 1, 0, 3000)) << i;
            ASSERT_EQ(ReadFileBytes(base + StreamFileName(i, 2)), Payload(i - 1, 1, 701)) << i;
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
    EXPECT_TRUE(a.Run("bash -c 'echo hello >/dev/udp/10.213.0.2/9'"));
    EXPECT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "p0000000002.pd"); }, 10000));
    ASSERT_TRUE(a.Run("ip link delete mx0"));
    ASSERT_EQ(cli.Wait(20000), 1) << cli.Stderr();
    const std::string reason = Lines(cli.Stderr()).back();
    EXPECT_EQ(reason.rfind("marlinox-cli: ", 0), 0u) << cli.Stderr();
    EXPECT_NE(reason.find(Lines(cli.Stdout()).back()), std::string::npos)
        << "the library's text: " << cli.Stdout();
    EXPECT_NE(ReadText(dir.Path() + "log.txt").find("Captured Packet : "), std::string::npos);
}

// Once the traffic pauses and the reader has caught up, every byte is in its file: a capture
// killed without warning then loses none of it.
TEST(FaultTest, SigkillAfterThePauseLosesNothing)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture on lo needs root (or CAP_NET_RAW)";
    CLoopbackListener listener;
    CTempDir dir;
    CChild cli(Cli({"-i", "lo", "-o", dir.Path(), "-q", "tcp", "port",
                    std::to_string(listener.GetPort())}));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000)) << cli.Stderr();
    auto connections = listener.Connect(2);
    ASSERT_EQ(connections.size(), 2u);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        const CLoopbackConnection &k = connections[size_t(i / 2)];
        const int from = i % 2 ? k.server.Get() : k.client.Get();
        const int to = i % 2 ? k.client.Get() : k.server.Get();
        threads.emplace_back([from, to, i] {
            SendPaced(from, Payload(i / 2, i % 2, 100000));
            ReceiveExactly(to, 100000);
        });
    }
    for (auto &t : threads)
        t.join();
    auto files = [&] {
        std::vector<Bytes> all;
        for (int i = 0; i < 4; ++i)
            all.push_back(ReadFileBytes(dir.Path() + StreamFileName(i / 2 + 1, i % 2 + 1)));
        return all;
    };
    auto complete = [&] {
        for (int i = 0; i < 4; ++i) {
            if (files()[size_t(i)] != Payload(i / 2, i % 2, 100000))
                return false;
        }
        return true;
    };
    // Only a drop of the kernel's (a busy machine) can keep the files from being complete.
    const bool whole = WaitFor(complete, 20000);
    const std::vector<Bytes> before = files();
    cli.Signal(SIGKILL);
    EXPECT_EQ(cli.Wait(5000), 128 + SIGKILL);
    EXPECT_EQ(files(), before) << "the kill lost bytes";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(CheckCaptured(before[size_t(i)], Payload(i / 2, i % 2, 100000), !whole), "");
}
