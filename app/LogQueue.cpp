#include "LogQueue.h"

#include <utility>

bool CLogQueue::Push(const std::string &text)
{
    std::lock_guard lock(m_mutex);
    if (m_nViewBytes > kLimit) {
        // This append empties the view: nothing before it will ever be seen.
        m_strText.clear();
        m_strText.shrink_to_fit();
        m_bClear = true;
        m_nViewBytes = 0;
    }
    m_strText += text;
    m_nViewBytes += text.size();
    return !std::exchange(m_bWaiting, true);
}

CLogQueue::CBatch CLogQueue::Take()
{
    std::lock_guard lock(m_mutex);
    CBatch batch{std::exchange(m_bClear, false), std::exchange(m_strText, {})};
    m_bWaiting = false;
    return batch;
}

void CLogQueue::ViewChanged(size_t viewBytes)
{
    std::lock_guard lock(m_mutex);
    // A pending clear erases the view whatever it holds now.
    if (!m_bClear)
        m_nViewBytes = viewBytes + m_strText.size();
}
