#include "File.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool CFile::Open(const std::string &path)
{
    Close();
    do {
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    return m_fd >= 0;
}

void CFile::Close()
{
    if (m_fd < 0)
        return;
    // close() releases the descriptor even when it reports EINTR; never retry it.
    ::close(m_fd);
    m_fd = -1;
}

int64_t CFile::GetLength() const
{
    struct stat st
    {
    };
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return -1;
    return int64_t(st.st_size);
}

bool CFile::SetLength(uint64_t length)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    int rc;
    do {
        rc = ::ftruncate(m_fd, off_t(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool CFile::WriteAt(uint64_t offset, const void *data, size_t n)
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t done = ::pwrite(m_fd, p, n, off_t(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            return false;
        }
        p += done;
        n -= size_t(done);
        offset += uint64_t(done);
    }
    return true;
}

bool CFile::Remove(const std::string &path) { return ::unlink(path.c_str()) == 0; }
