#pragma once
#include "DescriptorCache.h"
#include "OutputEvents.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>
#include <sys/uio.h>

class CFolder;

// A file of the output folder, with exactly the operations a capture needs: create in the held
// folder, write at an offset, set the length, close, remove. Every write is made at once.
// Failures return false (or a short count) and leave errno as the system set it; the first
// failure of a file is also told to its events, when it has any.
//
// A file given a descriptor cache holds its descriptor there: the cache may close it to stay
// within its bound, and the file then opens it again on its next use, only if the folder still
// holds the very file that was created. The cache must outlive the file.
class CFile
{
public:
    explicit CFile(CDescriptorCache *descriptors = nullptr, IOutputEvents *events = nullptr)
        : m_pDescriptors(descriptors), m_pEvents(events)
    {
    }
    CFile(const CFile &) = delete;
    CFile &operator=(const CFile &) = delete;
    ~CFile() { Close(); }

    // Creates name anew in folder for reading and writing (see CFolder::CreateFile). The folder
    // must stay open while the file is.
    bool Open(const CFolder &folder, const std::string &name);
    // Closes the file, if it is open.
    void Close();
    // Closes the file and removes it from its folder. False when it was not open or could not
    // be removed.
    bool Remove();
    bool IsOpen() const { return m_bOpen; }
    // The folder's path and the file's name, for messages.
    std::string GetPath() const;

    // Extends the file with zeros or shortens it to length bytes.
    bool SetLength(uint64_t length);
    // Writes n bytes at offset, whatever the file's length: a write past the end extends the
    // file, and the stretch in between reads as zeros. Short writes and interruptions are
    // continued.
    bool WriteAt(uint64_t offset, const void *data, size_t n);
    // Writes parts one after another from offset, as WriteAt does. Returns the bytes written:
    // all of them, or fewer when a write failed.
    size_t WriteAt(uint64_t offset, std::span<iovec> parts);

private:
    int Descriptor();
    bool Failed(FileFailure kind);

    CDescriptorCache *m_pDescriptors;
    IOutputEvents *m_pEvents;
    const CFolder *m_pFolder = nullptr;
    std::string m_strName;
    bool m_bOpen = false;
    bool m_bFailed = false;             // the first failure has been told
    int m_fd = -1;                      // without a cache
    CDescriptorCache::Slot m_nSlot = 0; // with a cache
    dev_t m_device = 0;                 // the created file's identity, checked on reopening
    ino_t m_inode = 0;
};
