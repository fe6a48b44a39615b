#include "Folder.h"

#include "StartUp.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An entry can be planted again between its removal and the create; after this many tries
// the create fails rather than loop on an attacker's schedule.
constexpr int kCreateAttempts = 4;

int OpenRetrying(int dir, const std::string &name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dir, name.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

bool CFolder::Open(const std::string &path)
{
    Adopt(OpenRetrying(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
    return m_fd >= 0;
}

void CFolder::Adopt(int fd, const std::string &path)
{
    Close();
    m_strPath = path;
    if (m_strPath.empty() || m_strPath.back() != '/')
        m_strPath += '/';
    m_fd = fd;
}

void CFolder::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

int CFolder::CreateFile(const std::string &name) const
{
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const int fd = OpenRetrying(m_fd, name, flags, 0600);
        if (fd >= 0) {
            // A mask that takes the owner's own bits would leave a file that cannot be opened
            // again for writing.
            if (StartUp::GetUmask() & 0700)
                (void)::fchmod(fd, 0600);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        // unlinkat without AT_REMOVEDIR refuses a folder with EISDIR, which ends the tries.
        if (::unlinkat(m_fd, name.c_str(), 0) != 0 && errno != ENOENT)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

int CFolder::ReopenFile(const std::string &name, dev_t device, ino_t inode) const
{
    // O_NONBLOCK: a FIFO planted under the name must not hold the capture up.
    const int fd = OpenRetrying(m_fd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != device ||
        st.st_ino != inode) {
        ::close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

int CFolder::OpenForReading(const std::string &name) const
{
    return OpenRetrying(m_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

bool CFolder::RemoveFile(const std::string &name) const
{
    return ::unlinkat(m_fd, name.c_str(), 0) == 0;
}

bool CFolder::RenameFile(const std::string &from, const std::string &to) const
{
    return ::renameat(m_fd, from.c_str(), m_fd, to.c_str()) == 0;
}
