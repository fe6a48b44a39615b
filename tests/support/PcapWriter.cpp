#include "PcapWriter.h"

#include <pcap/pcap.h>

CPcapWriter::CPcapWriter(const std::string &path, int linkType, int snapLength)
{
    m_pPcap = pcap_open_dead(linkType, snapLength);
    if (m_pPcap)
        m_pDumper = pcap_dump_open(m_pPcap, path.c_str());
}

CPcapWriter::~CPcapWriter() { Close(); }

void CPcapWriter::Write(std::span<const uint8_t> frame, long caplen, long origLength)
{
    if (!m_pDumper)
        return;
    pcap_pkthdr header{};
    header.ts.tv_sec = m_dwTime;
    header.ts.tv_usec = 0;
    ++m_dwTime;
    header.caplen = bpf_u_int32(caplen < 0 ? long(frame.size()) : caplen);
    header.len = bpf_u_int32(origLength < 0 ? long(frame.size()) : origLength);
    pcap_dump(reinterpret_cast<u_char *>(m_pDumper), &header, frame.data());
}

void CPcapWriter::Close()
{
    if (m_pDumper)
        pcap_dump_close(m_pDumper);
    if (m_pPcap)
        pcap_close(m_pPcap);
    m_pDumper = nullptr;
    m_pPcap = nullptr;
}
