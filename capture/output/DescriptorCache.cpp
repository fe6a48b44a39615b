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
    for (int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

CDescriptorCache::Slot CDescriptorCache::Add(int fd)
{
    Slot slot;
    if (!m_free.empty()) {
        slot = m_free.back();
        m_free.pop_back();
    } else {
        slot = Slot(m_fds.size());
        m_fds.push_back(-1);
    }
    Restore(slot, fd);
    return slot;
}

int CDescriptorCache::Acquire(Slot slot)
{
    const int fd = m_fds[slot];
    if (fd >= 0 && slot != m_held.Newest()) {
        m_held.Remove(slot);
        m_held.PushNewest(slot);
    }
    return fd;
}

void CDescriptorCache::Restore(Slot slot, int fd)
{
    m_fds[slot] = fd;
    m_held.PushNewest(slot);
}

void CDescriptorCache::Release(Slot slot)
{
    if (m_fds[slot] >= 0) {
        m_held.Remove(slot);
        // close() releases the descriptor even when it reports EINTR; never retry it.
        ::close(std::exchange(m_fds[slot], -1));
    }
    m_free.push_back(slot);
}

void CDescriptorCache::MakeRoom()
{
    while (m_held.Size() >= m_nLimit && GiveUpOldest()) {
    }
}

bool CDescriptorCache::GiveUpOldest()
{
    const Slot slot = m_held.Oldest();
    if (slot == CRecencyList::kNone)
        return false;
    if (!std::exchange(m_bShortTold, true) && m_pEvents)
        m_pEvents->OnDescriptorsShort();
    m_held.Remove(slot);
    ::close(std::exchange(m_fds[slot], -1));
    return true;
}
