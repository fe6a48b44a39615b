#include "RecencyList.h"

void CRecencyList::PushNewest(uint32_t index)
{
    if (index >= m_links.size())
        m_links.resize(size_t(index) + 1);
    m_links[index] = {m_newest, kNone};
    if (m_newest != kNone)
        m_links[m_newest].newer = index;
    m_newest = index;
    if (m_oldest == kNone)
        m_oldest = index;
    ++m_nSize;
}

void CRecencyList::Remove(uint32_t index)
{
    CLinks &links = m_links[index];
    if (links.older != kNone)
        m_links[links.older].newer = links.newer;
    else
        m_oldest = links.newer;
    if (links.newer != kNone)
        m_links[links.newer].older = links.older;
    else
        m_newest = links.older;
    links = {};
    --m_nSize;
}
