#include "CaptureControl.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

CCaptureControl::CCaptureControl() : m_nWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CCaptureControl::~CCaptureControl()
{
    if (m_nWakeFd >= 0)
        ::close(m_nWakeFd);
}

void CCaptureControl::Start()
{
    uint64_t count = 0;
    if (m_nWakeFd >= 0)
        (void)::read(m_nWakeFd, &count, sizeof count);
    m_bRunning = 1;
}

void CCaptureControl::Stop()
{
    m_bRunning = 0;
    Wake();
}

void CCaptureControl::StopFromSignal()
{
    m_bRunning = 0;
    Wake();
    // pcap_breakloop sets a flag and writes to an eventfd: both safe in a signal handler.
    if (pcap *handle = m_pHandle.load())
        pcap_breakloop(handle);
}

void CCaptureControl::Wake()
{
    // write() is async-signal-safe; an eventfd that is already readable stays so.
    const uint64_t one = 1;
    if (m_nWakeFd >= 0)
        (void)!::write(m_nWakeFd, &one, sizeof one);
}

void CCaptureControl::Attach(pcap *handle) { m_pHandle.store(handle); }

void CCaptureControl::Detach() { m_pHandle.store(nullptr); }
