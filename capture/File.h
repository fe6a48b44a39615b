#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A file on a POSIX descriptor, with exactly the operations the stream files need. Nothing is
// buffered in user space: a write has reached the file (the page cache) when it returns.
// Failures return false and leave errno as the system set it.
class CFile
{
public:
    CFile() = default;
    CFile(const CFile &) = delete;
    CFile &operator=(const CFile &) = delete;
    ~CFile() { Close(); }

    // Creates the file, or truncates an existing one, for reading and writing.
    bool Open(const std::string &path);
    // Closes the descriptor if one is open.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // The file's length in bytes, or -1 when it cannot be read.
    int64_t GetLength() const;
    // Extends the file with zeros or shortens it to length bytes.
    bool SetLength(uint64_t length);
    // Writes n bytes at offset, whatever the file's current length: a write past the end
    // extends the file, and the stretch in between reads as zeros. One system call in the
    // usual case; short writes and interruptions are continued.
    bool WriteAt(uint64_t offset, const void *data, size_t n);

    // Removes the file at path.
    static bool Remove(const std::string &path);

private:
    int m_fd = -1;
};
