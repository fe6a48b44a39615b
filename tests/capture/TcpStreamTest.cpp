#include "TcpStream.h"
#include "FileCache.h"
#include "PacketBuilder.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kClient = 0x0a000001;
constexpr uint32_t kServer = 0x0a000002;

class StreamFixture
{
public:
    explicit StreamFixture(uint32_t isnA = 1000, uint32_t isnB = 5000)
        : conv(kClient, 40000, kServer, 80, isnA, isnB)
    {
        EXPECT_EQ(stream.OpenFiles(Path(1).c_str(), Path(2).c_str()), 1);
    }

    std::string Path(int n) const
    {
        return dir.Path() + "p0000000001-" + std::to_string(n) + ".txt";
    }
    Bytes File(int n) const { return ReadFileBytes(Path(n)); }
    int Feed(const Bytes &packet) { return stream.ProcessPacket(packet.data(), packet.size()); }
    void FeedAll(const std::vector<Bytes> &packets)
    {
        for (const auto &p : packets)
            Feed(p);
    }
    void Establish() { FeedAll(conv.Handshake()); }

    CTempDir dir;
    CTcpStream stream;
    CConversation conv;
};

} // namespace

// Each row: the packet offered in a given state and what the stream answers.
TEST(TcpStreamTest, HandshakeTransitions)
{
    StreamFixture f;
    CConversation other(0x0a000009, 1111, kServer, 80, 77, 88);
    EXPECT_EQ(f.Feed(other.SendAt(0, TCP_SYN | TCP_ACK, 77)), 0) << "SYN+ACK in state 0";
    EXPECT_EQ(f.Feed(other.SendAt(0, TCP_ACK, 77)), 0) << "ACK in state 0";
    EXPECT_EQ(f.Feed(f.conv.Send(0, TCP_SYN)), 1) << "SYN of any connection in state 0";
    EXPECT_EQ(f.Feed(other.SendAt(0, TCP_SYN, 77)), 0) << "another connection in state 1";
    EXPECT_EQ(f.Feed(f.conv.SendAt(0, TCP_SYN, 1000)), 1) << "repeated SYN";
    EXPECT_EQ(f.Feed(f.conv.SendAt(1, TCP_SYN, 5000)), 1) << "simultaneous open";
    EXPECT_EQ(f.Feed(f.conv.SendAt(1, TCP_ACK, 5000)), 1) << "responder ACK without SYN";

    TcpSegment wrongAck = f.conv.Segment(1, TCP_SYN | TCP_ACK);
    wrongAck.ack = 999;
    EXPECT_EQ(f.Feed(BuildIpv4Tcp(wrongAck)), 0) << "SYN+ACK with a wrong ack: back to 0";
    EXPECT_EQ(f.stream.GetState(), 0);
    EXPECT_EQ(f.Feed(f.conv.SendAt(0, TCP_SYN, 1000)), 1);
    EXPECT_EQ(f.Feed(f.conv.Send(1, TCP_SYN | TCP_ACK)), 2);
    EXPECT_EQ(f.Feed(f.conv.SendAt(1, TCP_ACK, 5001)), 2) << "responder in state 2";
    EXPECT_EQ(f.Feed(f.conv.SendAt(0, TCP_SYN | TCP_ACK, 1001)), 2) << "initiator SYN+ACK";
    EXPECT_EQ(f.Feed(f.conv.SendAt(0, 0, 1001)), 2) << "initiator without ACK";
    TcpSegment badFinal = f.conv.Segment(0, TCP_ACK);
    badFinal.ack = 4;
    EXPECT_EQ(f.Feed(BuildIpv4Tcp(badFinal)), 1) << "final ACK with a wrong ack: back to 1";
    EXPECT_EQ(f.Feed(f.conv.SendAt(1, TCP_SYN | TCP_ACK, 5000)), 2) << "a correct SYN+ACK again";
    EXPECT_EQ(f.Feed(f.conv.Send(0, TCP_ACK)), 3);
    EXPECT_EQ(f.Feed(other.SendAt(0, TCP_ACK, 78)), 0) << "another connection in state 3";
}

