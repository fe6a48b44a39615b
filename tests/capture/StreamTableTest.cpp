#include "StreamTable.h"
#include "FileCache.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;

class CRecorder : public IStreamTableObserver
{
public:
    void OnStreamCreated(int number) override { created.push_back(number); }
    void OnWriteFailure(const std::string &path, int) override { failures.push_back(path); }
    std::vector<int> created;
    std::vector<std::string> failures;
};

// The stream table as plainly as it can be written: every packet offered to every stream in
// order, the least recently taken stream evicted when the table is full.
class CLinearTable
{
public:
    CLinearTable(std::string folder, size_t capacity) : m_folder(std::move(folder)), m_cap(capacity)
    {
    }

    void Offer(const Bytes &p)
    {
        ++m_clock;
        for (size_t i = 0; i < m_streams.size(); ++i) {
            const int r = m_streams[i].stream->ProcessPacket(p.data(), p.size());
            if (r == 0)
                continue;
            if (r < 0) {
                m_streams[i].stream->CloseFiles(0);
                m_streams.erase(m_streams.begin() + long(i));
            } else {
                m_streams[i].taken = m_clock;
            }
            return;
        }
        if (!m_streams.empty() && m_streams.back().stream->GetState() < 1)
            return;
        if (m_streams.size() >= m_cap) {
            size_t oldest = 0;
            for (size_t i = 1; i < m_streams.size(); ++i) {
                if (m_streams[i].taken < m_streams[oldest].taken)
                    oldest = i;
            }
            m_streams[oldest].stream->CloseFiles(0);
            m_streams.erase(m_streams.begin() + long(oldest));
        }
        Entry e{++m_count, std::make_unique<CTcpStream>(), m_clock};
        e.stream->OpenFiles(StreamFileName(m_folder, e.number, 1).c_str(),
                            StreamFileName(m_folder, e.number, 2).c_str());
        m_streams.push_back(std::move(e));
        const int r = m_streams.back().stream->ProcessPacket(p.data(), p.size());
        if (r < 0) {
            m_streams.back().stream->CloseFiles(0);
            m_streams.pop_back();
        }
    }

    std::vector<int> Numbers() const
    {
        std::vector<int> n;
        for (const auto &e : m_streams)
            n.push_back(e.number);
        return n;
    }

private:
    struct Entry
    {
        int number;
        std::unique_ptr<CTcpStream> stream;
        long taken;
    };
    std::string m_folder;
    size_t m_cap;
    std::vector<Entry> m_streams;
    int m_count = 0;
    long m_clock = 0;
};

// Random traffic from a handful of connections that share hosts and ports, reopen with new
// sequence numbers, fail their handshakes, reset, and send from everywhere.
class CTrafficMaker
{
public:
    explicit CTrafficMaker(uint32_t seed) : m_rng(seed)
    {
        for (int i = 0; i < 8; ++i)
            Reopen(i);
    }

    Bytes Next()
    {
        const int c = Pick(8);
        CConversation &conv = *m_convs[size_t(c)];
        const int side = Pick(2);
        switch (Pick(12)) {
        case 0:
            Reopen(c);
            return m_convs[size_t(c)]->Send(0, TCP_SYN);
        case 1:
            return conv.Send(1, TCP_SYN | TCP_ACK);
        case 2:
            return conv.SendAt(1, TCP_SYN | TCP_ACK, conv.Isn(1)); // ack may be wrong
        case 3:
            return conv.Send(0, TCP_ACK);
        case 4:
            return conv.Send(side, TCP_ACK | TCP_FIN);
        case 5:
            return conv.Send(side, Pick(3) == 0 ? TCP_RST : TCP_ACK);
        case 6:
            return BuildIpv4Tcp(TcpSegment{0, 0, 0, 0, 0, 0, uint8_t(Pick(32)), {}});
        default: {
            const uint32_t back = uint32_t(Pick(4) == 0 ? Pick(3000) : 0);
            const Bytes data = PatternBytes(size_t(1 + Pick(1500)), uint32_t(Pick(1000)));
            Bytes p = conv.SendAt(side, TCP_ACK, conv.NextSeq(side) - back, data);
            if (back == 0)
                conv.Send(side, TCP_ACK, data);
            return p;
        }
        }
    }

private:
    int Pick(int n) { return int(m_rng() % uint32_t(n)); }
    // Sequence numbers of a reopened connection stay near the old ones, so that the files
    // stay small when a stream mistakes one connection for the other.
    void Reopen(int c)
    {
        const uint32_t host = 0x0a000001 + uint32_t(c % 3);
        m_convs.resize(8);
        m_isn += uint32_t(Pick(100000));
        m_convs[size_t(c)] = std::make_unique<CConversation>(host, uint16_t(1000 + c % 4),
                                                             0x0a000010, 80, m_isn, m_isn * 3);
    }
    uint32_t m_isn = 0xfff00000u;
    std::mt19937 m_rng;
    std::vector<std::unique_ptr<CConversation>> m_convs;
};

