// The engine's stream parts: one stream through its states and its files, the ranges it
// counts as written, and the stream table against a plain linear one.
#include "CaptureControl.h"
#include "CaptureSource.h"
#include "DescriptorCache.h"
#include "EngineTestSupport.h"
#include "Folder.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "RangeSet.h"
#include "StreamTable.h"
#include "TempDir.h"
#include "WriteBehind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string_view>
#include <unistd.h>

namespace {

constexpr uint32_t kClient = 0x0a000001;
constexpr uint32_t kServer = 0x0a000002;

// A folder of its own and the way into it: a cache of fds descriptors, runs of run bytes
// from a pool of pool bytes.
struct COutputRig
{
    COutputRig(int fds, size_t run, size_t pool)
        : descriptors(fds, &events), output(descriptors, events, run, pool)
    {
        EXPECT_TRUE(folder.Open(dir.Path()));
    }

    CTempDir dir;
    CFolder folder;
    CEventLog events;
    CDescriptorCache descriptors;
    CWriteBehind output;
};

// One stream writing into a folder of its own. Uncoalesced, every write is made at once;
// coalesced, its files share one descriptor and a pool of two runs of 8 bytes: every write may
// reopen a file, and every way of writing a pending run is taken.
struct CStreamRig : COutputRig
{
    explicit CStreamRig(uint32_t isnA = 1000, uint32_t isnB = 5000, bool coalesce = false,
                        uint64_t zeroBudget = CTcpStream::kZeroBudget)
        : COutputRig(coalesce ? 1 : 8, coalesce ? 8 : 1, 16),
          conv(kClient, 40000, kServer, 80, isnA, isnB), stream(output, zeroBudget)
    {
        EXPECT_EQ(stream.OpenFiles(folder, "s-1", "s-2"), 1);
    }

    std::string Path(int n) const { return dir.Path() + "s-" + std::to_string(n); }
    std::string File(int n)
    {
        output.FlushAll();
        return ReadText(Path(n));
    }
    int Feed(const Bytes &packet) { return Offer(stream, packet); }
    // A packet from side whose payload begins at offset at of its stream (0: the byte after the
    // SYN) and that acknowledges the other side's stream up to offset ack.
    Bytes At(int side, int64_t at, std::string_view data = "", uint8_t flags = TCP_ACK,
             int64_t ack = 0) const
    {
        TcpSegment s = conv.Segment(side, flags);
        s.seq = conv.Isn(side) + 1 + uint32_t(at);
        s.ack = conv.Isn(1 - side) + 1 + uint32_t(ack);
        s.payload.assign(data.begin(), data.end());
        return BuildIpTcp(s);
    }
    CStreamRecord Record() const
    {
        CStreamRecord r;
        stream.Describe(r);
        return r;
    }
    CConversation &Connect()
    {
        for (const Bytes &p : conv.Handshake())
            Feed(p);
        return conv;
    }

    CConversation conv;
    CTcpStream stream;
};

constexpr uint8_t kFin = TCP_ACK | TCP_FIN, kRst = TCP_ACK | TCP_RST;

// Runs story at initial sequence numbers around 2^32, with and without coalescing.
void ForEachIsn(const std::function<void(uint32_t isn, bool coalesce)> &story)
{
    for (uint32_t isn : {0u, 0x7fffffffu, 0xfffffff0u, 0xfffffffdu, 0xffffffffu}) {
        for (bool coalesce : {false, true}) {
            SCOPED_TRACE(testing::Message() << "ISN " << isn << (coalesce ? ", coalesced" : ""));
            story(isn, coalesce);
        }
    }
}

// The stream table as plainly as it can be written: every packet offered to every stream in
// order; a full table evicts the stream idle longest among those without data (waiting, in
// the handshake, or after both FINs), else the one idle longest of all.
struct CLinearTable
{
    struct Entry
    {
        int number;
        std::unique_ptr<CTcpStream> stream;
        long taken; // the clock when it last took a packet
    };

