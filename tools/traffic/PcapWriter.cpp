#include "PcapWriter.h"

#include <cstdio>
#include <pcap/pcap.h>
#include <utility>

CPcapWriter::CPcapWriter(const std::string &path, int linkType, int snapLength)
    : m_pPcap(pcap_open_dead(linkType, snapLength))
{
    if (m_pPcap)
        m_pDumper = pcap_dump_open(m_pPcap, path.c_str());
}

CPcapWriter::CPcapWriter(int fd, int linkType)
    : m_pPcap(pcap_open_dead(linkType, 262144)), m_bFlushEach(true)
{
    FILE *file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (m_pPcap && file)
        m_pDumper = pcap_dump_fopen(m_pPcap, file);
}

void CPcapWriter::Write(std::span<const uint8_t> frame, long caplen)
{
    if (!m_pDumper)
        return;
    const bpf_u_int32 size = bpf_u_int32(frame.size());
    const pcap_pkthdr header{{m_dwTime++, 0}, caplen < 0 ? size : bpf_u_int32(caplen), size};
    pcap_dump(reinterpret_cast<u_char *>(m_pDumper), &header, frame.data());
    if (m_bFlushEach)
        pcap_dump_flush(m_pDumper);
}

void CPcapWriter::Close()
{
    if (m_pDumper)
        pcap_dump_close(std::exchange(m_pDumper, nullptr));
    if (m_pPcap)
        pcap_close(std::exchange(m_pPcap, nullptr));
}
