#include "EngineTestSupport.h"
#include "FileCache.h"
#include "Folder.h"
#include "OutputFiles.h"
#include "PacketBuilder.h"
#include "StreamTable.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <set>

namespace {

// The stream table as plainly as it can be written: every packet offered to every stream in
// order; a full table evicts the stream idle longest among those without data (waiting, in
// the handshake, or after both FINs), else the one idle longest of all.
class CLinearTable
{
public:
    CLinearTable(const CFolder &folder, size_t capacity) : m_folder(folder), m_cap(capacity) {}

    void Offer(const Bytes &p)
    {
        ++m_clock;
        for (size_t i = 0; i < m_streams.size(); ++i) {
            const int r = ::Offer(*m_streams[i].stream, p);
            if (r != 0)
                return r < 0 ? Remove(i) : void(m_streams[i].taken = m_clock);
        }
        CSegment s;
        if ((!m_streams.empty() && m_streams.back().stream->GetState() < 1) ||
            !DecodeIp(p.data(), p.size(), s))
            return;
        if (m_streams.size() >= m_cap)
            Remove(Victim());
        m_streams.push_back({++m_count, std::make_unique<CTcpStream>(), m_clock});
        m_streams.back().stream->OpenFiles(m_folder, StreamFileName(m_count, 1).c_str(),
                                           StreamFileName(m_count, 2).c_str());
        if (::Offer(*m_streams.back().stream, p) < 0)
            Remove(m_streams.size() - 1);
    }

    std::set<int> Numbers() const
    {
        std::set<int> n;
        for (const auto &e : m_streams)
            n.insert(e.number);
        return n;
    }

private:
    struct Entry
    {
        int number;
        std::unique_ptr<CTcpStream> stream;
        long taken;
    };
    size_t Victim() const
    {
        size_t best = 0, bestQuiet = m_streams.size();
        for (size_t i = 0; i < m_streams.size(); ++i) {
            const int state = m_streams[i].stream->GetState();
            if (m_streams[i].taken < m_streams[best].taken)
                best = i;
            if ((state <= 2 || state == 5) &&
                (bestQuiet == m_streams.size() || m_streams[i].taken < m_streams[bestQuiet].taken))
                bestQuiet = i;
        }
        return bestQuiet < m_streams.size() ? bestQuiet : best;
    }
    void Remove(size_t i)
    {
        m_streams[i].stream->CloseFiles(0);
        m_streams.erase(m_streams.begin() + long(i));
    }
    const CFolder &m_folder;
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
        case 6: {
            TcpSegment zero{};
            zero.src = zero.dst = zero.sport = zero.dport = 0;
            zero.flags = uint8_t(Pick(32));
            return BuildIpTcp(zero);
        }
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
    // stay small when a stream mistakes one connection for the other. Half the connections
    // run over IPv6.
    void Reopen(int c)
    {
        const uint32_t host = 0x0a000001 + uint32_t(c % 3);
        m_convs.resize(8);
        m_isn += uint32_t(Pick(100000));
        m_convs[size_t(c)] = std::make_unique<CConversation>(
            host, uint16_t(1000 + c % 4), 0x0a000010, 80, m_isn, m_isn * 3, c % 2 ? 6 : 4);
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

// The hashed table, writing through a cache of four descriptors and three runs of 8 bytes,
// must answer exactly as offering every packet to every stream would.
TEST(StreamTableTest, SameStreamsAndFilesAsOfferingToEveryStream)
{
    for (uint32_t seed : {1u, 2u}) {
        for (size_t capacity : {size_t(3), size_t(1024)}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " capacity " << capacity);
            CTempDir fast, slow;
            CFolder fastFolder, slowFolder;
            ASSERT_TRUE(fastFolder.Open(fast.Path()) && slowFolder.Open(slow.Path()));
            CEventLog events;
            CFileCache cache(4, &events, 8, 24);
            CStreamTable table(fastFolder, events, &cache, capacity);
            CLinearTable reference(slowFolder, capacity);
            CTrafficMaker traffic(seed);
            std::set<int> held;
            for (int i = 0; i < 1500; ++i) {
                const Bytes p = traffic.Next();
                CSegment segment;
                if (DecodeIp(p.data(), p.size(), segment))
                    table.Offer(segment);
                reference.Offer(p);
                held.insert(events.created.begin(), events.created.end());
                for (const CStreamRecord &r : events.ended)
                    held.erase(r.nNumber);
                events.created.clear();
                events.ended.clear();
                ASSERT_EQ(held, reference.Numbers()) << "packet " << i;
                ASSERT_LE(held.size(), capacity);
            }
            table.CloseAll();
            EXPECT_EQ(events.ended.size(), held.size());
            ExpectSameFolders(fast.Path(), slow.Path());
            EXPECT_TRUE(events.failures.empty());
        }
    }
}

// When every stream carries data, a full table gives the place of the one idle longest.
TEST(StreamTableTest, FullTableOfEstablishedConnections)
{
    CTempDir dir;
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path()));
    CEventLog events;
    CStreamTable table(folder, events, nullptr, 2);
    auto offer = [&](const Bytes &p) {
        CSegment s;
        ASSERT_TRUE(DecodeIp(p.data(), p.size(), s));
        table.Offer(s);
    };
    std::vector<CConversation> c;
    for (uint16_t port : {10, 11, 12})
        c.emplace_back(0x0c000001, port, 0x0a000002, 80, 5, 6);
    for (int i : {0, 1}) {
        for (const auto &p : c[size_t(i)].Handshake())
            offer(p);
    }
    offer(c[0].Send(0, TCP_ACK, PatternBytes(100, 1)));
    offer(c[2].Send(0, TCP_SYN));
    ASSERT_EQ(events.ended.size(), 1u);
    EXPECT_EQ(events.ended[0].initiator.wPort, 11);
    EXPECT_EQ(events.ended[0].end, StreamEnd::Evicted);
}