    void Offer(const Bytes &p)
    {
        ++clock;
        for (size_t i = 0; i < streams.size(); ++i) {
            const int r = ::Offer(*streams[i].stream, p);
            if (r != 0)
                return r < 0 ? Remove(i) : void(streams[i].taken = clock);
        }
        CSegment s;
        if ((!streams.empty() && streams.back().stream->GetState() < 1) ||
            !DecodeIp(p.data(), p.size(), s))
            return;
        if (streams.size() >= capacity)
            Remove(Victim());
        streams.push_back({++count, std::make_unique<CTcpStream>(rig.output), clock});
        streams.back().stream->OpenFiles(rig.folder, StreamFileName(count, 1).c_str(),
                                         StreamFileName(count, 2).c_str());
        if (::Offer(*streams.back().stream, p) < 0)
            Remove(streams.size() - 1);
    }
    // The stream that never carried data idle longest, else the one without data now (in the
    // handshake or after both FINs), else the one idle longest of all.
    size_t Victim() const
    {
        auto rank = [](const Entry &e) {
            const int state = e.stream->GetState();
            const int kind = !e.stream->HasCarriedData() ? 0 : (state <= 2 || state == 5) ? 1 : 2;
            return std::pair(kind, e.taken);
        };
        auto before = [&](const Entry &a, const Entry &b) { return rank(a) < rank(b); };
        return size_t(std::min_element(streams.begin(), streams.end(), before) - streams.begin());
    }
    void Remove(size_t i)
    {
        streams[i].stream->CloseFiles(0);
        streams.erase(streams.begin() + long(i));
    }

    size_t capacity;
    COutputRig rig{64, 1, 1};
    std::vector<Entry> streams = {};
    int count = 0;
    long clock = 0;
};

// count packets of random traffic from eight connections that share hosts and ports, reopen
// with new sequence numbers, fail their handshakes, reset, and send from everywhere; half of
// them over IPv6. It begins with three connections that carry data and then a fourth that
// opens: a full table of three has no stream without data then, and gives the place of the one
// idle longest.
std::vector<Bytes> Traffic(uint32_t seed, size_t count)
{
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
    std::vector<CConversation> convs(8, CConversation(0, 0, 0, 0, 0, 0));
    uint32_t isn = 0xfff00000u;
    // Sequence numbers of a reopened connection stay near the old ones, so that the files
    // stay small when a stream mistakes one connection for the other.
    auto reopen = [&](int c) {
        isn += uint32_t(pick(100000));
        convs[size_t(c)] = CConversation(0x0a000001 + uint32_t(c % 3), uint16_t(1000 + c % 4),
                                         0x0a000010, 80, isn, isn * 3, c % 2 ? 6 : 4);
    };
    for (int c = 0; c < 8; ++c)
        reopen(c);
    std::vector<Bytes> packets;
    for (size_t c : {0, 1, 2}) {
        Append(packets, convs[c].Handshake());
        packets.push_back(convs[c].Send(0, TCP_ACK, PatternBytes(10, 1)));
    }
    packets.push_back(convs[0].Send(1, TCP_ACK, PatternBytes(10, 2))); // 1 idle longest
    packets.push_back(convs[3].Send(0, TCP_SYN));
    auto next = [&]() -> Bytes {
        const int c = pick(8), side = pick(2);
        CConversation &conv = convs[size_t(c)];
        switch (pick(12)) {
        case 0:
            reopen(c);
            return conv.Send(0, TCP_SYN);
        case 1:
            return conv.Send(1, TCP_SYN | TCP_ACK);
        case 2:
            return conv.SendAt(1, TCP_SYN | TCP_ACK, conv.Isn(1)); // ack may be wrong
        case 3:
            return conv.Send(0, TCP_ACK);
        case 4:
            return conv.Send(side, TCP_ACK | TCP_FIN);
        case 5:
            return conv.Send(side, pick(3) == 0 ? TCP_RST : TCP_ACK);
        case 6:
            return BuildIpTcp(
                {.src = 0, .dst = 0, .sport = 0, .dport = 0, .flags = uint8_t(pick(32))});
        default: {
            const uint32_t back = uint32_t(pick(4) == 0 ? pick(3000) : 0);
            const Bytes data = PatternBytes(size_t(1 + pick(1500)), uint32_t(pick(1000)));
            Bytes p = conv.SendAt(side, TCP_ACK, conv.NextSeq(side) - back, data);
            if (back == 0)
                conv.Send(side, TCP_ACK, data);
            return p;
        }
        }
    };
    while (packets.size() < count)
        packets.push_back(next());
    return packets;
}

// Every file of folder with its bytes.
std::map<std::string, Bytes> Files(const std::string &folder)
{
    std::map<std::string, Bytes> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
    return files;
}

} // namespace