void ExpectSameFolders(const std::string &a, const std::string &b)
{
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(a)) {
        const std::string name = entry.path().filename().string();
        ASSERT_EQ(ReadFileBytes(a + name), ReadFileBytes(b + name)) << name;
        ++files;
    }
    EXPECT_EQ(files, size_t(std::distance(std::filesystem::directory_iterator(b), {})));
}

} // namespace

// The hashed table must answer exactly as offering every packet to every stream would.
TEST(StreamTableTest, SameStreamsAndFilesAsOfferingToEveryStream)
{
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (size_t capacity : {size_t(3), size_t(1024)}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " capacity " << capacity);
            CTempDir fast, slow;
            CRecorder recorder;
            // Four descriptors for up to twice as many files: every write may reopen.
            CFileCache cache(4);
            CStreamTable table(fast.Path(), recorder, &cache, capacity);
            CLinearTable reference(slow.Path(), capacity);
            CTrafficMaker traffic(seed);
            for (int i = 0; i < 1500; ++i) {
                const Bytes p = traffic.Next();
                table.Offer(p.data(), p.size());
                reference.Offer(p);
                ASSERT_EQ(table.GetNumbers(), reference.Numbers()) << "packet " << i;
                ASSERT_LE(table.GetSize(), capacity);
                ASSERT_LE(cache.GetOpenCount(), 4u);
            }
            table.CloseAll();
            ExpectSameFolders(fast.Path(), slow.Path());
            EXPECT_EQ(recorder.created.size(), size_t(table.GetCount()));
        }
    }
}

TEST(StreamTableTest, FullTableEvictsTheStreamIdleLongest)
{
    CTempDir dir;
    CRecorder recorder;
    CStreamTable table(dir.Path(), recorder);
    auto offer = [&](const Bytes &p) { table.Offer(p.data(), p.size()); };
    CConversation first(0x0a000001, 1, 0x0a000002, 80, 10, 20);
    for (const auto &p : first.Handshake())
        offer(p);
    std::vector<CConversation> halfOpen;
    for (int i = 0; i < 1023; ++i) {
        halfOpen.emplace_back(0x0b000000 + uint32_t(i), 2, 0x0a000002, 80, 1, 2);
        offer(halfOpen.back().Send(0, TCP_SYN));
    }
    ASSERT_EQ(table.GetSize(), 1024u);
    const Bytes data = PatternBytes(100, 1);
    offer(first.Send(0, TCP_ACK, data)); // stream 1 is now the most recent

    CConversation late(0x0c000001, 3, 0x0a000002, 80, 30, 40);
    const auto handshake = late.Handshake();
    offer(handshake[0]); // evicts stream 2, the oldest idle
    EXPECT_EQ(table.GetSize(), 1024u);
    const std::vector<int> numbers = table.GetNumbers();
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers[1], 3);
    EXPECT_EQ(numbers.back(), 1025);
    offer(handshake[1]);
    offer(handshake[2]);
    offer(late.Send(1, TCP_ACK, data));
    for (const auto &p : late.Close(0))
        offer(p);
    EXPECT_EQ(ReadFileBytes(StreamFileName(dir.Path(), 1025, 2)), data);
    EXPECT_EQ(ReadFileBytes(StreamFileName(dir.Path(), 1, 1)), data);
    EXPECT_TRUE(FileExists(StreamFileName(dir.Path(), 2, 1))) << "evicted files are kept";
}
