#pragma once
#include <cstddef>

class CFile;

// Keeps at most a given number of files' descriptors open. Files stay open for their owners;
// when a descriptor is needed and the cache is full, the least recently used file gives its
// descriptor up and reopens on its next use, without truncation. So any number of stream
// files can be written however few descriptors the process may hold.
//
// Used by one thread only.
class CFileCache
{
public:
    explicit CFileCache(size_t capacity);
    ~CFileCache();
    CFileCache(const CFileCache &) = delete;
    CFileCache &operator=(const CFileCache &) = delete;

    size_t GetCapacity() const { return m_nCapacity; }
    // Descriptors held open now.
    size_t GetOpenCount() const { return m_nOpen; }
    // True once, the first time a descriptor was given up to make room.
    bool TakeFirstEviction();

    // For CFile: a descriptor is about to be opened for file; make room for it.
    void MakeRoom();
    // For CFile: file has just been opened, or used; it becomes the most recently used.
    void Touch(CFile &file);
    // For CFile: file has closed its descriptor.
    void Forget(CFile &file);
    // For CFile: opening failed for want of descriptors; gives one up. False when none is
    // left to give.
    bool EvictOne();

private:
    void Unlink(CFile &file);

    size_t m_nCapacity;
    size_t m_nOpen = 0;
    CFile *m_pOldest = nullptr;
    CFile *m_pNewest = nullptr;
    bool m_bEvicted = false;
    bool m_bEvictionReported = false;
};
