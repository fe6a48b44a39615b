// marlinox-cli where things go wrong: a second local user (nobody) plants links and swaps
// folders, the output goes away, the terminal closes, the disk fills up. Nothing outside the
// output folder may change, privileges are gone once the interface is open, and what was
// captured is in the files.
#include "ChildProcess.h"
#include "Loopback.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <pwd.h>
#include <set>
#include <sys/mount.h>
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

Bytes Payload(int connection, int side, size_t size)
{
    return PatternBytes(size, uint32_t(2 * connection + side));
}

// n connections opened together, then data both ways in two interleaved halves (so that every
// stream's files are used again long after their last use), then every close.
std::vector<Bytes> Connections(int n, size_t initiatorBytes, size_t responderBytes,
                               size_t segment = 1400)
{
    std::vector<CConversation> c;
    std::vector<Bytes> packets;
    for (int i = 0; i < n; ++i) {
        c.emplace_back(0x0a000001, uint16_t(1024 + i), 0x0a010001, 80, i * 7919u, ~uint32_t(i));
        Append(packets, c.back().Handshake());
    }
    for (int k = 0; k < 2 * n; ++k) { // connection k % n, half k / n
        for (int side : {0, 1}) {
            const Bytes sent = Payload(k % n, side, side ? responderBytes : initiatorBytes);
            const size_t from = size_t(k / n) * sent.size() / 2;
            const size_t to = size_t(k / n + 1) * sent.size() / 2;
            for (size_t at = from; at < to; at += segment)
                packets.push_back(c[size_t(k % n)].Send(
                    side, TCP_ACK, std::span(sent).subspan(at, std::min(segment, to - at))));
        }
    }
    for (int i = 0; i < n; ++i)
        Append(packets, c[size_t(i)].Close(i % 2));
    return packets;
}

void WritePcap(const std::string &path, const std::vector<Bytes> &packets)
{
    CPcapWriter writer(path, 1);
    for (const auto &p : packets)
        writer.Write(BuildFrame(1, p));
}

std::string StatusField(pid_t pid, const std::string &field)
{
    for (const auto &line : Lines(ReadText("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.rfind(field + ":\t", 0) == 0)
            return line.substr(field.size() + 2);
    }
    return {};
}

// A tmpfs of 400 KiB on a folder while it lives.
struct CSmallDisk
{
    explicit CSmallDisk(std::string path) : folder(std::move(path))
    {
        bMounted = ::mount("marlinox-test", folder.c_str(), "tmpfs", 0, "size=400k") == 0;
    }
    ~CSmallDisk() { ::umount2(folder.c_str(), MNT_DETACH); }
    std::string folder;
    bool bMounted;
};

const char *const kOutputNames[] = {"log.txt",           "p0000000001.pd",  "p0000000001-1.txt",
                                    "p0000000001-2.txt", "connections.csv", "frames.csv"};

} // namespace

// Each output name planted as a link or FIFO, in a sticky folder and in one nobody owns. The
// captures' standard output is a pipe that nobody reads: the RAW capture's progress lines meet
// it closed, and it carries on to a complete log.txt all the same.
TEST(SecurityTest, PlantedLinksAndFifosAreReplacedNeverWrittenThrough)
{
    if (::geteuid() != 0 || !Nobody())
        GTEST_SKIP() << "needs root and the user nobody";
    CTempDir dir;
    const std::vector<Bytes> packets = Connections(1, 400000, 500);
    WritePcap(dir.Path() + "in.pcap", packets);
    const CChildSetup outputGone{.stdoutGone = true};
    enum Plant { kSymlink, kHardLink, kFifo };
    for (bool sticky : {true, false}) {
        for (Plant plant : {kSymlink, kHardLink, kFifo}) {
            SCOPED_TRACE(testing::Message() << "plant " << plant << (sticky ? ", sticky" : ""));
            CTempDir outside;
            const std::string folder = outside.Path() + "out/";
            ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
            ASSERT_EQ(::chmod(folder.c_str(), sticky ? 01777 : 0777), 0);
            ASSERT_EQ(::chown(folder.c_str(), sticky ? 0 : Nobody()->pw_uid, 0), 0);
            ASSERT_EQ(::chmod(outside.Path().c_str(), 0755), 0);
            // The user nobody links to files of its own, which root must not touch.
            ASSERT_TRUE(AsNobody([&] {
                for (const char *name : kOutputNames) {
                    const std::string target = folder + "target-" + name, planted = folder + name;
                    WriteFile(target, Bytes{'k', 'e', 'e', 'p'});
                    if ((plant == kSymlink    ? ::symlink(target.c_str(), planted.c_str())
                         : plant == kHardLink ? ::link(target.c_str(), planted.c_str())
                                              : ::mkfifo(planted.c_str(), 0666)) != 0)
                        return false;
                }
                return true;
            }));
            for (const char *mode : {"-q", "--raw"})
                ASSERT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder, mode}, nullptr,
                                 nullptr, outputGone),
                          0);
            for (const char *name : kOutputNames) {
                SCOPED_TRACE(name);
                EXPECT_EQ(ReadText(folder + "target-" + name), "keep");
                // Neither a link nor a FIFO (which would keep a read waiting) is left in place.
                ASSERT_TRUE(is_regular_file(std::filesystem::symlink_status(folder + name)));
            }
            EXPECT_EQ(ReadText(folder + "log.txt"), Log("14", "RAW mode", packets.size()));
            EXPECT_EQ(ReadFileBytes(folder + "p0000000001-1.txt"), Payload(0, 0, 400000));
            EXPECT_NE(ReadText(folder + "connections.csv").find(",closed,"), std::string::npos);
        }
    }
}

