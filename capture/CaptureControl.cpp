#include "CaptureControl.h"

#include <pcap/pcap.h>

void CCaptureControl::Stop()
{
    m_bRunning = 0;
    std::lock_guard lock(m_mutex);
    if (pcap *handle = m_pHandle.load())
        pcap_breakloop(handle);
}

void CCaptureControl::StopFromSignal()
{
    m_bRunning = 0;
    // pcap_breakloop sets a flag and writes to an eventfd: both safe in a signal handler.
    if (pcap *handle = m_pHandle.load())
        pcap_breakloop(handle);
}

void CCaptureControl::Attach(pcap *handle)
{
    std::lock_guard lock(m_mutex);
    m_pHandle.store(handle);
}

void CCaptureControl::Detach()
{
    std::lock_guard lock(m_mutex);
    m_pHandle.store(nullptr);
}
