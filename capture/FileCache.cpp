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

CFileCache::CFileCache(size_t descriptors, ICaptureEvents *events, size_t runBytes,
                       size_t runBudget)
    : m_nDescriptors(descriptors > 0 ? descriptors : 1), m_pEvents(events),
      m_nRunBytes(runBytes > 0 ? runBytes : 1),
      m_nMaxRuns(runBudget / m_nRunBytes > 0 ? runBudget / m_nRunBytes : 1)
{
    // Reserved up front, so that taking a buffer never reallocates these lists.
    m_pool.reserve(m_nMaxRuns);
    m_freeRuns.reserve(m_nMaxRuns);
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

uint8_t *CFileCache::TakeRun(CFile &file)
{
    if (m_freeRuns.empty() && m_pool.size() < m_nMaxRuns) {
        if (uint8_t *made = new (std::nothrow) uint8_t[m_nRunBytes]) {
            m_pool.emplace_back(made);
            m_freeRuns.push_back(made);
        }
    }
    // The pool is spent: the oldest run is written, which frees its buffer.
    if (m_freeRuns.empty() && m_runs.Oldest())
        m_runs.Oldest()->Flush();
    if (m_freeRuns.empty())
        return nullptr;
    uint8_t *run = m_freeRuns.back();
    m_freeRuns.pop_back();
    m_runs.Append(file);
    return run;
}

void CFileCache::ReturnRun(CFile &file)
{
    m_runs.Unlink(file);
    m_freeRuns.push_back(file.m_pRun);
}

void CFileCache::Report(FileFailure kind, const CFile &file, int error)
{
    if (m_pEvents)
        m_pEvents->OnFileFailure(kind, file.GetPath(), error);
}
