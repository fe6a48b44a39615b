#include "FileCache.h"

#include <new>
#include <utility>

void CFileCache::CList::Append(CFile &file)
{
    CFile::CLink &link = file.*m_link;
    link.pOlder = m_pNewest;
    link.pNewer = nullptr;
    link.bLinked = true;
    if (m_pNewest)
        (m_pNewest->*m_link).pNewer = &file;
    m_pNewest = &file;
    if (!m_pOldest)
        m_pOldest = &file;
    ++m_nCount;
}

void CFileCache::CList::Unlink(CFile &file)
{
    CFile::CLink &link = file.*m_link;
    if (!link.bLinked)
        return;
    if (link.pOlder)
        (link.pOlder->*m_link).pNewer = link.pNewer;
    else
        m_pOldest = link.pNewer;
    if (link.pNewer)
        (link.pNewer->*m_link).pOlder = link.pOlder;
    else
        m_pNewest = link.pOlder;
    link = {};
    --m_nCount;
}

CFileCache::CFileCache(size_t descriptors, IOutputEvents *events, size_t runBytes, size_t runBudget)
    : m_nDescriptors(descriptors > 0 ? descriptors : 1), m_pEvents(events),
      m_nRunBytes(runBytes > 0 ? runBytes : 1),
      m_nPieceBytes((m_nRunBytes + CFile::kPiecesPerRun - 1) / CFile::kPiecesPerRun),
      m_nMaxPieces(runBudget / m_nPieceBytes > 0 ? runBudget / m_nPieceBytes : 1)
{
    // Reserved up front, so that taking a piece never reallocates these lists.
    m_pool.reserve(m_nMaxPieces);
    m_freePieces.reserve(m_nMaxPieces);
}

CFileCache::~CFileCache()
{
    FlushAll();
    // Files outliving the cache keep their descriptors but no longer report to it.
    while (CFile *file = m_descriptors.Oldest()) {
        m_descriptors.Unlink(*file);
        file->m_pCache = nullptr;
    }
}

void CFileCache::FlushAll()
{
    while (CFile *oldest = m_runs.Oldest())
        oldest->Flush();
}

void CFileCache::MakeRoom()
{
    while (m_descriptors.Count() >= m_nDescriptors && EvictOne()) {
    }
}

bool CFileCache::EvictOne()
{
    CFile *oldest = m_descriptors.Oldest();
    if (!oldest)
        return false;
    if (!std::exchange(m_bShortTold, true) && m_pEvents)
        m_pEvents->OnDescriptorsShort();
    oldest->GiveUpDescriptor(); // writes its run, then calls Forget
    return true;
}

void CFileCache::Touch(CFile &file)
{
    m_descriptors.Unlink(file);
    m_descriptors.Append(file);
}

void CFileCache::Forget(CFile &file) { m_descriptors.Unlink(file); }

uint8_t *CFileCache::TakePiece(CFile &file)
{
    if (m_freePieces.empty() && m_pool.size() < m_nMaxPieces) {
        if (uint8_t *made = new (std::nothrow) uint8_t[m_nPieceBytes]) {
            m_pool.emplace_back(made);
            m_freePieces.push_back(made);
        }
    }
    // The pool is spent: the oldest run but file's own is written, which frees its pieces.
    while (m_freePieces.empty()) {
        CFile *oldest = m_runs.Oldest();
        if (oldest == &file)
            oldest = file.m_runLink.pNewer;
        if (!oldest)
            return nullptr;
        oldest->Flush();
    }
    uint8_t *piece = m_freePieces.back();
    m_freePieces.pop_back();
    if (!m_runs.Holds(file))
        m_runs.Append(file);
    return piece;
}

size_t CFileCache::PiecesOf(const CFile &file) const
{
    return (file.m_nRunLength + m_nPieceBytes - 1) / m_nPieceBytes;
}

void CFileCache::ReturnPieces(CFile &file)
{
    m_runs.Unlink(file);
    for (size_t i = 0, count = PiecesOf(file); i < count; ++i)
        m_freePieces.push_back(file.m_pieces[i]);
}

void CFileCache::Report(FileFailure kind, const CFile &file, int error)
{
    if (m_pEvents)
        m_pEvents->OnFileFailure(kind, file.GetPath(), error);
}
