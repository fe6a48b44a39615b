#pragma once
#include "StreamEvents.h"
#include "StreamKey.h"
#include "TcpStream.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CFolder;

// The table of TCP streams of a Packet Combine capture. A packet is offered to the streams in
// table order (creation order); the first that takes it ends the offer, and a stream that
// ends is closed and removed at once. A new, waiting stream is added whenever no stream took
// a packet and the newest stream has begun to follow a connection. With midstream, a segment
// with data and without SYN that no stream takes is taken as a SYN would be, by the first
// waiting stream or by a new one, which follows its connection from there (CTcpStream::
// TakeMidstream).
//
// Only streams that can answer a packet are asked: those whose endpoints match the packet's,
// and, for a SYN without ACK, the streams waiting for a SYN. Every other stream would answer 0
// without changing, so the result equals offering to every stream in order, at a cost that
// does not grow with the table.
class CStreamTable
{
public:
    static constexpr size_t kCapacity = 1024;
    static constexpr size_t kNotFollowedKept = 4096;

    // Stream files are created in folder, named by stream number, and written through output;
    // what happens to streams is told to events. capacity is the most streams held.
    CStreamTable(const CFolder &folder, IStreamEvents &events, CWriteBehind &output,
                 size_t capacity = kCapacity, bool midstream = false);
    // Closes the files of the streams still held, without telling events.
    ~CStreamTable();
    CStreamTable(const CStreamTable &) = delete;
    CStreamTable &operator=(const CStreamTable &) = delete;

    void Offer(const CSegment &segment);

    // Ends every stream in table order (their files kept as they stand), telling events, and
    // empties the table.
    void CloseAll();

    // Number of streams created so far: the highest stream number.
    int GetCount() const { return m_nCount; }
    // Connections (by their endpoints) of which no stream took a packet that carried data or a
    // SYN: open before the capture started, or missed while the table was full. Beyond
    // kNotFollowedKept of them the count is a lower bound, and not exact.
    size_t GetNotFollowed() const { return m_notFollowed.size(); }
    bool IsNotFollowedExact() const { return m_bNotFollowedExact; }

private:
    struct CEntry;
    // Offers the packet to entry's stream, to take from its middle when midstream is set.
    bool OfferTo(CEntry &entry, const CSegment &segment, const CStreamKey &key,
                 bool midstream = false);
    // The streams that may answer a packet with this key, in table order.
    std::span<CEntry *const> GatherCandidates(const CStreamKey &key, bool syn);
    // Creates a stream and offers it the packet (to take from its middle when midstream is
    // set); true when it took it.
    bool Create(const CSegment &segment, const CStreamKey &key, bool midstream);
    void NotTaken(const CSegment &segment, const CStreamKey &key);
    void Evict();
    void Index(CEntry &entry, const CStreamKey &key);
    void Unindex(CEntry &entry);
    void Remove(CEntry &entry, StreamEnd end);

    const CFolder &m_folder;
    IStreamEvents &m_events;
    CWriteBehind &m_output;
    size_t m_nCapacity;
    bool m_bMidstream;
    int m_nCount = 0;
    std::map<int, std::unique_ptr<CEntry>> m_table;                                // table order
    std::unordered_map<CStreamKey, std::vector<CEntry *>, CStreamKeyHash> m_index; // by endpoints
    std::map<int, CEntry *> m_waiting; // streams in state 0
    uint64_t m_qwClock = 0;            // packets offered so far
    std::vector<CEntry *> m_candidates;
    std::unordered_set<CStreamKey, CStreamKeyHash> m_notFollowed;
    bool m_bNotFollowedExact = true;
};
