#include "CaptureSource.h"

#include "Privileges.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// The first IPv4 netmask among the addresses of the interface that libpcap lists as name.
// Entries of other families (IPv6, link-layer) have no IPv4 field to read. An interface that is
// not listed, or has no IPv4 address, has the netmask of no address.
uint32_t NetmaskOf(const std::string &name)
{
    pcap_if_t *devices = nullptr;
    char error[PCAP_ERRBUF_SIZE] = "";
    if (pcap_findalldevs(&devices, error) != 0)
        return 0xFFFFFFFF;
    uint32_t netmask = 0xFFFFFFFF;
    for (const pcap_if_t *device = devices; device; device = device->next) {
        if (name != device->name)
            continue;
        for (const pcap_addr_t *a = device->addresses; a; a = a->next) {
            if (!a->addr || a->addr->sa_family != AF_INET)
                continue;
            if (a->netmask && a->netmask->sa_family == AF_INET)
                netmask = reinterpret_cast<const sockaddr_in *>(a->netmask)->sin_addr.s_addr;
            break;
        }
        break;
    }
    pcap_freealldevs(devices);
    return netmask;
}

} // namespace

bool CCaptureSource::OpenLive(const std::string &device, int snapLength, int bufferBytes,
                              std::string &error)
{
    char text[PCAP_ERRBUF_SIZE] = "";
    m_pcap.reset(pcap_create(device.c_str(), text));
    if (!m_pcap) {
        error = text;
        return false;
    }
    m_bOffline = false;
    // The kernel packs frames into the ring's blocks and hands a block over when it is full or
    // kDeliveryMs after its first frame: the ring holds as many frames as its bytes allow (an
    // immediate-mode ring gives every frame a slot of the largest frame's size, 64 KiB where
    // the link merges segments), and the log still follows the traffic closely.
    pcap_set_snaplen(m_pcap.get(), snapLength);
    pcap_set_promisc(m_pcap.get(), 1);
    pcap_set_timeout(m_pcap.get(), kDeliveryMs);
    pcap_set_immediate_mode(m_pcap.get(), 0);
    pcap_set_buffer_size(m_pcap.get(), bufferBytes);
    int rc;
    {
        const CRawCaptureCapability capability;
        rc = pcap_activate(m_pcap.get());
    }
    if (rc < 0) {
        // The library names the device in some of its reasons only.
        error = rc == PCAP_ERROR ? pcap_geterr(m_pcap.get()) : pcap_statustostr(rc);
        if (!error.starts_with(device + ": "))
            error = device + ": " + error;
        m_pcap.reset();
        return false;
    }
    // Programs started while the capture runs must not inherit its packet socket.
    const int fd = pcap_get_selectable_fd(m_pcap.get());
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    // The capture never blocks in the library, so that a stop never waits on it: it waits in
    // Wait() and reads only then. A handle whose descriptor poll() cannot watch (or not alone)
    // is read without blocking after every wait. A packet socket is read without blocking
    // too: a blocking read waits on until it can hand over a packet, and the ones it drops
    // itself (loopback's outgoing copies) wake poll() all the same. Other handles (nflog) are
    // read only when their descriptor is readable, blocking: their library fails an empty read
    // that does not block.
    m_bReadAfterEveryWait = fd < 0 || pcap_get_required_select_timeout(m_pcap.get()) != nullptr;
    int domain = 0;
    socklen_t size = sizeof domain;
    const bool packetSocket = fd >= 0 &&
                              ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
                              domain == AF_PACKET;
    if (m_bReadAfterEveryWait || packetSocket)
        pcap_setnonblock(m_pcap.get(), 1, text);
    m_dwNetmask = NetmaskOf(device);
    return true;
}

bool CCaptureSource::OpenFile(const std::string &path, std::string &error)
{
    FILE *file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // The library reads a record at a time through this stream: a buffer larger than stdio's
    // 4 KiB saves most of the read calls of a replay.
    // (glibc takes the size only with a buffer of the caller's.)
    m_pFileBuffer = std::make_unique<char[]>(kFileBuffer);
    std::setvbuf(file, m_pFileBuffer.get(), _IOFBF, kFileBuffer);
    char text[PCAP_ERRBUF_SIZE] = "";
    m_pcap.reset(pcap_fopen_offline(file, text));
    if (!m_pcap) {
        if (file != stdin)
            std::fclose(file);
        error = text;
        return false;
    }
    m_bOffline = true;
    m_dwNetmask = PCAP_NETMASK_UNKNOWN;
    return true;
}

bool CCaptureSource::SetFilter(const std::string &expression, std::string &error)
{
    bpf_program program{};
    if (pcap_compile(m_pcap.get(), &program, expression.c_str(), 1, m_dwNetmask) < 0) {
        error = GetError();
        return false;
    }
    const int rc = pcap_setfilter(m_pcap.get(), &program);
    pcap_freecode(&program);
    if (rc < 0) {
        error = GetError();
        return false;
    }
    return true;
}

CCaptureSource::WaitResult CCaptureSource::Wait(int wakeFd, int maxMs) const
{
    int timeout = maxMs;
    if (const timeval *required = pcap_get_required_select_timeout(m_pcap.get()))
        timeout = std::min<int>(timeout, int(required->tv_sec * 1000 + required->tv_usec / 1000));
    const int fd = pcap_get_selectable_fd(m_pcap.get());
    // A negative descriptor is left out by poll().
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    if (::poll(fds, 2, timeout) > 0 && fds[0].revents != 0)
        return WaitResult::Stopped;
    if (m_bReadAfterEveryWait || fds[1].revents != 0)
        return WaitResult::Ready;
    return WaitResult::TimedOut;
}

int CCaptureSource::Dispatch(int count, pcap_handler handler, u_char *user)
{
    return pcap_dispatch(m_pcap.get(), count, handler, user);
}

bool CCaptureSource::GetDrops(CDrops &drops) const
{
    pcap_stat stats{};
    if (m_bOffline || !m_pcap || pcap_stats(m_pcap.get(), &stats) != 0)
        return false;
    drops.nKernel = stats.ps_drop;
    drops.nInterface = stats.ps_ifdrop;
    return true;
}

int64_t CCaptureSource::GetFilePosition() const
{
    FILE *file = m_bOffline && m_pcap ? pcap_file(m_pcap.get()) : nullptr;
    return file ? int64_t(std::ftell(file)) : -1;
}
