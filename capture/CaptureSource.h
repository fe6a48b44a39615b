#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <pcap/pcap.h>

// Where a capture's packets come from: an interface opened live, or a capture file, read in
// bounded batches. Owns the libpcap handle.
class CCaptureSource
{
public:
    static constexpr int kSnapLength = 262144;
    // How long a captured frame may wait in the kernel's ring before it is handed over. A stop
    // never waits for it: the capture waits on its own (Wait).
    static constexpr int kDeliveryMs = 50;
    // The kernel buffer of a live capture unless asked otherwise: larger than the library's
    // 2 MB default, it rides out bursts (loopback moves 64 KB frames at memory speed) while
    // stream files are being written.
    static constexpr int kBufferSize = 32 * 1024 * 1024;
    static constexpr size_t kFileBuffer = 1024 * 1024;

    // Opens the interface named device for live capture (promiscuous), keeping at most
    // snapLength bytes of a frame, with a kernel buffer of bufferBytes. Only here does the
    // capture need privilege: CAP_NET_RAW is raised for the call when the program's file was
    // given it. False with error holding the library's text.
    bool OpenLive(const std::string &device, int snapLength, int bufferBytes, std::string &error);
    // Opens a capture file (pcap or pcapng; "-" reads standard input).
    bool OpenFile(const std::string &path, std::string &error);
    void Close() { m_pcap.reset(); }

    pcap_t *GetHandle() const { return m_pcap.get(); }
    bool IsOffline() const { return m_bOffline; }
    int GetLinkType() const { return pcap_datalink(m_pcap.get()); }

    // Compiles expression (optimised, with the interface's IPv4 netmask) and installs it.
    // False with libpcap's reason.
    bool SetFilter(const std::string &expression, std::string &error);
    // How a wait for packets ended.
    enum class WaitResult {
        Ready,    // packets may be read: call Dispatch
        Stopped,  // wakeFd became readable
        TimedOut, // nothing happened within the time given
    };
    // For a live capture: waits at most maxMs (less where the handle asks for it) until packets
    // can be read or wakeFd becomes readable. A handle that cannot be waited on reads after
    // every wait.
    WaitResult Wait(int wakeFd, int maxMs) const;
    // Reads up to count packets and hands each to handler. Returns how many were read; 0 when
    // the read time-out passed without a packet or a file has ended; PCAP_ERROR_BREAK when a
    // stop woke the read; another negative value when the read failed (GetError says why).
    int Dispatch(int count, pcap_handler handler, u_char *user);
    std::string GetError() const { return pcap_geterr(m_pcap.get()); }
    // Packets dropped while the capture was open (live captures), where the platform counts
    // them: by the kernel for want of buffer room, and by the interface itself.
    struct CDrops
    {
        int64_t nKernel = 0;
        int64_t nInterface = 0;
    };
    // False for a capture file and where the platform does not tell.
    bool GetDrops(CDrops &drops) const;
    // The most bytes of a frame that are captured.
    int GetSnapLength() const { return pcap_snapshot(m_pcap.get()); }
    // How far a capture file has been read, in bytes; -1 when unknown or live.
    int64_t GetFilePosition() const;

private:
    struct CPcapCloser
    {
        void operator()(pcap_t *p) const { pcap_close(p); }
    };

    std::unique_ptr<char[]> m_pFileBuffer; // the capture file's stream buffer, outlives m_pcap
    std::unique_ptr<pcap_t, CPcapCloser> m_pcap;
    bool m_bOffline = false;
    bool m_bReadAfterEveryWait = false; // non-blocking: its descriptor does not tell of packets
    uint32_t m_dwNetmask = PCAP_NETMASK_UNKNOWN;
};