TEST(TcpStreamTest, CloseTransitionsAndFinalAckWithPayload)
{
    StreamFixture f;
    f.Establish();
    const Bytes a = PatternBytes(100, 1), b = PatternBytes(50, 2), tail = PatternBytes(7, 3);
    EXPECT_EQ(f.Feed(f.conv.Send(0, TCP_ACK | TCP_FIN, a)), 4) << "FIN with payload";
    EXPECT_EQ(f.Feed(f.conv.Send(0, TCP_ACK, {})), 4) << "FIN sender again";
    EXPECT_EQ(f.Feed(f.conv.Send(1, TCP_ACK, b)), 4) << "other side's ACK alone";
    EXPECT_EQ(f.Feed(f.conv.Send(1, TCP_FIN)), 4) << "other side's FIN without ACK";
    EXPECT_EQ(f.Feed(f.conv.SendAt(1, TCP_FIN | TCP_ACK, f.conv.NextSeq(1) - 1)), 5);
    EXPECT_EQ(f.Feed(f.conv.SendAt(0, TCP_ACK | TCP_FIN, f.conv.NextSeq(0) - 1)), 5)
        << "the new FIN sender's own side: FIN again";
    EXPECT_EQ(f.Feed(f.conv.SendAt(1, TCP_FIN | TCP_ACK, f.conv.NextSeq(1) - 1)), 5)
        << "last FIN sender again";
    // The final ACK carries 7 bytes that nobody acknowledged: written, then cut away.
    TcpSegment finalAck = f.conv.Segment(0, TCP_ACK);
    finalAck.payload = tail;
    EXPECT_EQ(f.Feed(BuildIpv4Tcp(finalAck)), -1);
    EXPECT_EQ(f.File(1), a);
    EXPECT_EQ(f.File(2), b);
    EXPECT_EQ(f.Feed(f.conv.Send(0, TCP_ACK)), -1) << "an ended stream answers -1 for its own";
    CConversation other(0x0a000009, 1111, kServer, 80, 77, 88);
    EXPECT_EQ(f.Feed(other.Send(0, TCP_SYN)), 0) << "and 0 for others";
}

class TcpStreamIsnTest : public ::testing::TestWithParam<uint32_t>
{
};

INSTANTIATE_TEST_SUITE_P(Isns, TcpStreamIsnTest,
                         ::testing::Values(0u, 20u, 0x7fffffffu, 0xfffff000u, 0xfffffff0u,
                                           0xfffffffdu, 0xffffffffu));

TEST_P(TcpStreamIsnTest, InOrderConversationClosedByEitherSide)
{
    for (int closer : {0, 1}) {
        StreamFixture f(GetParam(), GetParam() * 7 + 3);
        f.Establish();
        Bytes sent[2];
        for (int i = 0; i < 20; ++i) {
            const int side = i % 3 == 0 ? 1 : 0;
            const Bytes chunk = PatternBytes(size_t(100 + i * 37), uint32_t(i));
            EXPECT_EQ(f.Feed(f.conv.Send(side, TCP_ACK | TCP_PSH, chunk)), 3);
            sent[side].insert(sent[side].end(), chunk.begin(), chunk.end());
        }
        auto close = f.conv.Close(closer);
        EXPECT_EQ(f.Feed(close[0]), 4);
        EXPECT_EQ(f.Feed(close[1]), 5);
        EXPECT_EQ(f.Feed(close[2]), -1);
        EXPECT_EQ(f.File(1), sent[0]) << "closer " << closer;
        EXPECT_EQ(f.File(2), sent[1]) << "closer " << closer;
    }
}

