// Marlinox runs as root and writes where it is told, often into folders other users can write.
// A second local user (nobody) plants links and swaps folders; nothing outside the output
// folder may change, and privileges are gone once the interface is open.
#include "OutputCheck.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "ReliabilitySupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const passwd *Nobody() { return ::getpwnam("nobody"); }

// Runs fn in a child process as nobody; true when it returned true there.
bool AsNobody(const std::function<bool()> &fn)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(::setgid(Nobody()->pw_gid) == 0 && ::setuid(Nobody()->pw_uid) == 0 && fn() ? 0 : 1);
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One connection: 3000 bytes from the initiator, 500 back, closed.
std::vector<Bytes> Connection(int i)
{
    CConversation c(0x0a000001, uint16_t(1000 + i), 0x0a000002, 80, 10, 20);
    std::vector<Bytes> packets = c.Handshake();
    packets.push_back(c.Send(0, TCP_ACK, Payload(i, 0, 3000)));
    packets.push_back(c.Send(1, TCP_ACK, Payload(i, 1, 500)));
    for (auto &p : c.Close(0))
        packets.push_back(p);
    return packets;
}

std::string StatusField(pid_t pid, const std::string &field)
{
    for (const auto &line : Lines(ReadText("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.rfind(field + ":\t", 0) == 0)
            return line.substr(field.size() + 2);
    }
    return {};
}

const char *const kOutputNames[] = {"log.txt",           "p0000000001.pd",  "p0000000001-1.txt",
                                    "p0000000001-2.txt", "connections.csv", "frames.csv"};

} // namespace

TEST(SecurityTest, PlantedLinksAndFifosAreReplacedNeverWrittenThrough)
{
    if (::geteuid() != 0 || !Nobody())
        GTEST_SKIP() << "needs root and the user nobody";
    CTempDir dir;
    WritePcap(dir.Path() + "in.pcap", Connection(0));
    for (bool sticky : {true, false}) {
        for (const char *kind : {"symlink", "hardlink", "fifo"}) {
            SCOPED_TRACE(std::string(kind) + (sticky ? " in a sticky folder" : " in nobody's"));
            CTempDir outside;
            const std::string folder = outside.Path() + "out/";
            ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
            ASSERT_EQ(::chmod(folder.c_str(), sticky ? 01777 : 0777), 0);
            ASSERT_EQ(::chown(folder.c_str(), sticky ? 0 : Nobody()->pw_uid, 0), 0);
            ASSERT_EQ(::chmod(outside.Path().c_str(), 0755), 0);
            // Targets that nobody may link to: its own files, which root must not touch.
            for (const char *name : kOutputNames) {
                const std::string target = outside.Path() + "target-" + name;
                WriteFile(target, Bytes{'k', 'e', 'e', 'p'});
                ASSERT_EQ(::chown(target.c_str(), Nobody()->pw_uid, Nobody()->pw_gid), 0);
            }
            ASSERT_TRUE(AsNobody([&] {
                for (const char *name : kOutputNames) {
                    const std::string target = outside.Path() + "target-" + name;
                    const std::string planted = folder + name;
                    const int rc = std::string(kind) == "symlink"    ? ::symlink(target.c_str(), planted.c_str())
                                   : std::string(kind) == "hardlink" ? ::link(target.c_str(), planted.c_str())
                                                                     : ::mkfifo(planted.c_str(), 0666);
                    if (rc != 0)
                        return false;
                }
                return true;
            }));
            for (bool raw : {false, true}) {
                std::vector<std::string> args = {"-r", dir.Path() + "in.pcap", "-o", folder, "-q"};
                if (raw)
                    args.push_back("--raw");
                std::string err;
                ASSERT_EQ(RunCli(args, nullptr, &err), 0) << err;
            }
            for (const char *name : kOutputNames)
                EXPECT_EQ(ReadText(outside.Path() + "target-" + name), "keep") << name;
            EXPECT_EQ(ReadText(folder + "log.txt"),
                      "DataLinkLayer Headersize : 14\r\nRAW mode\r\nCaptured Packet : 8\r\n");
            EXPECT_EQ(ReadFileBytes(folder + "p0000000001-1.txt"), Payload(0, 0, 3000));
            EXPECT_EQ(ReadFileBytes(folder + "p0000000001-2.txt"), Payload(0, 1, 500));
            EXPECT_NE(ReadText(folder + "connections.csv").find(",closed,"), std::string::npos);
        }
    }
}

// The capture reads a pipe, so the test decides what has been captured when it swaps: the
// output folder for a link to another folder, or (with 16 descriptors, so that the cache has
// closed it) a stream file for a link to a file outside.
TEST(SecurityTest, SwapsDuringACaptureRedirectNothing)
{
    if (!Nobody())
        GTEST_SKIP() << "needs the user nobody";
    for (bool swapFile : {false, true}) {
        SCOPED_TRACE(swapFile ? "a stream file swapped" : "the folder swapped");
        CTempDir dir;
        const std::string folder = dir.Path() + "out/", elsewhere = dir.Path() + "elsewhere/";
        ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
        WriteFile(dir.Path() + "target", Bytes{'k', 'e', 'e', 'p'});
        CPcapPipe pipe;
        CChildSetup setup;
        setup.stdinFd = pipe.ReadEnd();
        setup.nofile = swapFile ? 16 : -1;
        CChild cli(Cli({"-r", "-", "-o", folder, "-q"}), setup);
        const std::vector<Bytes> all = ConcurrentConnections(6, 40000, 3000);
        const size_t half = all.size() / 2;
        for (size_t i = 0; i < half; ++i)
            pipe.Write(BuildFrame(1, all[i]));
        // A marker: its stream's files exist once everything before it was processed.
        CConversation marker(0x0b000001, 9, 0x0b000002, 9, 1, 2);
        pipe.Write(BuildFrame(1, marker.Send(0, TCP_SYN)));
        ASSERT_TRUE(WaitFor([&] { return FileExists(folder + "p0000000007-1.txt"); }, 10000))
            << cli.Stderr();
        const std::string swapped = folder + (swapFile ? "p0000000001-1.txt" : "");
        ASSERT_EQ(::rename(swapped.c_str(), (dir.Path() + "moved").c_str()), 0);
        // A stream file becomes a hard link to a file outside; the folder a symbolic link.
        ASSERT_EQ(swapFile ? ::link((dir.Path() + "target").c_str(), swapped.c_str())
                           : ::symlink(elsewhere.c_str(), (dir.Path() + "out").c_str()),
                  0);
        for (size_t i = half; i < all.size(); ++i)
            pipe.Write(BuildFrame(1, all[i]));
        pipe.Close();
        const int status = cli.Wait(30000);
        EXPECT_EQ(ReadText(dir.Path() + "target"), "keep");
        const std::string written = swapFile ? folder : dir.Path() + "moved/";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere), {}), 0);
        EXPECT_NE(ReadText(written + "log.txt").find("Captured Packet : 7\r\n"), std::string::npos);
        for (int i = swapFile ? 2 : 1; i <= 6; ++i)
            EXPECT_EQ(ReadFileBytes(written + StreamFileName(i, 2)), Payload(i - 1, 1, 3000)) << i;
        if (swapFile) {
            EXPECT_EQ(status, 3) << cli.Stderr();
            EXPECT_NE(cli.Stdout().find("ファイルに書き込めませんでした : " + swapped + " ("),
                      std::string::npos)
                << cli.Stdout();
        } else {
            EXPECT_EQ(status, 0) << cli.Stderr();
        }
    }
}

