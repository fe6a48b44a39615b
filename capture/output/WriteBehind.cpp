#include "WriteBehind.h"

#include <algorithm>
#include <cstring>
#include <sys/uio.h>
#include <utility>

CWriteBehind::CWriteBehind(CDescriptorCache &descriptors, IOutputEvents &events, size_t runBytes,
                           size_t poolBytes)
    : m_descriptors(descriptors), m_events(events), m_nRunBytes(runBytes > 0 ? runBytes : 1),
      m_nPieceBytes((m_nRunBytes + kPiecesPerRun - 1) / kPiecesPerRun),
      m_nMaxPieces(std::max<size_t>(poolBytes / m_nPieceBytes, 1))
{
    // Reserved up front, so that taking a piece never reallocates these lists.
    m_pool.reserve(m_nMaxPieces);
    m_freePieces.reserve(m_nMaxPieces);
}

CWriteBehind::~CWriteBehind() { FlushAll(); }

CWriteBehind::Key CWriteBehind::Open(const CFolder &folder, const std::string &name)
{
    Key key;
    if (!m_freeKeys.empty()) {
        key = m_freeKeys.back();
        m_freeKeys.pop_back();
    } else {
        key = Key(m_entries.size());
        m_entries.push_back(std::make_unique<CEntry>(m_descriptors, m_events));
    }
    if (!m_entries[key]->file.Open(folder, name)) {
        m_freeKeys.push_back(key);
        return kNoFile;
    }
    return key;
}

void CWriteBehind::Write(Key key, uint64_t offset, const uint8_t *data, size_t n)
{
    CEntry &entry = *m_entries[key];
    if (entry.nRunLength > 0 && offset == entry.qwRunOffset + entry.nRunLength) {
        const size_t taken = Gather(key, data, std::min(n, m_nRunBytes - entry.nRunLength));
        if (taken == n && entry.nRunLength < m_nRunBytes)
            return;
        data += taken;
        n -= taken;
        offset += taken;
    }
    WriteRun(key);
    if (n == 0)
        return;
    if (n < m_nRunBytes) {
        entry.qwRunOffset = offset;
        const size_t taken = Gather(key, data, n);
        if (taken == n)
            return;
        // No piece for the rest: what was gathered goes first, the rest straight after it.
        data += taken;
        n -= taken;
        offset += taken;
        WriteRun(key);
    }
    WriteDirect(key, offset, data, n);
}

size_t CWriteBehind::Gather(Key key, const uint8_t *bytes, size_t n)
{
    CEntry &entry = *m_entries[key];
    size_t taken = 0;
    while (taken < n) {
        // Callers ask for no more than the run has room for, so a new piece is one of its
        // kPiecesPerRun.
        const size_t at = entry.nRunLength % m_nPieceBytes;
        if (at == 0) {
            uint8_t *piece = TakePiece(key);
            if (!piece)
                break;
            entry.pieces[entry.nRunLength / m_nPieceBytes] = piece;
        }
        const size_t k = std::min(n - taken, m_nPieceBytes - at);
        std::memcpy(entry.pieces[entry.nRunLength / m_nPieceBytes] + at, bytes + taken, k);
        entry.nRunLength += k;
        taken += k;
    }
    return taken;
}

uint8_t *CWriteBehind::TakePiece(Key key)
{
    if (m_freePieces.empty() && m_pool.size() < m_nMaxPieces) {
        m_pool.push_back(std::make_unique_for_overwrite<uint8_t[]>(m_nPieceBytes));
        m_freePieces.push_back(m_pool.back().get());
    }
    // The pool is spent: the oldest run but key's own is written, which frees its pieces.
    while (m_freePieces.empty()) {
        Key oldest = m_runs.Oldest();
        if (oldest == key)
            oldest = m_runs.Newer(key);
        if (oldest == CRecencyList::kNone)
            return nullptr;
        WriteRun(oldest);
    }
    // A run that starts becomes the newest.
    if (m_entries[key]->nRunLength == 0)
        m_runs.PushNewest(key);
    uint8_t *piece = m_freePieces.back();
    m_freePieces.pop_back();
    return piece;
}

void CWriteBehind::WriteRun(Key key)
{
    CEntry &entry = *m_entries[key];
    if (entry.nRunLength == 0)
        return;
    std::array<iovec, kPiecesPerRun> parts{};
    size_t count = 0;
    for (size_t done = 0; done < entry.nRunLength; done += m_nPieceBytes, ++count)
        parts[count] = {entry.pieces[count], std::min(m_nPieceBytes, entry.nRunLength - done)};
    const size_t written = entry.file.WriteAt(entry.qwRunOffset, std::span(parts.data(), count));
    if (written < entry.nRunLength)
        entry.failed.push_back({entry.qwRunOffset + written, entry.qwRunOffset + entry.nRunLength});
    ReleaseRun(key);
}

void CWriteBehind::WriteDirect(Key key, uint64_t offset, const uint8_t *data, size_t n)
{
    CEntry &entry = *m_entries[key];
    iovec part{const_cast<uint8_t *>(data), n};
    const size_t written = entry.file.WriteAt(offset, std::span(&part, 1));
    if (written < n)
        entry.failed.push_back({offset + written, offset + n});
}

void CWriteBehind::ReleaseRun(Key key)
{
    CEntry &entry = *m_entries[key];
    if (entry.nRunLength == 0)
        return;
    const size_t count = (entry.nRunLength + m_nPieceBytes - 1) / m_nPieceBytes;
    m_freePieces.insert(m_freePieces.end(), entry.pieces.begin(), entry.pieces.begin() + count);
    entry.nRunLength = 0;
    m_runs.Remove(key);
}

bool CWriteBehind::SetLength(Key key, uint64_t length)
{
    WriteRun(key);
    return m_entries[key]->file.SetLength(length);
}

std::vector<CByteRange> CWriteBehind::Close(Key key)
{
    WriteRun(key);
    CEntry &entry = *m_entries[key];
    entry.file.Close();
    std::vector<CByteRange> failed = std::exchange(entry.failed, {});
    m_freeKeys.push_back(key);
    return failed;
}

void CWriteBehind::Remove(Key key)
{
    ReleaseRun(key);
    CEntry &entry = *m_entries[key];
    entry.file.Remove();
    entry.failed.clear();
    m_freeKeys.push_back(key);
}

void CWriteBehind::FlushAll()
{
    while (m_runs.Oldest() != CRecencyList::kNone)
        WriteRun(m_runs.Oldest());
}

std::vector<CByteRange> CWriteBehind::TakeFailed(Key key)
{
    return std::exchange(m_entries[key]->failed, {});
}