// marlinox-cli reads its capture file from a pipe (-r -), so the test decides what has been
// captured when it acts: it swaps the output folder for a link to another folder, or (with 16
// descriptors, so that the cache has closed it) a stream file for a hard link to a file outside,
// or it hangs up as a closing terminal would. Nothing is redirected, log.txt is complete, and
// the files belong to the user who ran sudo (else to the caller) and only to them; the process
// keeps no capability once the interface (here: the pipe) is open.
TEST(SecurityTest, PipedCapturesThroughSwapsAHangupAndSudo)
{
    const passwd *nobody = ::geteuid() == 0 ? Nobody() : nullptr;
    enum Act { kSwapFolder, kSwapFile, kSudo, kHangUp };
    const char *const names[] = {"the folder swapped", "a stream file swapped", "through sudo",
                                 "hung up"};
    for (Act act : {kSwapFolder, kSwapFile, kSudo, kHangUp}) {
        SCOPED_TRACE(names[act]);
        if (act == kSudo && !nobody) {
            std::printf("skipped %s: needs root and the user nobody\n", names[act]);
            continue;
        }
        CTempDir dir;
        const std::string folder = dir.Path() + "new/out/", elsewhere = dir.Path() + "elsewhere/";
        ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
        WriteFile(dir.Path() + "target", Bytes{'k', 'e', 'e', 'p'});
        // Few descriptors, so stream files are reopened; a sanitizer needs two of its own.
        CChildSetup setup{.nofile = act == kSwapFile ? 20 : -1, .stdinPipe = true};
        const uid_t owner = act == kSudo ? nobody->pw_uid : ::geteuid();
        if (act == kSudo)
            setup.env = {"SUDO_UID=" + std::to_string(owner),
                         "SUDO_GID=" + std::to_string(nobody->pw_gid)};
        CChild cli(Cli({"-r", "-", "-o", folder, "-q"}), setup);
        CPcapWriter pipe(cli.TakeStdin(), 1);
        const std::vector<Bytes> all = Connections(6, 40000, 3000);
        const size_t half = all.size() / 2;
        for (size_t i = 0; i < half; ++i)
            pipe.Write(BuildFrame(1, all[i]));
        // A marker: its stream's files exist once everything before it was processed.
        pipe.Write(BuildFrame(1, CConversation(11, 9, 12, 9, 1, 2).Send(0, TCP_SYN)));
        ASSERT_TRUE(WaitFor([&] { return FileExists(folder + StreamFileName(7, 1)); }, 60000))
            << cli.Stderr();
        for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
            EXPECT_TRUE(::geteuid() != 0 || StatusField(cli.Pid(), set) == "0000000000000000")
                << set;
        EXPECT_EQ(StatusField(cli.Pid(), "Uid").find(std::to_string(owner) + "\t"), 0u);
        const std::string swapped = folder + (act == kSwapFile ? StreamFileName(1, 1) : "");
        if (act == kSwapFolder || act == kSwapFile) {
            ASSERT_EQ(::rename(swapped.c_str(), (dir.Path() + "moved").c_str()), 0);
            ASSERT_EQ(act == kSwapFile
                          ? ::link((dir.Path() + "target").c_str(), swapped.c_str())
                          : ::symlink(elsewhere.c_str(), (dir.Path() + "new/out").c_str()),
                      0);
        }
        for (size_t i = half; act != kHangUp && i < all.size(); ++i)
            pipe.Write(BuildFrame(1, all[i]));
        if (act == kHangUp)
            cli.Signal(SIGHUP); // while it waits for more
        pipe.Close();
        EXPECT_EQ(cli.Wait(60000), act == kSwapFile ? 3 : 0) << cli.Stderr();
        EXPECT_EQ(ReadText(dir.Path() + "target"), "keep");
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
        const std::string out = act == kSwapFolder ? dir.Path() + "moved/" : folder;
        EXPECT_EQ(ReadText(out + "log.txt"), Log("14", "Packet Combine mode", 7));
        for (int i = act == kSwapFile ? 2 : 1; act != kHangUp && i <= 6; ++i)
            EXPECT_EQ(ReadFileBytes(out + StreamFileName(i, 2)), Payload(i - 1, 1, 3000)) << i;
        const std::string told = "ファイルに書き込めませんでした : " + swapped + " (";
        EXPECT_EQ(cli.Stdout().find(told) != std::string::npos, act == kSwapFile) << cli.Stdout();
        for (const std::string &path : {dir.Path() + "new", out, out + "log.txt",
                                        out + StreamFileName(1, 2), out + "connections.csv"}) {
            struct stat st = {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_uid, owner) << path;
            EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << path;
        }
    }
}

