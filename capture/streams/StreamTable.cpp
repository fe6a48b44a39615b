#include "StreamTable.h"

#include "OutputFiles.h"

#include <algorithm>
#include <cassert>

struct CStreamTable::CEntry
{
    CEntry(int n, CWriteBehind &output) : number(n), stream(output) {}
    int number;
    CTcpStream stream;
    CStreamKey key;
    uint64_t lastTaken = 0; // the table's packet clock when it last took a packet
    CStreamRecord origin;   // the packet that created it: its row if it follows no connection
};

namespace {

// Whether a stream in this state carries no connection's data: it waits, is still in its
// handshake, or has seen FIN from both sides.
bool CarriesNoData(int state)
{
    return state <= CTcpStream::kSynAckSeen || state == CTcpStream::kFinsSeen;
}

} // namespace

CStreamTable::CStreamTable(const CFolder &folder, IStreamEvents &events, CWriteBehind &output,
                           size_t capacity, bool midstream)
    : m_folder(folder), m_events(events), m_output(output), m_nCapacity(capacity),
      m_bMidstream(midstream)
{
}

CStreamTable::~CStreamTable()
{
    for (auto &[number, entry] : m_table)
        entry->stream.CloseFiles(0);
}

void CStreamTable::Offer(const CSegment &segment)
{
    ++m_qwClock;
    const CStreamKey key = CStreamKey::Of(segment);
    for (CEntry *entry : GatherCandidates(key, segment.IsSyn() && !segment.IsAck())) {
        if (OfferTo(*entry, segment, key))
            return;
    }
    const bool midstream =
        m_bMidstream && segment.nAnnounced > 0 && !segment.IsSyn() && !segment.IsRst();
    if (midstream && !m_waiting.empty() && OfferTo(*m_waiting.begin()->second, segment, key, true))
        return;
    const bool newestWaits =
        !m_table.empty() && m_table.rbegin()->second->stream.GetState() < CTcpStream::kSynSeen;
    if (!newestWaits && Create(segment, key, midstream))
        return;
    NotTaken(segment, key);
}

void CStreamTable::NotTaken(const CSegment &segment, const CStreamKey &key)
{
    // Only a packet that carries data or opens a connection tells of a connection missed: the
    // last ACKs of a connection that closed are nobody's too.
    if (segment.nAnnounced <= 0 && !segment.IsSyn())
        return;
    if (m_notFollowed.size() < kNotFollowedKept)
        m_notFollowed.insert(key);
    else if (!m_notFollowed.contains(key))
        m_bNotFollowedExact = false;
}

std::span<CStreamTable::CEntry *const> CStreamTable::GatherCandidates(const CStreamKey &key,
                                                                      bool syn)
{
    const auto it = m_index.find(key);
    // IMPORTANT: without waiting streams no offer can change the index (only a waiting
    // stream that takes a SYN is re-indexed, and a removal ends the offer; a stream taken
    // midstream is re-indexed after the walk), so the index's own list is walked without a
    // copy. Re-indexing during that walk would invalidate it.
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

bool CStreamTable::OfferTo(CEntry &entry, const CSegment &segment, const CStreamKey &key,
                           bool midstream)
{
    const int before = entry.stream.GetState();
    const int result =
        midstream ? entry.stream.TakeMidstream(segment) : entry.stream.ProcessPacket(segment);
    if (result < 0) {
        Remove(entry, StreamEnd::CaptureEnded);
        return true;
    }
    const int after = entry.stream.GetState();
    if (before == CTcpStream::kWaiting && after != CTcpStream::kWaiting) {
        // Taking a SYN gave the stream the packet's endpoints.
        m_waiting.erase(entry.number);
        Unindex(entry);
        Index(entry, key);
    } else if (before != CTcpStream::kWaiting && after == CTcpStream::kWaiting) {
        m_waiting.emplace(entry.number, &entry);
    }
    if (result == 0)
        return false;
    entry.lastTaken = m_qwClock;
    return true;
}

bool CStreamTable::Create(const CSegment &segment, const CStreamKey &key, bool midstream)
{
    if (m_table.size() >= m_nCapacity)
        Evict();
    auto owned = std::make_unique<CEntry>(++m_nCount, m_output);
    CEntry &entry = *owned;
    // A stream whose files cannot be created still follows its connection, writing nothing;
    // its files tell their failure themselves.
    entry.stream.OpenFiles(m_folder, StreamFileName(entry.number, 1).c_str(),
                           StreamFileName(entry.number, 2).c_str());
    entry.lastTaken = m_qwClock; // creation counts as taking a packet
    entry.origin.nNumber = entry.number;
    entry.origin.byVersion = segment.byVersion;
    entry.origin.dwVlan = segment.dwVlan;
    entry.origin.initiator = segment.source;
    entry.origin.responder = segment.destination;
    entry.origin.llFirstSeen = entry.origin.llLastSeen = segment.llTime;
    m_table.emplace(entry.number, std::move(owned));
    m_waiting.emplace(entry.number, &entry);
    // A new stream's endpoints are all zero: packets of that (all-zero) connection match it.
    Index(entry, CStreamKey::Of(CSegment{}));
    m_events.OnStreamCreated(entry.number);
    // The packet that made the stream is offered to it at once: it may be the SYN of a
    // connection that opened right after another one.
    return OfferTo(entry, segment, key, midstream);
}

void CStreamTable::Evict()
{
    // A full table makes room by dropping, by rank, the stream idle longest among those that
    // never carried data (a flood of SYNs or of empty handshakes cannot push a connection that
    // carries data out); then among those that carry none now (in their handshake, or after
    // both FINs); and only then the one idle longest of all. Ties go to the earliest in the
    // table. Only a full table scans, so this costs nothing per packet otherwise.
    assert(!m_table.empty());
    const auto rank = [](const CEntry &entry) {
        const CTcpStream &stream = entry.stream;
        return !stream.HasCarriedData() ? 0 : CarriesNoData(stream.GetState()) ? 1 : 2;
    };
    CEntry *victim = nullptr;
    for (const auto &[number, entry] : m_table) {
        if (!victim ||
            std::pair(rank(*entry), entry->lastTaken) < std::pair(rank(*victim), victim->lastTaken))
            victim = entry.get();
    }
    Remove(*victim, StreamEnd::Evicted);
}

void CStreamTable::Index(CEntry &entry, const CStreamKey &key)
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

void CStreamTable::Remove(CEntry &entry, StreamEnd end)
{
    entry.stream.CloseFiles(0);
    CStreamRecord record = entry.origin;
    record.end = end;
    entry.stream.Describe(record);
    Unindex(entry);
    m_waiting.erase(entry.number);
    m_table.erase(entry.number); // destroys entry
    m_events.OnStreamEnded(record);
}

void CStreamTable::CloseAll()
{
    while (!m_table.empty())
        Remove(*m_table.begin()->second, StreamEnd::CaptureEnded);
    m_index.clear();
    m_waiting.clear();
}
