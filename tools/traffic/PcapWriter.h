#pragma once
#include <cstdint>
#include <span>
#include <string>

struct pcap;
struct pcap_dumper;

// Writes a capture file with libpcap's own dump functions.
class CPcapWriter
{
public:
    CPcapWriter(const std::string &path, int linkType, int snapLength = 262144);
    // The same into the descriptor fd (a pipe), which it takes over, every record flushed at
    // once so that its reader gets it.
    CPcapWriter(int fd, int linkType);
    ~CPcapWriter() { Close(); }
    CPcapWriter(const CPcapWriter &) = delete;
    CPcapWriter &operator=(const CPcapWriter &) = delete;

    bool IsOpen() const { return m_pDumper != nullptr; }

    // One record: caplen bytes of frame (all of it when caplen < 0), its original length the
    // frame's size, time stamps one second apart.
    void Write(std::span<const uint8_t> frame, long caplen = -1);

    // Flushes and closes the file; the destructor does it too.
    void Close();

private:
    pcap *m_pPcap = nullptr;
    pcap_dumper *m_pDumper = nullptr;
    uint32_t m_dwTime = 1700000000;
    bool m_bFlushEach = false;
};
