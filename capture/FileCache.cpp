#include "FileCache.h"

#include "File.h"

CFileCache::CFileCache(size_t capacity) : m_nCapacity(capacity > 0 ? capacity : 1) {}

CFileCache::~CFileCache()
{
    // Files outliving the cache keep their descriptors but no longer report to it.
    while (CFile *file = m_pOldest) {
        Unlink(*file);
        file->m_pCache = nullptr;
    }
}

bool CFileCache::TakeFirstEviction()
{
    if (!m_bEvicted || m_bEvictionReported)
        return false;
    m_bEvictionReported = true;
    return true;
}

void CFileCache::MakeRoom()
{
    while (m_nOpen >= m_nCapacity && EvictOne()) {
    }
}

bool CFileCache::EvictOne()
{
    if (!m_pOldest)
        return false;
    m_bEvicted = true;
    m_pOldest->CloseDescriptor(); // calls Forget
    return true;
}

void CFileCache::Touch(CFile &file)
{
    if (m_pNewest == &file)
        return;
    if (file.m_pOlder || file.m_pNewer || m_pOldest == &file)
        Unlink(file);
    else
        ++m_nOpen;
    file.m_pOlder = m_pNewest;
    file.m_pNewer = nullptr;
    if (m_pNewest)
        m_pNewest->m_pNewer = &file;
    m_pNewest = &file;
    if (!m_pOldest)
        m_pOldest = &file;
}

void CFileCache::Forget(CFile &file)
{
    if (!file.m_pOlder && !file.m_pNewer && m_pOldest != &file)
        return;
    Unlink(file);
    --m_nOpen;
}

void CFileCache::Unlink(CFile &file)
{
    if (file.m_pOlder)
        file.m_pOlder->m_pNewer = file.m_pNewer;
    else
        m_pOldest = file.m_pNewer;
    if (file.m_pNewer)
        file.m_pNewer->m_pOlder = file.m_pOlder;
    else
        m_pNewest = file.m_pOlder;
    file.m_pOlder = file.m_pNewer = nullptr;
}
