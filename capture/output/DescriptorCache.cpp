#include "DescriptorCache.h"

#include <unistd.h>
#include <utility>

CDescriptorCache::CDescriptorCache(size_t limit, IOutputEvents *events)
    : m_nLimit(limit > 0 ? limit : 1), m_pEvents(events)
{
}

CDescriptorCache::~CDescriptorCache()
{
    // Closing is not a shortage: nothing is told, and the events may be gone already.
    for (CEntry &entry : m_entries) {
        if (entry.fd >= 0)
            ::close(entry.fd);
    }
}

CDescriptorCache::Slot CDescriptorCache::Add(int fd)
{
    Slot slot;
    if (!m_free.empty()) {
        slot = m_free.back();
        m_free.pop_back();
    } else {
        slot = Slot(m_entries.size());
        m_entries.emplace_back();
    }
    Restore(slot, fd);
    return slot;
}

int CDescriptorCache::Acquire(Slot slot)
{
    const int fd = m_entries[slot].fd;
    if (fd >= 0 && slot != m_newest) {
        Unlink(slot);
        Link(slot);
    }
    return fd;
}

void CDescriptorCache::Restore(Slot slot, int fd)
{
    m_entries[slot].fd = fd;
    Link(slot);
    ++m_nHeld;
}

void CDescriptorCache::Release(Slot slot)
{
    CEntry &entry = m_entries[slot];
    if (entry.fd >= 0) {
        Unlink(slot);
        --m_nHeld;
        // close() releases the descriptor even when it reports EINTR; never retry it.
        ::close(std::exchange(entry.fd, -1));
    }
    m_free.push_back(slot);
}

void CDescriptorCache::MakeRoom()
{
    while (m_nHeld >= m_nLimit && GiveUpOldest()) {
    }
}

bool CDescriptorCache::GiveUpOldest()
{
    const Slot slot = m_oldest;
    if (slot == kNone)
        return false;
    if (!std::exchange(m_bShortTold, true) && m_pEvents)
        m_pEvents->OnDescriptorsShort();
    Unlink(slot);
    --m_nHeld;
    ::close(std::exchange(m_entries[slot].fd, -1));
    return true;
}

void CDescriptorCache::Link(Slot slot)
{
    CEntry &entry = m_entries[slot];
    entry.older = m_newest;
    entry.newer = kNone;
    if (m_newest != kNone)
        m_entries[m_newest].newer = slot;
    m_newest = slot;
    if (m_oldest == kNone)
        m_oldest = slot;
}

void CDescriptorCache::Unlink(Slot slot)
{
    CEntry &entry = m_entries[slot];
    if (entry.older != kNone)
        m_entries[entry.older].newer = entry.newer;
    else
        m_oldest = entry.newer;
    if (entry.newer != kNone)
        m_entries[entry.newer].older = entry.older;
    else
        m_newest = entry.older;
    entry.older = entry.newer = kNone;
}