// Each row: the packet offered in the state the rows before it left, and the stream's answer.
// Payload on the SYN, on the SYN+ACK, from the responder in state 2 and on the completing ACK
// is never written.
TEST(TcpStreamTest, StateTableFromHandshakeToClose)
{
    ForEachIsn([](uint32_t isn, bool coalesce) {
        CStreamRig f(isn, isn ^ 0x80000000u, coalesce);
        CConversation other(0x0a000009, 1111, kServer, 80, 77, 88);
        constexpr uint8_t kSynAck = TCP_SYN | TCP_ACK;
        auto feed = [&](const std::vector<std::pair<Bytes, int>> &rows) {
            for (size_t i = 0; i < rows.size(); ++i)
                EXPECT_EQ(f.Feed(rows[i].first), rows[i].second) << "row " << i;
        };
        feed({
            {other.SendAt(0, kSynAck, 77), 0}, // SYN+ACK in state 0
            {other.SendAt(0, TCP_ACK, 77), 0}, // ACK in state 0
            {f.At(0, -1, "junk", TCP_SYN), 1}, // a SYN in state 0, with payload
            {other.SendAt(0, TCP_SYN, 77), 0}, // another connection in state 1
            {f.At(0, -1, "", TCP_SYN), 1},     // repeated SYN
            {f.At(1, -1, "", TCP_SYN), 1},     // simultaneous open
            {f.At(1, -1), 1},                  // responder ACK without SYN
            {f.At(1, -1, "", kSynAck, 1), 0},  // SYN+ACK with a wrong ack: back to 0
            {f.At(0, -1, "", TCP_SYN), 1},     // the SYN again
            {f.At(1, -1, "junk", kSynAck), 2}, // SYN+ACK, with payload
            {f.At(1, 0, "junk"), 2},           // responder in state 2, with payload
            {f.At(0, 0, "", kSynAck), 2},      // initiator SYN+ACK
            {f.At(0, 0, "", 0), 2},            // initiator without ACK
            {f.At(0, 0, "", TCP_ACK, 1), 1},   // final ACK, wrong ack: back to 1
            {f.At(1, -1, "", kSynAck), 2},     // a correct SYN+ACK again
            {f.At(0, 0, "junk"), 3},           // the final ACK, with payload
            {other.SendAt(0, TCP_ACK, 78), 0}, // another connection in state 3
        });
        EXPECT_TRUE(f.File(1).empty() && f.File(2).empty());
        feed({
            {f.At(0, 0, "hello", kFin), 4},          // FIN with payload
            {f.At(0, 5, "", kFin), 4},               // FIN sent again
            {f.At(0, 6), 4},                         // FIN sender again
            {f.At(1, 0, "world"), 4},                // other side's ACK alone
            {f.At(1, 5, "", TCP_FIN), 4},            // other side's FIN without ACK
            {f.At(1, 5, "", kFin), 5},               // the other side's FIN+ACK
            {f.At(0, 5, "", kFin), 5},               // first closer's FIN
            {f.At(1, 6), 5},                         // the second closer's own ACK
            {f.At(0, 6, "unacked", TCP_ACK, 6), -1}, // the final ACK: its bytes written, cut away
        });
        EXPECT_EQ(f.File(1), "hello");
        EXPECT_EQ(f.File(2), "world");
        // The ended stream answers -1 for its own packets, 0 for the same endpoints on a VLAN.
        const Bytes own = f.At(0, 7);
        CSegment segment;
        ASSERT_TRUE(DecodeIp(own.data(), own.size(), segment));
        EXPECT_EQ(f.stream.ProcessPacket(segment), -1);
        segment.dwVlan = kVlanTagged | 5;
        EXPECT_EQ(f.stream.ProcessPacket(segment), 0);
    });
}

// One packet of a scenario: from side, its payload at offset at of the side's stream,
// acknowledging the other side's stream up to offset ack.
struct CSend
{
    int side;
    int at;
    std::string data = "";
    uint8_t flags = TCP_ACK;
    int ack = 0;
};