// A capture started with its standard descriptors closed, or under a mask that takes the
// owner's own bits, still writes every file whole, private, into a folder of its own.
TEST(SecurityTest, ClosedDescriptorsAndATightUmaskLeaveTheCaptureWhole)
{
    CTempDir dir;
    WritePcap(dir.Path() + "in.pcap", Connections(2, 3000, 200));
    for (const auto &[name, setup] : {std::pair("closed", CChildSetup{.closeStd = true}),
                                      std::pair("umask", CChildSetup{.umask = 0277})}) {
        SCOPED_TRACE(name);
        const std::string folder = dir.Path() + name + "/out/";
        EXPECT_EQ(RunCli({"-r", dir.Path() + "in.pcap", "-o", folder}, nullptr, nullptr, setup), 0);
        EXPECT_EQ(ReadText(folder + "log.txt"), Log("14", "Packet Combine mode", 2));
        using std::filesystem::perms;
        EXPECT_EQ(std::filesystem::status(folder).permissions(), perms::owner_all);
        for (const auto &file : std::filesystem::directory_iterator(folder))
            EXPECT_EQ(file.status().permissions(), perms::owner_read | perms::owner_write) << file;
        for (int i = 1; i <= 2; ++i)
            EXPECT_EQ(ReadFileBytes(folder + StreamFileName(i, 1)), Payload(i - 1, 0, 3000));
    }
}

