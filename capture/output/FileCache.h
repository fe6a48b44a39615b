#pragma once
#include "File.h"
#include "OutputEvents.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Keeps the stream files of a capture within bounds, however many there are:
//  - descriptors: at most a given number are open; when one more is needed, the least recently
//    used file gives its descriptor up and reopens on its next use, without truncation;
//  - pending runs: bytes that continue a file's last write wait in a run, which takes pieces
//    of a quarter of a run's size from a pool of fixed total size as it grows, so that runs
//    of a segment or two hold little; when the pool is empty the oldest other run is written
//    to free its pieces. Pieces are recycled, so steady writing allocates nothing.
// The failures of its files and the first shortage of descriptors are told to its events.
//
// Used by one thread only.
class CFileCache
{
public:
    static constexpr size_t kRunBytes = 16 * 1024;
    static constexpr size_t kRunBudget = 8 * 1024 * 1024;

    // Runs of up to runBytes, from pieces of runBudget bytes in all (at least one piece).
    explicit CFileCache(size_t descriptors, IOutputEvents *events = nullptr,
                        size_t runBytes = kRunBytes, size_t runBudget = kRunBudget);
    ~CFileCache();
    CFileCache(const CFileCache &) = delete;
    CFileCache &operator=(const CFileCache &) = delete;

    // Writes every pending run: the files are then current.
    void FlushAll();

private:
    friend class CFile;

    // Files in order, oldest first, linked through one of their CLink members.
    class CList
    {
    public:
        explicit CList(CFile::CLink CFile::*link) : m_link(link) {}
        CFile *Oldest() const { return m_pOldest; }
        size_t Count() const { return m_nCount; }
        bool Holds(const CFile &file) const { return (file.*m_link).bLinked; }
        void Append(CFile &file);
        void Unlink(CFile &file);

    private:
        CFile::CLink CFile::*m_link;
        CFile *m_pOldest = nullptr;
        CFile *m_pNewest = nullptr;
        size_t m_nCount = 0;
    };

    // For CFile: a descriptor is about to be opened; make room for it.
    void MakeRoom();
    // For CFile: file has just been opened or used; it becomes the most recently used.
    void Touch(CFile &file);
    // For CFile: file has closed its descriptor.
    void Forget(CFile &file);
    // For CFile: gives up the least recently used descriptor. False when none is left.
    bool EvictOne();
    size_t GetRunBytes() const { return m_nRunBytes; }
    size_t GetPieceBytes() const { return m_nPieceBytes; }
    // For CFile: how many pieces file's pending run holds.
    size_t PiecesOf(const CFile &file) const;
    // For CFile: one more piece for file's run, or null when none can be had without writing
    // file's own run. Making room may write any other run, file's included when it gives its
    // descriptor up on the way.
    uint8_t *TakePiece(CFile &file);
    // For CFile: file's run was written or dropped; its pieces come back.
    void ReturnPieces(CFile &file);
    void Report(FileFailure kind, const CFile &file, int error);

    size_t m_nDescriptors;
    IOutputEvents *m_pEvents;
    size_t m_nRunBytes;
    size_t m_nPieceBytes;
    size_t m_nMaxPieces;
    std::vector<std::unique_ptr<uint8_t[]>> m_pool; // every piece made
    std::vector<uint8_t *> m_freePieces;
    CList m_descriptors{&CFile::m_descriptorLink};
    CList m_runs{&CFile::m_runLink};
    bool m_bShortTold = false;
};