// Each scenario's packets follow a handshake; each file must then hold what the row says ('_' a
// zero), every zero counted as missing, and the stream must have ended as the row says.
const struct CScenario
{
    const char *name;
    std::vector<CSend> sends;
    std::string file[2] = {};
    StreamEnd end = StreamEnd::CaptureEnded;
} kScenarios[] = {
    {"in order", {{0, 0, "abc"}, {1, 0, "xy"}, {0, 3, "def"}}, {"abcdef", "xy"}},
    {"a gap reads as zeros", {{0, 0, "ab"}, {0, 4, "ef"}}, {"ab__ef"}},
    {"a segment ahead of a gap first", {{0, 4, "ef"}, {0, 0, "ab"}}, {"ab__ef"}},
    {"overlaps", {{0, 4, "efgh"}, {0, 0, "abcd"}, {0, 2, "cdef"}, {0, 0, "abcd"}}, {"abcdefgh"}},
    {"the packet processed last decides", {{0, 0, "abcdef"}, {0, 1, "XY"}}, {"aXYdef"}},
    {"a keep-alive before any data", {{0, -1, "k"}}},
    {"a segment that begins early is clipped", {{0, -2, "abcde"}}, {"cde"}},
    {"a probe resending the last byte", {{0, 0, "abc"}, {0, 2, "?"}}, {"abc"}},
    {"one byte elsewhere", {{0, 0, "abc"}, {0, 0, "X"}}, {"Xbc"}},
    {"two bytes from the last one on", {{0, 0, "abc"}, {0, 2, "XY"}}, {"abXY"}},
    {"a reset", {{0, 0, "abc"}, {1, 0, "xyz", kRst}}, {"abc"}, StreamEnd::Reset},
    {"a close lengthens files over lost tails",
     {{0, 0, "ab"}, {1, 4, "yz"}, {0, 4, "", kFin}, {1, 8, "", kFin, 5}, {0, 5, "", TCP_ACK, 9}},
     {"ab__", "____yz__"},
     StreamEnd::Closed},
};

TEST(TcpStreamTest, SegmentsLandWhereTheirSequenceNumbersSay)
{
    for (const CScenario &row : kScenarios) {
        SCOPED_TRACE(row.name);
        ForEachIsn([&](uint32_t isn, bool coalesce) {
            CStreamRig f(isn, isn - 1000, coalesce);
            f.Connect();
            for (const CSend &p : row.sends)
                f.Feed(f.At(p.side, p.at, p.data, p.flags, p.ack));
            const CStreamRecord r = f.Record();
            EXPECT_EQ(r.end, row.end);
            for (int side : {0, 1}) {
                std::string want = row.file[side];
                std::replace(want.begin(), want.end(), '_', '\0');
                EXPECT_EQ(f.File(side + 1), want) << "side " << side;
                EXPECT_EQ(r.qwMissing[side], uint64_t(std::count(want.begin(), want.end(), 0)));
            }
        });
    }
}

// Payload goes only as far as the bytes captured, and as far out as the sequence numbers say,
// past 4 GiB too (where a budget of zeros allows it).
TEST(TcpStreamTest, PayloadEndsWithTheCapturedBytesAndGoesPastFourGibibytes)
{
    CStreamRig f(100, 200, true, uint64_t(1) << 40);
    CConversation &c = f.Connect();
    // The IPv4 total length announces 1000 payload bytes, 600 were captured.
    const Bytes data = PatternBytes(1000, 3);
    EXPECT_EQ(Offer(f.stream, c.Send(0, TCP_ACK, data), 40 + 600), 3);
    EXPECT_EQ(f.File(1), std::string(data.begin(), data.begin() + 600));
    // Each step lies less than 2 GiB beyond the last byte written, so it counts as ahead; the
    // last one resends the third at its old offset, not 4 GiB later.
    const uint64_t offsets[] = {0x7ff00000ull, 0xffe00000ull, 0x100000010ull, 0x17fe00000ull,
                                0x100000010ull};
    for (uint64_t o : offsets)
        f.Feed(c.SendAt(0, TCP_ACK, c.Isn(0) + 1 + uint32_t(o), Bytes{uint8_t(o >> 24), 0x5A}));
    f.output.FlushAll();
    const int fd = ::open(f.Path(1).c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), off_t(offsets[3] + 2));
    for (uint64_t o : offsets) {
        uint8_t got[2] = {};
        EXPECT_TRUE(::pread(fd, got, 2, off_t(o)) == 2 && got[0] == uint8_t(o >> 24)) << o;
    }
    ::close(fd);
}

