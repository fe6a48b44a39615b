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
#include <map>
#include <memory>
#include <random>
#include <set>

namespace {

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
        streams.push_back({++count, std::make_unique<CTcpStream>(), clock});
        streams.back().stream->OpenFiles(folder, StreamFileName(count, 1).c_str(),
                                         StreamFileName(count, 2).c_str());
        if (::Offer(*streams.back().stream, p) < 0)
            Remove(streams.size() - 1);
    }
    // The stream without data idle longest, else the one idle longest of all.
    size_t Victim() const
    {
        auto rank = [](const Entry &e) {
            const int state = e.stream->GetState();
            return std::pair(!(state <= 2 || state == 5), e.taken);
        };
        auto before = [&](const Entry &a, const Entry &b) { return rank(a) < rank(b); };
        return size_t(std::min_element(streams.begin(), streams.end(), before) - streams.begin());
    }
    void Remove(size_t i)
    {
        streams[i].stream->CloseFiles(0);
        streams.erase(streams.begin() + long(i));
    }

    const CFolder &folder;
    size_t capacity;
    std::vector<Entry> streams = {};
    int count = 0;
    long clock = 0;
};

// Random traffic from eight connections that share hosts and ports, reopen with new sequence
// numbers, fail their handshakes, reset, and send from everywhere; half of them over IPv6. It
// begins with three connections that carry data and then a fourth that opens: a full table of
// three has no stream without data then, and gives the place of the one idle longest.
class CTrafficMaker
{
public:
    explicit CTrafficMaker(uint32_t seed) : m_rng(seed), m_convs(8, CConversation(0, 0, 0, 0, 0, 0))
    {
        for (int c = 0; c < 8; ++c)
            Reopen(c);
        for (size_t c : {0, 1, 2}) {
            Append(m_opening, m_convs[c].Handshake());
            m_opening.push_back(m_convs[c].Send(0, TCP_ACK, PatternBytes(10, 1)));
        }
        m_opening.push_back(m_convs[0].Send(1, TCP_ACK, PatternBytes(10, 2))); // 1 idle longest
        m_opening.push_back(m_convs[3].Send(0, TCP_SYN));
    }

    Bytes Next()
    {
        if (m_nOpened < m_opening.size())
            return m_opening[m_nOpened++];
        const int c = Pick(8), side = Pick(2);
        CConversation &conv = m_convs[size_t(c)];
        switch (Pick(12)) {
        case 0:
            Reopen(c);
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
            return conv.Send(side, Pick(3) == 0 ? TCP_RST : TCP_ACK);
        case 6:
            return BuildIpTcp({.src = 0, .dst = 0, .sport = 0, .dport = 0,
                               .flags = uint8_t(Pick(32))});
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
        m_isn += uint32_t(Pick(100000));
        m_convs[size_t(c)] = CConversation(0x0a000001 + uint32_t(c % 3), uint16_t(1000 + c % 4),
                                           0x0a000010, 80, m_isn, m_isn * 3, c % 2 ? 6 : 4);
    }
    uint32_t m_isn = 0xfff00000u;
    std::mt19937 m_rng;
    std::vector<CConversation> m_convs;
    std::vector<Bytes> m_opening;
    size_t m_nOpened = 0;
};

// Every file of folder with its bytes.
std::map<std::string, Bytes> Files(const std::string &folder)
{
    std::map<std::string, Bytes> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
    return files;
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
            CLinearTable reference{slowFolder, capacity};
            CTrafficMaker traffic(seed);
            for (int i = 0; i < 1500; ++i) {
                const Bytes p = traffic.Next();
                CSegment segment;
                if (DecodeIp(p.data(), p.size(), segment))
                    table.Offer(segment);
                reference.Offer(p);
                std::set<int> expected;
                for (const auto &e : reference.streams)
                    expected.insert(e.number);
                ASSERT_EQ(events.held, expected) << "packet " << i;
            }
            table.CloseAll();
            EXPECT_TRUE(events.held.empty());
            const auto files = Files(fast.Path());
            EXPECT_TRUE(files == Files(slow.Path())) << files.size() << " files";
            EXPECT_EQ(events.failures, 0);
        }
    }
}
