// marlinox-pwrite-floor: the least work that turns a capture file into the same output, as the
// yardstick for the capture engine's replay speed.
//
//   marlinox-pwrite-floor -r FILE -o DIR          one file per TCP direction: each payload
//                                                 pwrite()n at seq - isn - 1
//   marlinox-pwrite-floor -r FILE -o DIR --raw    one file per frame: create, write, close
//
// Stream mode finds a packet's direction by a hash map on its 4-tuple, takes the ISN from the
// SYN or SYN+ACK, and closes the direction's file at its FIN. It checks nothing else (no
// states, no cutting at the close), so it only suits well-formed captures such as the
// benchmark's workloads. Files are named as the capture engine names them: the SYN's sender
// writes pNNNNNNNNNN-1.txt, the other side pNNNNNNNNNN-2.txt, numbered by SYN from 1.
#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace {

constexpr size_t kEthernetHeader = 14;

uint16_t Get16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

uint32_t Get32(const uint8_t *p) { return (uint32_t(Get16(p)) << 16) | Get16(p + 2); }

// An open descriptor, closed by the destructor.
class CDescriptor
{
public:
    explicit CDescriptor(int fd = -1) : m_fd(fd) {}
    CDescriptor(CDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CDescriptor &operator=(CDescriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~CDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

struct PcapCloser
{
    void operator()(pcap_t *p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

struct FlowKey
{
    uint32_t src;
    uint32_t dst;
    uint16_t sport;
    uint16_t dport;
    bool operator==(const FlowKey &) const = default;
};

struct FlowKeyHash
{
    size_t operator()(const FlowKey &k) const
    {
        const uint64_t a = (uint64_t(k.src) << 32) | k.dst;
        const uint64_t b = (uint64_t(k.sport) << 16) | k.dport;
        const uint64_t h = (a ^ (b * 0x9e3779b97f4a7c15ull)) * 0xbf58476d1ce4e5b9ull;
        return size_t(h ^ (h >> 31));
    }
};

struct Direction
{
    CDescriptor file;
    uint32_t isn = 0;
    uint32_t number = 0;
};

// The fields of one Ethernet/IPv4/TCP frame that the floor needs.
struct Segment
{
    FlowKey key;
    uint32_t seq;
    uint8_t flags;
    const uint8_t *payload;
    size_t length; // payload bytes present in the capture
};

bool ParseSegment(const uint8_t *frame, size_t caplen, Segment &s)
{
    if (caplen < kEthernetHeader + 20 || Get16(frame + 12) != 0x0800)
        return false;
    const uint8_t *ip = frame + kEthernetHeader;
    const size_t ipHeader = size_t(ip[0] & 0x0f) * 4;
    if (ip[9] != 6 || ipHeader < 20 || caplen < kEthernetHeader + ipHeader + 20)
        return false;
    const uint8_t *tcp = ip + ipHeader;
    const size_t tcpHeader = size_t(tcp[12] >> 4) * 4;
    const size_t headers = kEthernetHeader + ipHeader + tcpHeader;
    const size_t total = Get16(ip + 2);
    if (tcpHeader < 20 || caplen < headers || total < ipHeader + tcpHeader)
        return false;
    s.key = {Get32(ip + 12), Get32(ip + 16), Get16(tcp), Get16(tcp + 2)};
    s.seq = Get32(tcp + 4);
    s.flags = tcp[13];
    s.payload = frame + headers;
    s.length = std::min(total - ipHeader - tcpHeader, caplen - headers);
    return true;
}

class CStreamFloor
{
public:
    explicit CStreamFloor(std::string dir) : m_strDir(std::move(dir)) {}
    void Process(const uint8_t *frame, size_t caplen);
    uint64_t GetBytes() const { return m_qwBytes; }

private:
    void Open(const Segment &s);

    std::string m_strDir;
    std::unordered_map<FlowKey, Direction, FlowKeyHash> m_flows;
    uint32_t m_dwLastNumber = 0;
    uint64_t m_qwBytes = 0;
};

void CStreamFloor::Open(const Segment &s)
{
    uint32_t number = 0;
    int side = 1;
    if (!(s.flags & 0x10)) { // SYN: a new connection
        number = ++m_dwLastNumber;
    } else { // SYN+ACK: the connection of the reverse direction
        const auto it = m_flows.find({s.key.dst, s.key.src, s.key.dport, s.key.sport});
        if (it == m_flows.end())
            return;
        number = it->second.number;
        side = 2;
    }
    char path[4096];
    std::snprintf(path, sizeof path, "%s/p%010u-%d.txt", m_strDir.c_str(), number, side);
    CDescriptor fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (fd.Get() < 0) {
        std::perror(path);
        return;
    }
    m_flows.try_emplace(s.key, Direction{std::move(fd), s.seq, number});
}

void CStreamFloor::Process(const uint8_t *frame, size_t caplen)
{
    Segment s;
    if (!ParseSegment(frame, caplen, s))
        return;
    const bool syn = s.flags & 0x02;
    const bool fin = s.flags & 0x01;
    if (syn) {
        Open(s);
        return;
    }
    if (s.length == 0 && !fin)
        return;
    const auto it = m_flows.find(s.key);
    if (it == m_flows.end())
        return;
    if (s.length > 0) {
        const uint32_t offset = s.seq - it->second.isn - 1;
        if (::pwrite(it->second.file.Get(), s.payload, s.length, off_t(offset)) >= 0)
            m_qwBytes += s.length;
    }
    if (fin)
        m_flows.erase(it);
}

void WriteRawFrame(const std::string &dir, uint32_t number, const uint8_t *frame, size_t caplen)
{
    char path[4096];
    std::snprintf(path, sizeof path, "%s/p%010u.pd", dir.c_str(), number);
    CDescriptor fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (fd.Get() < 0 || ::write(fd.Get(), frame, caplen) != ssize_t(caplen))
        std::perror(path);
}

// Up to 800 connections are open at once in the workloads, two descriptors each: more than
// the usual soft limit of 1024.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Run(const std::string &input, const std::string &dir, bool raw)
{
    char error[PCAP_ERRBUF_SIZE] = "";
    PcapHandle pcap(pcap_open_offline(input.c_str(), error));
    if (!pcap) {
        std::fprintf(stderr, "marlinox-pwrite-floor: %s\n", error);
        return 1;
    }
    if (pcap_datalink(pcap.get()) != DLT_EN10MB) {
        std::fprintf(stderr, "marlinox-pwrite-floor: not an Ethernet capture\n");
        return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    RaiseDescriptorLimit();
    CStreamFloor streams(dir);
    uint32_t frames = 0;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int rc = 0;
    while ((rc = pcap_next_ex(pcap.get(), &header, &data)) == 1) {
        ++frames;
        if (raw)
            WriteRawFrame(dir, frames, data, header->caplen);
        else
            streams.Process(data, header->caplen);
    }
    if (rc == PCAP_ERROR) {
        std::fprintf(stderr, "marlinox-pwrite-floor: %s\n", pcap_geterr(pcap.get()));
        return 1;
    }
    std::printf("%u frames, %llu payload bytes written\n", frames,
                static_cast<unsigned long long>(streams.GetBytes()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string input;
    std::string dir;
    bool raw = false;
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--raw")
            raw = true;
        else if (arg == "-r" && i + 1 < argc)
            input = argv[++i];
        else if (arg == "-o" && i + 1 < argc)
            dir = argv[++i];
        else
            usable = false;
    }
    if (!usable || input.empty() || dir.empty()) {
        std::fputs("usage: marlinox-pwrite-floor -r FILE -o DIR [--raw]\n", stderr);
        return 2;
    }
    return Run(input, dir, raw);
}