TEST_P(TcpStreamIsnTest, ReorderedDuplicatedAndOverlappingSegments)
{
    StreamFixture f(GetParam(), 42);
    f.Establish();
    const Bytes data = PatternBytes(3000, 9);
    const uint32_t base = f.conv.Isn(0) + 1;
    auto seg = [&](size_t from, size_t to) {
        return f.conv.SendAt(0, TCP_ACK, base + uint32_t(from),
                             std::span(data).subspan(from, to - from));
    };
    f.Feed(seg(2000, 3000)); // ahead of a gap: the file is extended first
    EXPECT_EQ(f.File(1).size(), 3000u);
    EXPECT_EQ(f.File(1)[1500], 0) << "a gap reads as zeros";
    f.Feed(seg(0, 1000));
    f.Feed(seg(500, 2500)); // overlaps both neighbours with the same bytes
    f.Feed(seg(0, 1000));   // a plain duplicate
    EXPECT_EQ(f.File(1), data);

    Bytes changed(data.begin() + 100, data.begin() + 200);
    for (auto &c : changed)
        c ^= 0xff;
    f.Feed(f.conv.SendAt(0, TCP_ACK, base + 100, changed));
    Bytes expected = data;
    std::copy(changed.begin(), changed.end(), expected.begin() + 100);
    EXPECT_EQ(f.File(1), expected) << "the packet processed last decides";
}

TEST(TcpStreamTest, MissingSegmentsAndTailAcrossTheCloseCut)
{
    StreamFixture f;
    f.Establish();
    const Bytes a = PatternBytes(400, 1);
    const uint32_t base = f.conv.Isn(0) + 1;
    f.Feed(f.conv.SendAt(0, TCP_ACK, base, std::span(a).first(100)));
    f.Feed(f.conv.SendAt(0, TCP_ACK, base + 200, std::span(a).subspan(200, 100)));
    // Bytes 100..199 and the tail 300..399 are never captured; the FIN comes after the tail.
    f.Feed(f.conv.SendAt(0, TCP_ACK | TCP_FIN, base + 400));
    f.Feed(f.conv.SendAt(1, TCP_ACK | TCP_FIN, f.conv.NextSeq(1), {}));
    TcpSegment last = f.conv.Segment(0, TCP_ACK);
    last.seq = base + 401;
    last.ack = f.conv.NextSeq(1) + 1;
    EXPECT_EQ(f.Feed(BuildIpv4Tcp(last)), -1);
    Bytes expected(400, 0);
    std::copy(a.begin(), a.begin() + 100, expected.begin());
    std::copy(a.begin() + 200, a.begin() + 300, expected.begin() + 200);
    EXPECT_EQ(f.File(1), expected);
    EXPECT_TRUE(f.File(2).empty());
}

TEST(TcpStreamTest, HandshakePayloadIsNeverWritten)
{
    StreamFixture f;
    const Bytes junk = PatternBytes(10, 5);
    // Payload on the SYN and on the SYN+ACK (sent at the numbers of a plain handshake).
    f.Feed(f.conv.SendAt(0, TCP_SYN, f.conv.Isn(0), junk));
    f.conv.Send(0, TCP_SYN);
    f.Feed(f.conv.SendAt(1, TCP_SYN | TCP_ACK, f.conv.Isn(1), junk));
    f.conv.Send(1, TCP_SYN | TCP_ACK);
    f.Feed(f.conv.SendAt(1, TCP_ACK, f.conv.NextSeq(1), junk)); // responder data in state 2
    EXPECT_EQ(f.Feed(f.conv.Send(0, TCP_ACK, junk)), 3);        // on the completing ACK
    EXPECT_TRUE(f.File(1).empty());
    EXPECT_TRUE(f.File(2).empty());
    const Bytes next = PatternBytes(5, 6);
    f.Feed(f.conv.Send(0, TCP_ACK, next));
    Bytes expected(10, 0);
    expected.insert(expected.end(), next.begin(), next.end());
    EXPECT_EQ(f.File(1), expected) << "the completing ACK's payload stays a gap";
}

