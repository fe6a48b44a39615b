#include "File.h"

#include "Folder.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

bool CFile::Open(const CFolder &folder, const std::string &name)
{
    Close();
    m_pFolder = &folder;
    m_strName = name;
    m_bFailed = false;
    if (!m_pDescriptors) {
        m_fd = folder.CreateFile(name);
        if (m_fd < 0)
            return Failed(FileFailure::Create);
        m_bOpen = true;
        return true;
    }
    const int fd = m_pDescriptors->OpenWithRoom([&] { return folder.CreateFile(name); });
    if (fd < 0)
        return Failed(FileFailure::Create);
    // A reopen must find this very file under the name.
    struct stat st
    {
    };
    if (::fstat(fd, &st) == 0) {
        m_device = st.st_dev;
        m_inode = st.st_ino;
    }
    m_nSlot = m_pDescriptors->Add(fd);
    m_bOpen = true;
    return true;
}

void CFile::Close()
{
    if (!std::exchange(m_bOpen, false))
        return;
    if (m_pDescriptors) {
        m_pDescriptors->Release(m_nSlot);
        return;
    }
    // close() releases the descriptor even when it reports EINTR; never retry it.
    ::close(std::exchange(m_fd, -1));
}

bool CFile::Remove()
{
    const bool wasOpen = m_bOpen;
    Close();
    return wasOpen && m_pFolder->RemoveFile(m_strName);
}

std::string CFile::GetPath() const
{
    return m_pFolder ? m_pFolder->GetPath() + m_strName : m_strName;
}

int CFile::Descriptor()
{
    if (!m_bOpen) {
        errno = EBADF;
        return -1;
    }
    if (!m_pDescriptors)
        return m_fd;
    int fd = m_pDescriptors->Acquire(m_nSlot);
    if (fd >= 0)
        return fd;
    // The cache gave the descriptor up: reopen the file, if the folder still holds it.
    fd = m_pDescriptors->OpenWithRoom(
        [&] { return m_pFolder->ReopenFile(m_strName, m_device, m_inode); });
    if (fd >= 0)
        m_pDescriptors->Restore(m_nSlot, fd);
    return fd;
}

bool CFile::SetLength(uint64_t length)
{
    const int fd = Descriptor();
    int rc = -1;
    if (fd >= 0) {
        do {
            rc = ::ftruncate(fd, off_t(length));
        } while (rc != 0 && errno == EINTR);
    }
    return rc == 0 || Failed(FileFailure::Write);
}

bool CFile::WriteAt(uint64_t offset, const void *data, size_t n)
{
    iovec part{const_cast<void *>(data), n};
    return WriteAt(offset, std::span(&part, 1)) == n;
}

size_t CFile::WriteAt(uint64_t offset, std::span<iovec> parts)
{
    const int fd = Descriptor();
    size_t written = 0;
    for (;;) {
        while (!parts.empty() && parts.front().iov_len == 0)
            parts = parts.subspan(1);
        if (fd < 0 || parts.empty())
            break;
        const ssize_t done = ::pwritev(fd, parts.data(), int(parts.size()), off_t(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            break;
        }
        // A short write is continued where it stopped.
        written += size_t(done);
        offset += uint64_t(done);
        for (size_t skip = size_t(done); skip > 0;) {
            if (skip < parts.front().iov_len) {
                parts.front().iov_base = static_cast<uint8_t *>(parts.front().iov_base) + skip;
                parts.front().iov_len -= skip;
                break;
            }
            skip -= parts.front().iov_len;
            parts = parts.subspan(1);
        }
    }
    if (!parts.empty())
        Failed(FileFailure::Write);
    return written;
}

bool CFile::Failed(FileFailure kind)
{
    const int error = errno;
    if (!std::exchange(m_bFailed, true) && m_pEvents)
        m_pEvents->OnFileFailure(kind, GetPath(), error);
    errno = error;
    return false;
}
