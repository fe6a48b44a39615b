#pragma once
#include "TcpStream.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

// What the stream table tells its owner while it works.
class IStreamTableObserver
{
public:
    virtual ~IStreamTableObserver() = default;
    // A stream was created with this number; its files were created (or failed to be).
    virtual void OnStreamCreated(int number) = 0;
    // The first write to the file at path failed, with errno error.
    virtual void OnWriteFailure(const std::string &path, int error) = 0;
    // A new stream's file at path could not be created, with errno error.
    virtual void OnCreateFailure(const std::string &, int) {}
};

// The table of TCP streams of a Packet Combine capture. A packet is offered to the streams in
// table order (creation order); the first that takes it ends the offer, and a stream that
// ends is closed and removed at once. A new, waiting stream is added whenever no stream took
// a packet and the newest stream has begun to follow a connection.
//
// Only streams that can answer a packet are asked: those whose endpoints match the packet's,
// and, for a SYN without ACK, the streams waiting for a SYN. Every other stream would answer 0
// without changing, so the result equals offering to every stream in order, at a cost that
// does not grow with the table.
class CStreamTable
{
public:
    static constexpr size_t kCapacity = 1024;

    // folder ends with '/'; stream files are named in it by stream number and opened through
    // cache when one is given. capacity is the most streams the table holds.
    CStreamTable(std::string folder, IStreamTableObserver &observer, CFileCache *cache = nullptr,
                 size_t capacity = kCapacity);
    ~CStreamTable();
    CStreamTable(const CStreamTable &) = delete;
    CStreamTable &operator=(const CStreamTable &) = delete;

    // Offers one packet whose headers were captured (CTcpStream::IsReadable).
    void Offer(const uint8_t *ip, size_t captured);

    // Closes every stream's files, keeping them, in table order, and empties the table.
    void CloseAll();

    // Number of streams created so far: the highest stream number.
    int GetCount() const { return m_nCount; }
    size_t GetSize() const { return m_table.size(); }
    // The numbers of the streams in the table, in table order.
    std::vector<int> GetNumbers() const;

    struct CKey
    {
        uint64_t lo = 0;
        uint64_t hi = 0;
        bool operator==(const CKey &) const = default;
    };

private:
    struct CEntry;
    struct CKeyHash
    {
        size_t operator()(const CKey &k) const;
    };

    static CKey KeyOf(const uint8_t *ip);
    bool OfferTo(CEntry &entry, const uint8_t *ip, size_t captured, const CKey &key);
    // The streams that may answer a packet with this key, in table order.
    std::span<CEntry *const> GatherCandidates(const CKey &key, bool syn);
    void Create(const uint8_t *ip, size_t captured, const CKey &key);
    void EvictOldestIdle();
    void Index(CEntry &entry, const CKey &key);
    void Unindex(CEntry &entry);
    void Remove(CEntry &entry);
    void ReportFailures(CEntry &entry);

    std::string m_strFolder;
    IStreamTableObserver &m_observer;
    CFileCache *m_pCache;
    size_t m_nCapacity;
    int m_nCount = 0;
    std::map<int, std::unique_ptr<CEntry>> m_table;                    // table order
    std::unordered_map<CKey, std::vector<CEntry *>, CKeyHash> m_index; // by endpoints
    std::map<int, CEntry *> m_waiting;                                 // streams in state 0
    uint64_t m_qwClock = 0;                                            // packets offered so far
    std::vector<CEntry *> m_candidates;
};