// A file's zeros stay within its budget, 1 GiB and 16 for each byte of data before: one byte of
// data allows a byte at kFar. A segment beyond is refused, a forged acknowledgment moves
// nothing, and a final ACK whose cut would lengthen a file beyond its budget leaves it alone.
TEST(TcpStreamTest, ZerosStayWithinTheirBudget)
{
    constexpr uint64_t kBudget = CTcpStream::kZeroBudget, kFar = kBudget + 17;
    // After a first byte of data: a second byte at, the same after the responder acknowledged
    // far ahead, or a complete close in which the responder's FIN lies at at.
    enum Act { kByte, kForgedAckThenByte, kCloseAt };
    const struct
    {
        const char *name;
        Act act;
        uint64_t at, length[2], sent[2];
    } rows[] = {
        {"a byte at the budget", kByte, kFar, {kFar + 1, 0}, {kFar + 1, 0}},
        {"a byte one past it", kByte, kFar + 1, {1, 0}, {1, 0}},
        {"one past, after a forged ACK", kForgedAckThenByte, kFar + 1, {1, 0}, {1 + kBudget, 0}},
        {"a final ACK far ahead", kCloseAt, kBudget + 1, {1, 0}, {1, kBudget}},
        {"a final ACK at the budget", kCloseAt, kBudget, {1, kBudget}, {1, kBudget}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        CStreamRig f(10, 20);
        f.Connect();
        f.Feed(f.At(0, 0, "a"));
        if (row.act == kForgedAckThenByte)
            f.Feed(f.At(1, 0, "", TCP_ACK, int64_t(2 * kBudget + 1)));
        if (row.act != kCloseAt) {
            f.Feed(f.At(0, int64_t(row.at), "b"));
        } else {
            f.Feed(f.At(0, 1, "", kFin));
            f.Feed(f.At(1, int64_t(row.at), "", kFin, 2));
            EXPECT_EQ(f.Feed(f.At(0, 2, "", TCP_ACK, int64_t(row.at + 1))), -1);
        }
        f.stream.CloseFiles(0);
        const CStreamRecord r = f.Record();
        for (int side : {0, 1}) {
            EXPECT_EQ(std::filesystem::file_size(f.Path(side + 1)), row.length[side]);
            EXPECT_EQ(r.qwSent[side], row.sent[side]);
        }
        EXPECT_EQ(r.nRefused, row.length[0] == 1 && row.length[1] == 0 ? 1 : 0);
    }
}

// Files through a full cache: the descriptors kept are those of the files used last, a file
// whose descriptor was taken reopens as it stood or is removed all the same, and the shortage
// is told once.
TEST(TcpStreamTest, FilesThroughAFullCache)
{
    COutputRig r(2, 1, 1); // runs of one byte: every write is made now
    auto isOpen = [&](const std::string &name) {
        std::error_code ec;
        for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            if (std::filesystem::read_symlink(fd.path(), ec) == r.dir.Path() + name)
                return true;
        }
        return false;
    };
    CTcpStream a(r.output), b(r.output);
    ASSERT_EQ(a.OpenFiles(r.folder, "x-1", "x-2") + b.OpenFiles(r.folder, "y-1", nullptr), 2);
    CConversation ca(kClient, 1, kServer, 2, 10, 20), cb(kClient, 3, kServer, 4, 30, 40);
    for (const auto &[stream, conv] : {std::pair{&a, &ca}, std::pair{&b, &cb}}) {
        for (const auto &p : conv->Handshake())
            Offer(*stream, p);
    }
    const Bytes x = PatternBytes(64, 1), y = PatternBytes(32, 2);
    Offer(a, ca.Send(0, TCP_ACK, x)); // x-1 reopens
    Offer(b, cb.Send(0, TCP_ACK, y)); // y-1 is used after x-1
    Offer(a, ca.Send(1, TCP_ACK, y)); // so x-1 gives its descriptor up for x-2
    EXPECT_TRUE(isOpen("y-1") && isOpen("x-2") && !isOpen("x-1"));
    for (const auto &p : ca.Close(0))
        Offer(a, p); // the cut reopens both files
    EXPECT_EQ(ReadFileBytes(r.dir.Path() + "x-1"), x);
    EXPECT_EQ(ReadFileBytes(r.dir.Path() + "x-2"), y);
    b.CloseFiles(1);
    EXPECT_FALSE(FileExists(r.dir.Path() + "y-1"));
    EXPECT_EQ(r.events.shortages, 1);
}

