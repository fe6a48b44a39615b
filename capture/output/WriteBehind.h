#pragma once
#include "DescriptorCache.h"
#include "File.h"
#include "OutputEvents.h"
#include "RangeSet.h"
#include "RecencyList.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CFolder;

// The stream files of a capture, written behind: bytes that continue a file's last write wait
// in the file's pending run and reach the file together, in one pwritev. The pending runs take
// pieces of a quarter of a run from a pool of fixed total size as they grow, so a run of a
// segment or two holds little, and steady writing allocates nothing.
//
// When a run is written is decided here, and only here:
//  - a write that does not continue the run (a gap, a retransmission, an overlap) writes the
//    run first, so the write made last decides every byte, as if each had been made at once;
//  - a run that is full, or a write too large for a run, is written at once;
//  - when the pool is spent, the oldest other run is written to free its pieces;
//  - before a length change and before a close, the file's own run;
//  - FlushAll, which the capture calls when it has caught up with the traffic and under a
//    backlog at least every 100 ms, writes every run.
// Writing a run calls the file and nothing else, so it never comes back here.
//
// Bytes whose write failed are recorded per file as failed ranges, for the file's owner to take
// (TakeFailed); the failure itself is told by the file to the events.
//
// Used by one thread only.
class CWriteBehind
{
public:
    static constexpr size_t kRunBytes = 16 * 1024;
    static constexpr size_t kPoolBytes = 8 * 1024 * 1024;
    static constexpr size_t kPiecesPerRun = 4;
    // A file as the write-behind knows it, from Open to Close or Remove.
    using Key = uint32_t;
    static constexpr Key kNoFile = UINT32_MAX;

    // Files keep their descriptors in descriptors and tell their failures to events; runs of
    // up to runBytes take pieces from a pool of poolBytes in all (at least one piece).
    CWriteBehind(CDescriptorCache &descriptors, IOutputEvents &events, size_t runBytes = kRunBytes,
                 size_t poolBytes = kPoolBytes);
    ~CWriteBehind();
    CWriteBehind(const CWriteBehind &) = delete;
    CWriteBehind &operator=(const CWriteBehind &) = delete;

    // Creates name anew in folder (see CFile::Open). kNoFile when it could not be created.
    Key Open(const CFolder &folder, const std::string &name);
    // Writes n bytes at offset of key's file, now or later.
    void Write(Key key, uint64_t offset, const uint8_t *data, size_t n);
    // Writes key's run, then sets its file's length. False when the length could not be set.
    bool SetLength(Key key, uint64_t length);
    // Writes key's run and closes its file; the key is then free. Returns the ranges of the
    // file that failed and were not taken yet.
    std::vector<CByteRange> Close(Key key);
    // Drops key's run unwritten and removes its file; the key is then free.
    void Remove(Key key);
    // Writes every pending run: the files are then current.
    void FlushAll();
    // The ranges of key's file whose write failed since the last call, oldest first.
    std::vector<CByteRange> TakeFailed(Key key);

private:
    struct CEntry
    {
        CEntry(CDescriptorCache &descriptors, IOutputEvents &events) : file(&descriptors, &events)
        {
        }
        CFile file;
        uint64_t qwRunOffset = 0;
        size_t nRunLength = 0; // bytes pending; none: no run, no piece held
        std::array<uint8_t *, kPiecesPerRun> pieces{};
        std::vector<CByteRange> failed;
    };

    size_t Gather(Key key, const uint8_t *bytes, size_t n);
    uint8_t *TakePiece(Key key);
    void WriteRun(Key key);
    void WriteDirect(Key key, uint64_t offset, const uint8_t *data, size_t n);
    void ReleaseRun(Key key);

    CDescriptorCache &m_descriptors;
    IOutputEvents &m_events;
    size_t m_nRunBytes;
    size_t m_nPieceBytes;
    size_t m_nMaxPieces;
    std::vector<std::unique_ptr<CEntry>> m_entries;
    std::vector<Key> m_freeKeys;
    std::vector<std::unique_ptr<uint8_t[]>> m_pool; // every piece made
    std::vector<uint8_t *> m_freePieces;
    CRecencyList m_runs; // the keys with a pending run, oldest first
};
