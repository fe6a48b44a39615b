#pragma once
#include "OutputEvents.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

class CFileCache;
class CFolder;

// A file of the output folder on a POSIX descriptor, with exactly the operations the capture
// needs. Failures return false and leave errno as the system set it.
//
// A file given a cache (the stream files) shares the cache's bounds. Its descriptor may be
// closed by the cache and is reopened on the next use, only if the folder still holds the very
// file that was created. Bytes that continue the bytes just written wait in a pending run and
// are written together, when the run is full, when a write goes elsewhere, before a length
// change, on Close, and whenever the cache is flushed; so the file ends exactly as if each write
// had been made at once. Such a file tells its first failure to the cache's events itself.
class CFile
{
public:
    // A pending run is made of up to this many pieces of the cache's.
    static constexpr size_t kPiecesPerRun = 4;

    explicit CFile(CFileCache *cache = nullptr) : m_pCache(cache) {}
    CFile(const CFile &) = delete;
    CFile &operator=(const CFile &) = delete;
    ~CFile() { Close(); }

    // Creates name anew in folder for reading and writing (see CFolder::CreateFile). The folder
    // must stay open while the file is.
    bool Open(const CFolder &folder, const std::string &name);
    // Writes what is pending and closes the file. False when that write failed.
    bool Close();
    // Closes the file without writing what is pending and removes it from its folder.
    bool Remove();
    // The folder's path and the file's name, for messages.
    std::string GetPath() const;

    // Extends the file with zeros or shortens it to length bytes.
    bool SetLength(uint64_t length);
    // Writes n bytes at offset, whatever the file's length: a write past the end extends the
    // file, and the stretch in between reads as zeros. Short writes and interruptions are
    // continued. With a cache the bytes may wait in the pending run; true means they were taken.
    bool WriteAt(uint64_t offset, const void *data, size_t n);
    // Writes the pending run, if any.
    bool Flush();

private:
    friend class CFileCache;

    // A place in one of the cache's lists of files.
    struct CLink
    {
        CFile *pOlder = nullptr;
        CFile *pNewer = nullptr;
        bool bLinked = false;
    };

    bool Ready();
    // For the cache: writes what is pending and closes the descriptor, remembering which file
    // it named.
    void GiveUpDescriptor();
    bool CloseDescriptor();
    bool WriteNow(uint64_t offset, const uint8_t *data, size_t n);
    // Copies up to n bytes onto the end of the pending run, taking pieces as it grows; returns
    // how many it took (fewer when no piece could be had).
    size_t Gather(const uint8_t *bytes, size_t n);
    bool WriteRun();
    void ReleaseRun();
    bool Failed(FileFailure kind);

    const CFolder *m_pFolder = nullptr;
    std::string m_strName;
    int m_fd = -1;
    bool m_bOpen = false;
    bool m_bFailed = false; // the first failure has been told
    dev_t m_device = 0;     // the created file's identity, checked on every reopen
    ino_t m_inode = 0;
    CFileCache *m_pCache = nullptr;
    CLink m_descriptorLink; // the cache's order of open descriptors, least recently used first
    CLink m_runLink;        // the cache's order of pending runs, oldest first
    std::array<uint8_t *, kPiecesPerRun> m_pieces{}; // the cache's, as many as m_nRunLength fills
    uint64_t m_qwRunOffset = 0;
    size_t m_nRunLength = 0; // bytes pending; none: no run, no piece held
};
