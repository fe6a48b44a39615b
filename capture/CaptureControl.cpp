#include "CaptureControl.h"

#include <pcap/pcap.h>

void CCaptureControl::Stop()
{
    m_bRunning = 0;
    std::lock_guard lock(m_mutex);
    if (m_pHandle)
        pcap_breakloop(m_pHandle);
}

void CCaptureControl::Attach(pcap *handle)
{
    std::lock_guard lock(m_mutex);
    m_pHandle = handle;
}

void CCaptureControl::Detach()
{
    std::lock_guard lock(m_mutex);
    m_pHandle = nullptr;
}
