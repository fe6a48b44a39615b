#pragma once
#include <string>
#include <sys/types.h>

// The output folder of a capture, held open by its descriptor from the start of the capture to
// its end. Every file of the capture is created, reopened and removed relative to it, so a path
// is walked once: moving or replacing the folder later redirects nothing, and a link planted
// under a file's name is replaced, never written through.
class CFolder
{
public:
    CFolder() = default;
    ~CFolder() { Close(); }
    CFolder(const CFolder &) = delete;
    CFolder &operator=(const CFolder &) = delete;

    // Opens the folder at path; links on the way are followed, as the user named it at this
    // moment. path is kept, with a trailing '/', for messages.
    bool Open(const std::string &path);
    // Holds fd, a folder opened by the caller, as the folder at path.
    void Adopt(int fd, const std::string &path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int GetDescriptor() const { return m_fd; }
    // The path the folder was opened by, ending with '/'.
    const std::string &GetPath() const { return m_strPath; }

    // Creates the file name (a plain name, no '/') for reading and writing, private to its
    // owner (0600). An entry of that name is removed first, whatever it is (a file, a link, a
    // FIFO), and never opened: the create is exclusive and retried a few times. Returns the
    // descriptor, or -1 with errno set; a folder under that name fails with EISDIR.
    int CreateFile(const std::string &name) const;
    // Opens name for writing again, only when it is still the regular file (device, inode)
    // that was created: anything else fails with ESTALE and is left alone.
    int ReopenFile(const std::string &name, dev_t device, ino_t inode) const;
    // Opens name for reading without following a link. -1 with errno on failure.
    int OpenForReading(const std::string &name) const;
    // Removes the file name.
    bool RemoveFile(const std::string &name) const;
    // Gives the file from the name to, replacing whatever entry to names (a link is replaced,
    // never followed).
    bool RenameFile(const std::string &from, const std::string &to) const;

private:
    int m_fd = -1;
    std::string m_strPath;
};