TEST(TcpStreamTest, ResetEndsEveryStateFromEitherSide)
{
    for (int state = 1; state <= 5; ++state) {
        for (int side : {0, 1}) {
            StreamFixture f;
            const Bytes a = PatternBytes(30, 1);
            std::vector<Bytes> story = f.conv.Handshake();
            story.insert(story.begin() + 3, f.conv.Send(0, TCP_ACK, a));
            story.push_back(f.conv.Send(0, TCP_ACK | TCP_FIN));
            story.push_back(f.conv.Send(1, TCP_ACK | TCP_FIN));
            const size_t steps[] = {0, 1, 2, 4, 5, 6};
            for (size_t i = 0; i < steps[state]; ++i)
                f.Feed(story[i]);
            ASSERT_EQ(f.stream.GetState(), state);
            EXPECT_EQ(f.Feed(f.conv.Send(side, TCP_RST | TCP_ACK, PatternBytes(9, 2))), -1)
                << "state " << state << " side " << side;
            EXPECT_EQ(f.stream.GetState(), -1);
            EXPECT_EQ(f.File(1), state >= 3 ? a : Bytes{});
            EXPECT_TRUE(f.File(2).empty());
        }
    }
}

TEST(TcpStreamTest, PacketsThatWereNotCapturedWholeAreBounded)
{
    StreamFixture f;
    const Bytes syn = f.conv.Send(0, TCP_SYN);
    EXPECT_EQ(f.stream.ProcessPacket(syn.data(), 19), 0) << "less than an IPv4 header";
    EXPECT_EQ(f.stream.ProcessPacket(syn.data(), 33), 0) << "less than 14 bytes of TCP header";
    EXPECT_EQ(f.stream.GetState(), 0) << "no state touched";
    Bytes shortHeader = syn;
    shortHeader[20 + 12] = 0x40; // a TCP header of 16 bytes: malformed
    EXPECT_EQ(f.Feed(shortHeader), 0);
    shortHeader = syn;
    shortHeader[0] = 0x44; // an IPv4 header of 16 bytes
    EXPECT_EQ(f.Feed(shortHeader), 0);
    EXPECT_EQ(f.stream.ProcessPacket(syn.data(), 34), 1) << "20 + 14 bytes are enough";

    TcpSegment withOptions = f.conv.Segment(1, TCP_SYN | TCP_ACK);
    withOptions.ipHeaderLength = 60;
    Bytes synAck = BuildIpv4Tcp(withOptions);
    f.conv.Send(1, TCP_SYN | TCP_ACK);
    EXPECT_EQ(f.stream.ProcessPacket(synAck.data(), 73), 0) << "header length points past";
    EXPECT_EQ(f.stream.ProcessPacket(synAck.data(), 74), 2);
    f.Feed(f.conv.Send(0, TCP_ACK));

    // The IPv4 total length announces 1000 payload bytes, 600 were captured.
    const Bytes data = PatternBytes(1000, 3);
    const Bytes whole = f.conv.Send(0, TCP_ACK, data);
    EXPECT_EQ(f.stream.ProcessPacket(whole.data(), 40 + 600), 3);
    EXPECT_EQ(f.File(1), Bytes(data.begin(), data.begin() + 600));

    // A total length that claims more than the frame holds: only the frame's bytes count.
    TcpSegment lying = f.conv.Segment(1, TCP_ACK);
    lying.payload = PatternBytes(10, 4);
    lying.totalLength = 65535;
    const Bytes liar = BuildIpv4Tcp(lying);
    EXPECT_EQ(f.Feed(liar), 3);
    EXPECT_EQ(f.File(2), lying.payload);
}