// A disk that fills up, or a file-size limit, gives one line for the first failure and one for
// all the others; the capture runs to its end and says so with exit status 3. Stream files hold
// what was sent or zeros, and connections.csv counts every byte that is not there as missing
// (the index was written early, so its rows still fit). No frame file is left partial, and
// frames.csv lists exactly the whole frame files: RAW mode gets frames of 240000 bytes, so that
// the disk fills within one.
TEST(FaultTest, FullDiskOrFileLimitIsToldAndCountedAsMissing)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const struct
    {
        const char *name;
        bool raw;
        long fsize; // the file-size limit, or -1 for a tmpfs of 400k
        size_t up, down;
        const char *error;
        size_t segment = 1400; // bytes of data per segment; over 16 KiB, no run holds one
    } rows[] = {
        {"full tmpfs, Packet Combine mode", false, -1, 60000, 9000, "No space left on device"},
        {"full tmpfs, RAW mode", true, -1, 0, 0, "No space left on device"},
        {"ulimit -f, Packet Combine mode", false, 200000, 300000, 9000, "File too large"},
        {"ulimit -f, segments larger than a run", false, 200000, 300000, 9000, "File too large",
         30000},
    };
    CTempDir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Bytes> packets;
        for (uint32_t i = 0; row.raw && i < 4; ++i)
            packets.push_back(PatternBytes(240000, i));
        // Many later fragments first, which no stream sees: frames.csv and connections.csv
        // are written once before the disk fills.
        for (int i = 0; i < 4100 && row.fsize < 0 && !row.raw; ++i)
            packets.push_back(BuildIpTcp({.fragment = 1}));
        if (!row.raw)
            Append(packets, Connections(8, row.up, row.down, row.segment));
        WritePcap(dir.Path() + "in.pcap", packets);
        const std::string folder = dir.Path() + std::to_string(&row - rows) + "/";
        std::filesystem::create_directory(folder);
        std::optional<CSmallDisk> disk;
        ASSERT_TRUE(row.fsize >= 0 || disk.emplace(folder).bMounted);
        std::string out, err;
        EXPECT_EQ(
            RunCli({"-r", dir.Path() + "in.pcap", "-o", folder, "-q", row.raw ? "--raw" : "-q"},
                   &out, &err, {.fsize = row.fsize}),
            3)
            << err;
        const auto lines = Lines(out);
        ASSERT_GE(lines.size(), 2u) << out;
        EXPECT_EQ(lines[0].rfind("ファイルに書き込めませんでした : " + folder, 0), 0u);
        EXPECT_NE(lines[0].find(row.error), std::string::npos) << lines[0];
        EXPECT_EQ(lines[1].rfind("ほかに ", 0), 0u);
        if (row.raw) {
            // The frames listed are exactly the frame files, and those are whole.
            std::set<std::string> listed, files;
            for (const auto &line : Lines(ReadText(folder + FrameIndexName())))
                listed.insert(line.substr(0, line.find(',')));
            listed.erase("number");
            for (int i = 1; i <= 4; ++i) {
                const Bytes frame = ReadFileBytes(folder + PacketFileName(i));
                if (!frame.empty())
                    files.insert(PacketFileName(i).substr(1, 10));
                EXPECT_TRUE(frame.empty() || frame == BuildFrame(1, packets[size_t(i - 1)])) << i;
            }
            EXPECT_EQ(listed, files);
            EXPECT_EQ(lines.size(), 2u) << out;
            continue;
        }
        int incomplete = 0;
        const auto index = Lines(ReadText(folder + ConnectionIndexName()));
        ASSERT_EQ(index.size(), 9u) << "every stream has its row";
        for (int i = 1; i <= 8; ++i) {
            const auto fields = Split(index[size_t(i)].substr(0, index[size_t(i)].find('\r')), ',');
            for (int side = 1; side <= 2; ++side) {
                const Bytes sent = Payload(i - 1, side - 1, side == 1 ? row.up : row.down);
                const Bytes file = ReadFileBytes(folder + StreamFileName(i, side));
                ASSERT_EQ(CheckCaptured(file, sent, true), "");
                // Every byte that is not there, or a zero in its place, is counted as missing.
                const size_t differ =
                    sent.size() - file.size() +
                    std::inner_product(file.begin(), file.end(), sent.begin(), size_t(0),
                                       std::plus<>(), std::not_equal_to<>());
                const uint64_t counted = std::stoull(fields[size_t(8 + side)]);
                EXPECT_EQ(fields[size_t(13 + side)], std::to_string(sent.size()));
                EXPECT_TRUE(differ == 0 ? counted == 0 : counted >= differ)
                    << i << "-" << side << ": " << counted << " counted, " << differ << " differ";
                if (row.fsize >= 0 && side == 1) {
                    EXPECT_EQ(counted, row.up - size_t(row.fsize));
                }
            }
            incomplete += fields[9] != "0" || fields[10] != "0";
        }
        EXPECT_EQ(lines.back(), "データが欠けているストリーム : " + std::to_string(incomplete));
    }
}
