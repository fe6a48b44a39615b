#include "StreamTable.h"

#include "OutputFiles.h"
#include "PacketFields.h"

#include <algorithm>
#include <cassert>
#include <cerrno>

struct CStreamTable::CEntry
{
    CEntry(int n, CFileCache *cache) : number(n), stream(cache) {}
    int number;
    CTcpStream stream;
    CKey key;
    uint64_t lastTaken = 0; // the table's packet clock when it last took a packet
};

size_t CStreamTable::CKeyHash::operator()(const CKey &k) const
{
    uint64_t h = k.lo * 0x9E3779B97F4A7C15ull ^ (k.hi + 0x632BE59BD9B4E019ull);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return size_t(h ^ (h >> 32));
}

CStreamTable::CStreamTable(std::string folder, IStreamTableObserver &observer, CFileCache *cache,
                           size_t capacity)
    : m_strFolder(std::move(folder)), m_observer(observer), m_pCache(cache), m_nCapacity(capacity)
{
}

CStreamTable::~CStreamTable() { CloseAll(); }

CStreamTable::CKey CStreamTable::KeyOf(const uint8_t *ip)
{
    // Both directions of a connection share one key: the two endpoints, smaller first.
    const uint8_t *tcp = ip + GetIpHeaderLength(ip);
    const uint64_t a = (uint64_t(GetIpSourceAddress(ip)) << 16) | GetTcpSourcePort(tcp);
    const uint64_t b = (uint64_t(GetIpDestinationAddress(ip)) << 16) | GetTcpDestinationPort(tcp);
    return a < b ? CKey{a, b} : CKey{b, a};
}

void CStreamTable::Offer(const uint8_t *ip, size_t captured)
{
    ++m_qwClock;
    const uint8_t *tcp = ip + GetIpHeaderLength(ip);
    const CKey key = KeyOf(ip);
    for (CEntry *entry : GatherCandidates(key, IsTcpSyn(tcp) && !IsTcpAck(tcp))) {
        if (OfferTo(*entry, ip, captured, key))
            return;
    }
    if (!m_table.empty() && m_table.rbegin()->second->stream.GetState() < 1)
        return;
    Create(ip, captured, key);
}

std::span<CStreamTable::CEntry *const> CStreamTable::GatherCandidates(const CKey &key, bool syn)
{
    const auto it = m_index.find(key);
    // IMPORTANT: without waiting streams no offer can change the index (only a waiting
    // stream that takes a SYN is re-indexed, and a removal ends the offer), so the index's own
    // list is walked without a copy. Re-indexing during that walk would invalidate it.
    if (!syn || m_waiting.empty()) {
        if (it == m_index.end())
            return {};
        return it->second;
    }
    m_candidates.clear();
    if (it != m_index.end())
        m_candidates = it->second;
    for (const auto &[number, entry] : m_waiting)
        m_candidates.push_back(entry);
    auto byNumber = [](const CEntry *a, const CEntry *b) { return a->number < b->number; };
    std::sort(m_candidates.begin(), m_candidates.end(), byNumber);
    m_candidates.erase(std::unique(m_candidates.begin(), m_candidates.end()), m_candidates.end());
    return m_candidates;
}

bool CStreamTable::OfferTo(CEntry &entry, const uint8_t *ip, size_t captured, const CKey &key)
{
    const int before = entry.stream.GetState();
    const int result = entry.stream.ProcessPacket(ip, captured);
    ReportFailures(entry);
    if (result < 0) {
        Remove(entry);
        return true;
    }
    const int after = entry.stream.GetState();
    if (before == 0 && after != 0) {
        // Taking a SYN gave the stream the packet's endpoints.
        m_waiting.erase(entry.number);
        Unindex(entry);
        Index(entry, key);
    } else if (before != 0 && after == 0) {
        m_waiting.emplace(entry.number, &entry);
    }
    if (result == 0)
        return false;
    entry.lastTaken = m_qwClock;
    return true;
}

void CStreamTable::Create(const uint8_t *ip, size_t captured, const CKey &key)
{
    // A full table makes room by dropping the stream that has waited longest for a packet,
    // so that connections that never complete cannot hold every slot for ever.
    if (m_table.size() >= m_nCapacity)
        EvictOldestIdle();
    auto owned = std::make_unique<CEntry>(++m_nCount, m_pCache);
    CEntry &entry = *owned;
    const std::string path1 = StreamFileName(m_strFolder, entry.number, 1);
    const std::string path2 = StreamFileName(m_strFolder, entry.number, 2);
    // A stream whose files cannot be created still follows its connection, writing nothing.
    if (!entry.stream.OpenFiles(path1.c_str(), path2.c_str())) {
        // The second file is tried only once the first was created.
        const int failed = entry.stream.GetPath(1).empty() ? 0 : 1;
        m_observer.OnCreateFailure(entry.stream.GetPath(failed), errno);
    }
    entry.lastTaken = m_qwClock; // creation counts as taking a packet
    m_table.emplace(entry.number, std::move(owned));
    m_waiting.emplace(entry.number, &entry);
    Index(entry, CKey{});
    m_observer.OnStreamCreated(entry.number);
    // The packet that made the stream is offered to it at once: it may be the SYN of a
    // connection that opened right after another one.
    OfferTo(entry, ip, captured, key);
}

void CStreamTable::EvictOldestIdle()
{
    // Only a full table looks for its oldest idle stream, so a scan costs nothing per packet.
    // Ties go to the earliest in the table.
    assert(!m_table.empty());
    CEntry *oldest = m_table.begin()->second.get();
    for (const auto &[number, entry] : m_table) {
        if (entry->lastTaken < oldest->lastTaken)
            oldest = entry.get();
    }
    Remove(*oldest);
}

void CStreamTable::Index(CEntry &entry, const CKey &key)
{
    entry.key = key;
    auto &list = m_index[key];
    auto at =
        std::upper_bound(list.begin(), list.end(), &entry,
                         [](const CEntry *a, const CEntry *b) { return a->number < b->number; });
    list.insert(at, &entry);
}

void CStreamTable::Unindex(CEntry &entry)
{
    auto it = m_index.find(entry.key);
    if (it == m_index.end())
        return;
    std::erase(it->second, &entry);
    if (it->second.empty())
        m_index.erase(it);
}

void CStreamTable::Remove(CEntry &entry)
{
    entry.stream.CloseFiles(0);
    Unindex(entry);
    m_waiting.erase(entry.number);
    m_table.erase(entry.number); // destroys entry
}

void CStreamTable::ReportFailures(CEntry &entry)
{
    const unsigned fresh = entry.stream.TakeNewFailures();
    for (int dir = 0; dir < 2; ++dir) {
        if (fresh & (1u << dir))
            m_observer.OnWriteFailure(entry.stream.GetPath(dir), entry.stream.GetLastError(dir));
    }
}

void CStreamTable::CloseAll()
{
    for (auto &[number, entry] : m_table)
        entry->stream.CloseFiles(0);
    m_table.clear();
    m_index.clear();
    m_waiting.clear();
}

std::vector<int> CStreamTable::GetNumbers() const
{
    std::vector<int> numbers;
    numbers.reserve(m_table.size());
    for (const auto &[number, entry] : m_table)
        numbers.push_back(number);
    return numbers;
}
