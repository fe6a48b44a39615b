#include "File.h"

#include "FileCache.h"
#include "Folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

bool CFile::Open(const CFolder &folder, const std::string &name)
{
    Close();
    m_pFolder = &folder;
    m_strName = name;
    m_bFailed = false;
    if (m_pCache)
        m_pCache->MakeRoom();
    for (;;) {
        m_fd = folder.CreateFile(name);
        if (m_fd >= 0)
            break;
        // Out of descriptors after all (the program holds others the cache does not know):
        // give one more up and try again.
        if ((errno == EMFILE || errno == ENFILE) && m_pCache && m_pCache->EvictOne())
            continue;
        return Failed(FileFailure::Create);
    }
    m_bOpen = true;
    if (m_pCache)
        m_pCache->Touch(*this);
    return true;
}

bool CFile::Close()
{
    const bool written = CloseDescriptor();
    m_bOpen = false;
    return written;
}

bool CFile::Remove()
{
    ReleaseRun();
    CloseDescriptor();
    const bool wasOpen = std::exchange(m_bOpen, false);
    return wasOpen && m_pFolder->RemoveFile(m_strName);
}

std::string CFile::GetPath() const
{
    return m_pFolder ? m_pFolder->GetPath() + m_strName : m_strName;
}

bool CFile::Ready()
{
    if (!m_bOpen) {
        errno = EBADF;
        return false;
    }
    if (m_fd < 0) {
        // The cache took the descriptor: reopen the file, if the folder still holds it.
        m_pCache->MakeRoom();
        for (;;) {
            m_fd = m_pFolder->ReopenFile(m_strName, m_device, m_inode);
            if (m_fd >= 0)
                break;
            if ((errno == EMFILE || errno == ENFILE) && m_pCache->EvictOne())
                continue;
            return false;
        }
    }
    if (m_pCache)
        m_pCache->Touch(*this);
    return true;
}

void CFile::GiveUpDescriptor()
{
    // The descriptor still names the file that was created: its identity is what a reopen
    // must find under the name.
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) == 0) {
        m_device = st.st_dev;
        m_inode = st.st_ino;
    }
    CloseDescriptor();
}

bool CFile::CloseDescriptor()
{
    const bool written = Flush();
    if (m_fd >= 0) {
        // close() releases the descriptor even when it reports EINTR; never retry it.
        ::close(m_fd);
        m_fd = -1;
        if (m_pCache)
            m_pCache->Forget(*this);
    }
    return written;
}

bool CFile::SetLength(uint64_t length)
{
    Flush();
    if (!Ready())
        return Failed(FileFailure::Write);
    int rc;
    do {
        rc = ::ftruncate(m_fd, off_t(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || Failed(FileFailure::Write);
}

bool CFile::WriteAt(uint64_t offset, const void *data, size_t n)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    if (!m_pCache || !m_bOpen)
        return WriteNow(offset, bytes, n) || Failed(FileFailure::Write);
    const size_t runBytes = m_pCache->GetRunBytes();
    if (m_nRunLength > 0 && offset == m_qwRunOffset + m_nRunLength) {
        const size_t taken = Gather(bytes, std::min(n, runBytes - m_nRunLength));
        if (taken == n && m_nRunLength < runBytes)
            return true;
        bytes += taken;
        n -= taken;
        offset += taken;
    }
    // A failure of the pending run is told by Flush and concerns bytes taken earlier.
    Flush();
    if (n == 0)
        return true;
    if (n < runBytes) {
        m_qwRunOffset = offset;
        const size_t taken = Gather(bytes, n);
        if (taken == n)
            return true;
        // No piece for the rest: what was gathered goes first, the rest straight after it.
        bytes += taken;
        n -= taken;
        offset += taken;
        Flush();
    }
    return WriteNow(offset, bytes, n) || Failed(FileFailure::Write);
}

size_t CFile::Gather(const uint8_t *bytes, size_t n)
{
    const size_t piece = m_pCache->GetPieceBytes();
    size_t taken = 0;
    while (taken < n) {
        // Callers ask for no more than the run has room for, so a new piece is one of its
        // kPiecesPerRun.
        const size_t at = m_nRunLength % piece;
        if (at == 0) {
            const uint64_t end = m_qwRunOffset + m_nRunLength;
            uint8_t *next = m_pCache->TakePiece(*this);
            if (!next)
                break;
            // Making room gave this file's descriptor up and so wrote its run: a new one
            // starts where that one ended.
            if (m_nRunLength == 0)
                m_qwRunOffset = end;
            m_pieces[m_nRunLength / piece] = next;
        }
        const size_t k = std::min(n - taken, piece - at);
        std::memcpy(m_pieces[m_nRunLength / piece] + at, bytes + taken, k);
        m_nRunLength += k;
        taken += k;
    }
    return taken;
}

bool CFile::Flush()
{
    if (m_nRunLength == 0)
        return true;
    const bool written = WriteRun();
    ReleaseRun();
    return written || Failed(FileFailure::Write);
}

bool CFile::WriteRun()
{
    if (!Ready())
        return false;
    const size_t piece = m_pCache->GetPieceBytes();
    const size_t count = m_pCache->PiecesOf(*this);
    std::array<iovec, kPiecesPerRun> parts{};
    for (size_t i = 0; i < count; ++i)
        parts[i] = {m_pieces[i], std::min(piece, m_nRunLength - i * piece)};
    ssize_t done;
    do {
        done = ::pwritev(m_fd, parts.data(), int(count), off_t(m_qwRunOffset));
    } while (done < 0 && errno == EINTR);
    if (done < 0)
        return false;
    // A short write is continued piece by piece.
    size_t skip = size_t(done);
    for (size_t i = 0; i < count; ++i) {
        const size_t length = parts[i].iov_len;
        if (skip >= length) {
            skip -= length;
            continue;
        }
        if (!WriteNow(m_qwRunOffset + i * piece + skip, m_pieces[i] + skip, length - skip))
            return false;
        skip = 0;
    }
    return true;
}

void CFile::ReleaseRun()
{
    if (m_nRunLength == 0)
        return;
    m_pCache->ReturnPieces(*this);
    m_nRunLength = 0;
}

bool CFile::WriteNow(uint64_t offset, const uint8_t *data, size_t n)
{
    if (!Ready())
        return false;
    while (n > 0) {
        const ssize_t done = ::pwrite(m_fd, data, n, off_t(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            return false;
        }
        data += done;
        n -= size_t(done);
        offset += uint64_t(done);
    }
    return true;
}

bool CFile::Failed(FileFailure kind)
{
    const int error = errno;
    if (!std::exchange(m_bFailed, true) && m_pCache)
        m_pCache->Report(kind, *this, error);
    errno = error;
    return false;
}
