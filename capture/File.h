#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class CFileCache;

// A file on a POSIX descriptor, with exactly the operations the stream files need. Nothing is
// buffered in user space: a write has reached the file (the page cache) when it returns.
// Failures return false and leave errno as the system set it.
//
// A file given a descriptor cache may have its descriptor closed by the cache while it stays
// open for its owner; its next operation reopens it (without truncation). A reopen that fails
// is that operation's failure.
class CFile
{
public:
    explicit CFile(CFileCache *cache = nullptr) : m_pCache(cache) {}
    CFile(const CFile &) = delete;
    CFile &operator=(const CFile &) = delete;
    ~CFile() { Close(); }

    // Creates the file, or truncates an existing one, for reading and writing.
    bool Open(const std::string &path);
    // Closes the file (and its descriptor, if it holds one).
    void Close();
    bool IsOpen() const { return m_bOpen; }
    // The path the file was last opened at.
    const std::string &GetPath() const { return m_strPath; }

    // The file's length in bytes, or -1 when it cannot be read.
    int64_t GetLength();
    // Extends the file with zeros or shortens it to length bytes.
    bool SetLength(uint64_t length);
    // Writes n bytes at offset, whatever the file's current length: a write past the end
    // extends the file, and the stretch in between reads as zeros. One system call in the
    // usual case; short writes and interruptions are continued.
    bool WriteAt(uint64_t offset, const void *data, size_t n);

    // Removes the file at path.
    static bool Remove(const std::string &path);

private:
    friend class CFileCache;

    bool OpenDescriptor(int flags);
    bool Ready();
    void CloseDescriptor();

    int m_fd = -1;
    bool m_bOpen = false;
    std::string m_strPath;
    CFileCache *m_pCache = nullptr;
    CFile *m_pOlder = nullptr; // the cache's least-recently-used order
    CFile *m_pNewer = nullptr;
};
