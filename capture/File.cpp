#include "File.h"

#include "FileCache.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool CFile::Open(const std::string &path)
{
    Close();
    m_strPath = path;
    m_bOpen = OpenDescriptor(O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC);
    return m_bOpen;
}

bool CFile::OpenDescriptor(int flags)
{
    if (m_pCache)
        m_pCache->MakeRoom();
    for (;;) {
        m_fd = ::open(m_strPath.c_str(), flags, 0666);
        if (m_fd >= 0)
            break;
        if (errno == EINTR)
            continue;
        // Out of descriptors after all (the program holds others the cache does not know):
        // give one more up and try again.
        if ((errno == EMFILE || errno == ENFILE) && m_pCache && m_pCache->EvictOne())
            continue;
        return false;
    }
    if (m_pCache)
        m_pCache->Touch(*this);
    return true;
}

bool CFile::Ready()
{
    if (!m_bOpen) {
        errno = EBADF;
        return false;
    }
    if (m_fd >= 0) {
        if (m_pCache)
            m_pCache->Touch(*this);
        return true;
    }
    // The cache took the descriptor: reopen the file as it stands.
    return OpenDescriptor(O_RDWR | O_CLOEXEC);
}

void CFile::CloseDescriptor()
{
    if (m_fd < 0)
        return;
    // close() releases the descriptor even when it reports EINTR; never retry it.
    ::close(m_fd);
    m_fd = -1;
    if (m_pCache)
        m_pCache->Forget(*this);
}

void CFile::Close()
{
    CloseDescriptor();
    m_bOpen = false;
}

int64_t CFile::GetLength()
{
    struct stat st
    {
    };
    if (!Ready() || ::fstat(m_fd, &st) != 0)
        return -1;
    return int64_t(st.st_size);
}

bool CFile::SetLength(uint64_t length)
{
    if (!Ready())
        return false;
    int rc;
    do {
        rc = ::ftruncate(m_fd, off_t(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool CFile::WriteAt(uint64_t offset, const void *data, size_t n)
{
    if (!Ready())
        return false;
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