TEST(TcpStreamTest, SegmentsBeforeTheFirstByteAreClippedAndProbesKeepTheLastByte)
{
    StreamFixture f(0xfffffff0u, 7);
    f.Establish();
    const uint32_t isn = f.conv.Isn(0);
    // A keep-alive before any data: one byte at seq = isn, one before the first data byte.
    f.Feed(f.conv.SendAt(0, TCP_ACK, isn, Bytes{0xAA}));
    EXPECT_TRUE(f.File(1).empty()) << "nothing lands near 4 GiB";
    // A segment that begins two bytes early: the front is clipped, the rest written.
    f.Feed(f.conv.SendAt(0, TCP_ACK, isn - 1, Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(f.File(1), (Bytes{3, 4, 5}));
    // A probe resending the last byte as garbage leaves it alone...
    f.Feed(f.conv.SendAt(0, TCP_ACK, isn + 3, Bytes{0xEE}));
    EXPECT_EQ(f.File(1), (Bytes{3, 4, 5}));
    // ...while a one-byte segment elsewhere, or a two-byte one ending there, is written.
    f.Feed(f.conv.SendAt(0, TCP_ACK, isn + 1, Bytes{9}));
    f.Feed(f.conv.SendAt(0, TCP_ACK, isn + 3, Bytes{7, 8}));
    EXPECT_EQ(f.File(1), (Bytes{9, 4, 7, 8}));
}

TEST(TcpStreamTest, StreamsGrowPastFourGibibytesInOrder)
{
    StreamFixture f(100, 200);
    f.Establish();
    const uint32_t base = f.conv.Isn(0) + 1;
    // Each step lies less than 2 GiB beyond the last byte written, so it counts as ahead.
    const uint64_t offsets[] = {0x7ff00000ull, 0xffe00000ull, 0x100000010ull, 0x17fe00000ull};
    for (uint64_t o : offsets)
        f.Feed(f.conv.SendAt(0, TCP_ACK, base + uint32_t(o), Bytes{uint8_t(o >> 24), 0x5A}));
    const int fd = ::open(f.Path(1).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), off_t(offsets[3] + 2));
    for (uint64_t o : offsets) {
        uint8_t got[2] = {};
        EXPECT_EQ(::pread(fd, got, 2, off_t(o)), 2);
        EXPECT_EQ(got[0], uint8_t(o >> 24)) << std::hex << o;
        EXPECT_EQ(got[1], 0x5A);
    }
    ::close(fd);
    // A retransmission of the first segment still lands at its old offset, not 4 GiB later.
    f.Feed(f.conv.SendAt(0, TCP_ACK, base + uint32_t(offsets[2]), Bytes{0x11}));
    const int again = ::open(f.Path(1).c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t got = 0;
    EXPECT_EQ(::pread(again, &got, 1, off_t(offsets[2])), 1);
    EXPECT_EQ(got, 0x11);
    EXPECT_EQ(::lseek(again, 0, SEEK_END), off_t(offsets[3] + 2));
    ::close(again);
}

TEST(TcpStreamTest, OpenFilesAndCloseFiles)
{
    CTempDir dir;
    const std::string one = dir.Path() + "a-1.txt", two = dir.Path() + "missing/a-2.txt";
    {
        CTcpStream stream;
        EXPECT_EQ(stream.OpenFiles(one.c_str(), two.c_str()), 0) << "second file fails";
        EXPECT_TRUE(FileExists(one)) << "the first file stays, empty";
        EXPECT_EQ(stream.OpenFiles(nullptr, nullptr), 0);
        EXPECT_EQ(stream.OpenFiles(one.c_str(), nullptr), 1) << "nothing was left open";
        EXPECT_EQ(stream.OpenFiles(one.c_str(), nullptr), 0) << "a file is open already";
        const std::string bystander = dir.Path() + "a-2.txt";
        EXPECT_EQ(::close(::open(bystander.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), 0);
        stream.CloseFiles(1);
        EXPECT_EQ(stream.GetState(), -1);
        EXPECT_FALSE(FileExists(one)) << "the open file is removed";
        EXPECT_TRUE(FileExists(bystander)) << "a file the stream never opened stays";
    }
    {
        // Closing without deletion keeps the files as written, uncut.
        StreamFixture f;
        f.Establish();
        f.Feed(f.conv.Send(1, TCP_ACK, PatternBytes(10, 1)));
        f.stream.CloseFiles(0);
        EXPECT_EQ(f.File(2), PatternBytes(10, 1));
        EXPECT_TRUE(FileExists(f.Path(1)));
    }
}

TEST(TcpStreamTest, CachedFilesReopenWithoutLosingBytesAndDeleteExactly)
{
    CTempDir dir;
    CFileCache cache(1); // one descriptor for four files
    auto path = [&](const char *name) { return dir.Path() + name; };
    CTcpStream a(&cache), b(&cache);
    ASSERT_EQ(a.OpenFiles(path("a1").c_str(), path("a2").c_str()), 1);
    ASSERT_EQ(b.OpenFiles(path("b1").c_str(), nullptr), 1);
    EXPECT_EQ(cache.GetOpenCount(), 1u);
    CConversation ca(kClient, 1, kServer, 2, 10, 20), cb(kClient, 3, kServer, 4, 30, 40);
    auto feed = [](CTcpStream &s, const Bytes &p) { return s.ProcessPacket(p.data(), p.size()); };
    for (const auto &p : ca.Handshake())
        feed(a, p);
    for (const auto &p : cb.Handshake())
        feed(b, p);
    Bytes sentA, sentB;
    for (int i = 0; i < 5; ++i) {
        const Bytes x = PatternBytes(64, uint32_t(i)), y = PatternBytes(32, uint32_t(i + 9));
        feed(a, ca.Send(0, TCP_ACK, x));
        feed(b, cb.Send(0, TCP_ACK, y));
        feed(a, ca.Send(1, TCP_ACK, y));
        sentA.insert(sentA.end(), x.begin(), x.end());
        sentB.insert(sentB.end(), y.begin(), y.end());
    }
    EXPECT_EQ(cache.GetOpenCount(), 1u);
    EXPECT_TRUE(cache.TakeFirstEviction());
    EXPECT_FALSE(cache.TakeFirstEviction()) << "reported once";
    EXPECT_EQ(ReadFileBytes(path("a1")), sentA);
    EXPECT_EQ(ReadFileBytes(path("b1")), sentB);
    EXPECT_EQ(a.GetFailureCount(0) + b.GetFailureCount(0), 0);
    for (const auto &p : ca.Close(0))
        feed(a, p); // the cut reopens both files
    EXPECT_EQ(ReadFileBytes(path("a1")), sentA);
    b.CloseFiles(1); // its file is closed in the cache or not: removed all the same
    EXPECT_FALSE(FileExists(path("b1")));
    EXPECT_TRUE(FileExists(path("a1")) && FileExists(path("a2")));
    a.CloseFiles(0);
    EXPECT_EQ(cache.GetOpenCount(), 0u);
}

TEST(TcpStreamTest, WriteFailuresDropThePayloadAndAreCountedOnce)
{
    // /dev/full accepts the open and fails every write with ENOSPC.
    CTempDir dir;
    const std::string good = dir.Path() + "ok-2.txt";
    CTcpStream stream;
    ASSERT_EQ(stream.OpenFiles("/dev/full", good.c_str()), 1);
    CConversation conv(kClient, 1, kServer, 2, 10, 20);
    for (const auto &p : conv.Handshake())
        stream.ProcessPacket(p.data(), p.size());
    for (int i = 0; i < 3; ++i) {
        const Bytes out = conv.Send(0, TCP_ACK, PatternBytes(10, 1));
        const Bytes in = conv.Send(1, TCP_ACK, PatternBytes(10, 2));
        EXPECT_EQ(stream.ProcessPacket(out.data(), out.size()), 3);
        EXPECT_EQ(stream.ProcessPacket(in.data(), in.size()), 3);
        EXPECT_EQ(stream.TakeNewFailures(), i == 0 ? 1u : 0u);
    }
    EXPECT_EQ(stream.GetFailureCount(0), 3);
    EXPECT_EQ(stream.GetLastError(0), ENOSPC);
    EXPECT_EQ(stream.GetFailureCount(1), 0);
    EXPECT_EQ(ReadFileBytes(good).size(), 30u);
}