// A run that needs a piece of a spent pool (here four pieces of two bytes) writes the oldest
// other run; a full run is written at once.
TEST(WriteBehindTest, ASpentPoolWritesTheOldestRun)
{
    COutputRig r(2, 8, 8);
    const auto p = r.output.Open(r.folder, "p"), q = r.output.Open(r.folder, "q");
    const Bytes z = PatternBytes(8, 3);
    r.output.Write(p, 0, z.data(), 2);
    r.output.Write(q, 0, z.data(), 6);
    r.output.Write(q, 6, &z[6], 2);
    EXPECT_EQ(ReadFileBytes(r.dir.Path() + "p"), Bytes(z.begin(), z.begin() + 2));
    EXPECT_EQ(ReadFileBytes(r.dir.Path() + "q"), z);
    EXPECT_TRUE(r.output.Close(p).empty() && r.output.Close(q).empty());
}

// Missing bytes of overlapping, out-of-order and touching ranges and of one past the length;
// beyond 64 ranges the closest pair merges over its gap and the count becomes a lower bound.
TEST(TcpStreamTest, WrittenRangesCountWhatIsMissing)
{
    CRangeSet set;
    for (const auto &[begin, end] : {std::pair(6, 9), {0, 2}, {1, 3}, {9, 10}, {12, 20}})
        set.Add(uint64_t(begin), uint64_t(end));
    EXPECT_EQ(set.CountMissing(15), 5u); // 3..5 and 10..11
    // 65 ranges of 9 bytes with 1-byte gaps (one of 2 bytes) and a 1-byte tail: 66 missing.
    // One range too many merges the closest pair over its gap, so 65 are counted.
    CRangeSet many;
    for (uint64_t i = 0; i < 65; ++i)
        many.Add(i * 10, i * 10 + 9 - (i == 3));
    EXPECT_FALSE(many.IsExact());
    EXPECT_EQ(many.CountMissing(650), 65u);
    // Ranges that arrive backwards, each touching the one before, join into one.
    CRangeSet backwards;
    for (uint64_t i = 100; i > 0; --i)
        backwards.Add(i * 10, i * 10 + 10);
    EXPECT_TRUE(backwards.IsExact());
    EXPECT_EQ(backwards.CountMissing(1010), 10u);
}

// The hashed table, writing through a cache of four descriptors and three runs of 8 bytes,
// must answer exactly as offering every packet to every stream would.
TEST(StreamTableTest, SameStreamsAndFilesAsOfferingToEveryStream)
{
    for (uint32_t seed : {1u, 2u}) {
        for (size_t capacity : {size_t(3), size_t(1024)}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " capacity " << capacity);
            COutputRig fast(4, 8, 24);
            CStreamTable table(fast.folder, fast.events, fast.output, capacity);
            CLinearTable reference{capacity};
            const std::vector<Bytes> traffic = Traffic(seed, 1500);
            for (size_t i = 0; i < traffic.size(); ++i) {
                const Bytes &p = traffic[i];
                CSegment segment;
                if (DecodeIp(p.data(), p.size(), segment))
                    table.Offer(segment);
                reference.Offer(p);
                std::set<int> expected;
                for (const auto &e : reference.streams)
                    expected.insert(e.number);
                ASSERT_EQ(fast.events.held, expected) << "packet " << i;
            }
            table.CloseAll();
            EXPECT_TRUE(fast.events.held.empty());
            const auto files = Files(fast.dir.Path());
            EXPECT_TRUE(files == Files(reference.rig.dir.Path())) << files.size() << " files";
            EXPECT_EQ(fast.events.failures, 0);
        }
    }
}

// A wait for packets ends when the capture's descriptor (here a pipe that a capture file comes
// through) becomes readable, or at once when the stop's wake-up descriptor does, and otherwise
// after the time given.
TEST(CaptureSourceTest, WaitEndsOnPacketsOrAStop)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    CPcapWriter writer(pipeFds[1], 1);
    writer.Write(PatternBytes(60, 1)); // the file header and a frame, read as the file opens
    CCaptureSource source;
    std::string error;
    ASSERT_TRUE(source.OpenFile("/dev/fd/" + std::to_string(pipeFds[0]), error)) << error;
    CCaptureControl control;
    using Result = CCaptureSource::WaitResult;
    EXPECT_EQ(source.Wait(control.GetWakeDescriptor(), 10), Result::TimedOut);
    writer.Write(PatternBytes(60, 1));
    EXPECT_EQ(source.Wait(control.GetWakeDescriptor(), 10000), Result::Ready);
    control.Stop();
    EXPECT_EQ(source.Wait(control.GetWakeDescriptor(), 10000), Result::Stopped);
    control.Start();
    EXPECT_EQ(source.Wait(control.GetWakeDescriptor(), 0), Result::Ready);
    ::close(pipeFds[0]);
}