// Run as root through sudo, the files belong to the user who ran sudo and only to them; run as
// root, to root. Either way the process keeps no capability once the interface (here: the
// pipe) is open.
TEST(SecurityTest, FilesBelongToTheSudoUserAndNoCapabilityIsKept)
{
    if (::geteuid() != 0 || !Nobody())
        GTEST_SKIP() << "needs root and the user nobody";
    for (bool sudo : {true, false}) {
        SCOPED_TRACE(sudo ? "through sudo" : "as root");
        CTempDir dir;
        const std::string folder = dir.Path() + "new/out/";
        CPcapPipe pipe;
        CChildSetup setup;
        setup.stdinFd = pipe.ReadEnd();
        const uid_t owner = sudo ? Nobody()->pw_uid : 0;
        if (sudo)
            setup.env = {"SUDO_UID=" + std::to_string(owner),
                         "SUDO_GID=" + std::to_string(Nobody()->pw_gid)};
        CChild cli(Cli({"-r", "-", "-o", folder, "-q"}), setup);
        const std::vector<Bytes> packets = Connection(0);
        pipe.Write(BuildFrame(1, packets[0]));
        ASSERT_TRUE(WaitFor([&] { return FileExists(folder + "p0000000001-1.txt"); }, 10000))
            << cli.Stderr();
        for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
            EXPECT_EQ(StatusField(cli.Pid(), set), "0000000000000000") << set;
        EXPECT_EQ(StatusField(cli.Pid(), "Uid").substr(0, 6).find(std::to_string(owner) + "\t"),
                  0u);
        for (size_t i = 1; i < packets.size(); ++i)
            pipe.Write(BuildFrame(1, packets[i]));
        pipe.Close();
        ASSERT_EQ(cli.Wait(10000), 0) << cli.Stderr();
        for (const std::string &path : {dir.Path() + "new", folder, folder + "log.txt",
                                        folder + "p0000000001-1.txt", folder + "connections.csv"}) {
            struct stat st{};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_uid, owner) << path;
            EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << path;
        }
    }
}

// A reader of standard output that goes away, and a terminal that closes, stop neither the
// capture nor the completion of log.txt.
TEST(SecurityTest, LostOutputAndHangupStillCompleteTheLog)
{
    CTempDir dir;
    std::vector<Bytes> packets;
    for (int i = 0; i < 2000; ++i)
        packets.push_back(Connection(i)[3]);
    WritePcap(dir.Path() + "in.pcap", packets);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    CChildSetup toPipe;
    toPipe.stdoutFd = fds[1];
    CChild head(Cli({"-r", dir.Path() + "in.pcap", "-o", dir.Path() + "a", "--raw"}), toPipe);
    ::close(fds[1]);
    char first[16];
    ASSERT_GT(::read(fds[0], first, sizeof first), 0);
    ::close(fds[0]); // like head -1
    EXPECT_EQ(head.Wait(20000), 0) << head.Stderr();
    EXPECT_EQ(ReadText(dir.Path() + "a/log.txt"),
              "DataLinkLayer Headersize : 14\r\nRAW mode\r\nCaptured Packet : 2000\r\n");

    CPcapPipe pipe;
    CChildSetup fromPipe;
    fromPipe.stdinFd = pipe.ReadEnd();
    CChild hungUp(Cli({"-r", "-", "-o", dir.Path() + "b", "--raw", "-q"}), fromPipe);
    pipe.Write(BuildFrame(1, packets[0]));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "b/p0000000001.pd"); }, 10000));
    hungUp.Signal(SIGHUP);
    EXPECT_EQ(hungUp.Wait(10000), 0) << hungUp.Stderr();
    EXPECT_EQ(ReadText(dir.Path() + "b/log.txt"),
              "DataLinkLayer Headersize : 14\r\nRAW mode\r\nCaptured Packet : 1\r\n");
}
