// The floors: the least work that turns a capture file into the capture engine's output, as
// yardsticks for its replay speed. One source, two programs:
//
//   marlinox-pwrite-floor -r FILE -o DIR   one file per TCP direction: each payload pwrite()n
//                                          at seq - isn - 1 as it comes
//   marlinox-run-floor -r FILE -o DIR      the same, but a direction's bytes that continue each
//                                          other are gathered into a run of up to 16 KiB and
//                                          written together: the fewest writes for that run size
//   either one with --raw                  one file per frame: create, write, close
//   either one with --run-bytes N          runs of N bytes (0: a write per segment)
//
// A direction is found by a hash map on its addresses and ports (IPv4 or IPv6 without extension
// headers, over Ethernet), its ISN taken from the SYN or SYN+ACK, and its file closed at its
// FIN. A segment that does not continue the direction's pending run has that run written first;
// a run's buffer goes back to a free list when it is written, so steady writing allocates
// nothing. Runs have no overall bound: the run floor holds at most one buffer per open
// direction. Nothing else is checked (no states, no cutting at the close), so the floors only
// suit well-formed captures such as the benchmark's workloads. Files are named as the capture
// engine names them: the SYN's sender writes pNNNNNNNNNN-1.txt, the other side
// pNNNNNNNNNN-2.txt, numbered by SYN from 1.
#include "Descriptor.h"

#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#ifndef FLOOR_NAME
#define FLOOR_NAME "marlinox-pwrite-floor"
#endif
#ifndef FLOOR_RUN_BYTES
#define FLOOR_RUN_BYTES 0
#endif

namespace {

constexpr size_t kEthernetHeader = 14;

uint16_t Get16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

uint32_t Get32(const uint8_t *p) { return (uint32_t(Get16(p)) << 16) | Get16(p + 2); }

struct PcapCloser
{
    void operator()(pcap_t *p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

using Address = std::array<uint8_t, 16>; // IPv4 addresses in the last four bytes

struct FlowKey
{
    Address src;
    Address dst;
    uint16_t sport;
    uint16_t dport;
    bool operator==(const FlowKey &) const = default;
    FlowKey Reversed() const { return {dst, src, dport, sport}; }
};

struct FlowKeyHash
{
    size_t operator()(const FlowKey &k) const
    {
        uint64_t h = (uint64_t(k.sport) << 16) | k.dport;
        for (const Address *a : {&k.src, &k.dst}) {
            uint64_t words[2];
            std::memcpy(words, a->data(), sizeof words);
            h = (h ^ words[0]) * 0x9e3779b97f4a7c15ull;
            h = (h ^ words[1]) * 0xbf58476d1ce4e5b9ull;
        }
        return size_t(h ^ (h >> 31));
    }
};

// The fields of one Ethernet/IP/TCP frame that the floor needs.
struct Segment
{
    FlowKey key;
    uint32_t seq;
    uint8_t flags;
    const uint8_t *payload;
    size_t length; // payload bytes present in the capture
};

// The TCP header's offset in the frame and the IP payload's length, or false.
bool ParseIp(const uint8_t *frame, size_t caplen, Segment &s, size_t &tcp, size_t &ipPayload)
{
    const uint16_t type = Get16(frame + 12);
    const uint8_t *ip = frame + kEthernetHeader;
    s.key.src = {};
    s.key.dst = {};
    if (type == 0x0800) {
        const size_t header = size_t(ip[0] & 0x0f) * 4;
        const size_t total = Get16(ip + 2);
        if (ip[9] != 6 || header < 20 || total < header)
            return false;
        std::memcpy(s.key.src.data() + 12, ip + 12, 4);
        std::memcpy(s.key.dst.data() + 12, ip + 16, 4);
        tcp = kEthernetHeader + header;
        ipPayload = total - header;
        return true;
    }
    if (type != 0x86DD || caplen < kEthernetHeader + 40 || ip[6] != 6)
        return false;
    std::memcpy(s.key.src.data(), ip + 8, 16);
    std::memcpy(s.key.dst.data(), ip + 24, 16);
    tcp = kEthernetHeader + 40;
    ipPayload = Get16(ip + 4);
    return true;
}

bool ParseSegment(const uint8_t *frame, size_t caplen, Segment &s)
{
    size_t at = 0;
    size_t ipPayload = 0;
    if (caplen < kEthernetHeader + 20 || !ParseIp(frame, caplen, s, at, ipPayload) ||
        caplen < at + 20)
        return false;
    const uint8_t *tcp = frame + at;
    const size_t tcpHeader = size_t(tcp[12] >> 4) * 4;
    if (tcpHeader < 20 || caplen < at + tcpHeader || ipPayload < tcpHeader)
        return false;
    s.key.sport = Get16(tcp);
    s.key.dport = Get16(tcp + 2);
    s.seq = Get32(tcp + 4);
    s.flags = tcp[13];
    s.payload = tcp + tcpHeader;
    s.length = std::min(ipPayload - tcpHeader, caplen - at - tcpHeader);
    return true;
}

using Buffer = std::unique_ptr<uint8_t[]>;

// Buffers of one size, handed back when their run is written.
class CRunPool
{
public:
    explicit CRunPool(size_t bytes) : m_nBytes(bytes) {}
    size_t Size() const { return m_nBytes; }
    Buffer Take();
    void Give(Buffer buffer) { m_free.push_back(std::move(buffer)); }
    size_t Made() const { return m_nMade; }

private:
    size_t m_nBytes;
    size_t m_nMade = 0;
    std::vector<Buffer> m_free;
};

Buffer CRunPool::Take()
{
    if (m_free.empty()) {
        ++m_nMade;
        return std::make_unique_for_overwrite<uint8_t[]>(m_nBytes);
    }
    Buffer b = std::move(m_free.back());
    m_free.pop_back();
    return b;
}

// One direction's file and its pending run.
class CDirection
{
public:
    CDirection(CDescriptor file, uint32_t isn, uint32_t number)
        : m_file(std::move(file)), m_dwIsn(isn), m_dwNumber(number)
    {
    }
    uint32_t Isn() const { return m_dwIsn; }
    uint32_t Number() const { return m_dwNumber; }
    // Writes n bytes at offset, through a run when pool is given.
    void Write(CRunPool *pool, uint64_t offset, const uint8_t *data, size_t n);
    // Writes the pending run, if any, and gives its buffer back.
    void Flush(CRunPool &pool);
    uint64_t Writes() const { return m_qwWrites; }

private:
    void WriteNow(uint64_t offset, const uint8_t *data, size_t n);

    CDescriptor m_file;
    uint32_t m_dwIsn;
    uint32_t m_dwNumber;
    Buffer m_run;
    uint64_t m_qwRunOffset = 0;
    size_t m_nRunLength = 0;
    uint64_t m_qwWrites = 0;
};

void CDirection::WriteNow(uint64_t offset, const uint8_t *data, size_t n)
{
    ++m_qwWrites;
    if (::pwrite(m_file.Get(), data, n, off_t(offset)) != ssize_t(n))
        std::perror(FLOOR_NAME ": pwrite");
}

void CDirection::Write(CRunPool *pool, uint64_t offset, const uint8_t *data, size_t n)
{
    if (!pool) {
        WriteNow(offset, data, n);
        return;
    }
    if (m_run && offset == m_qwRunOffset + m_nRunLength) {
        const size_t taken = std::min(n, pool->Size() - m_nRunLength);
        std::memcpy(m_run.get() + m_nRunLength, data, taken);
        m_nRunLength += taken;
        if (m_nRunLength < pool->Size())
            return;
        data += taken;
        n -= taken;
        offset += taken;
    }
    Flush(*pool);
    if (n == 0)
        return;
    if (n >= pool->Size()) {
        WriteNow(offset, data, n);
        return;
    }
    m_run = pool->Take();
    std::memcpy(m_run.get(), data, n);
    m_qwRunOffset = offset;
    m_nRunLength = n;
}

void CDirection::Flush(CRunPool &pool)
{
    if (!m_run)
        return;
    WriteNow(m_qwRunOffset, m_run.get(), m_nRunLength);
    pool.Give(std::move(m_run));
    m_nRunLength = 0;
}

class CStreamFloor
{
public:
    CStreamFloor(std::string dir, size_t runBytes) : m_strDir(std::move(dir)), m_pool(runBytes) {}
    ~CStreamFloor() { Finish(); }
    CStreamFloor(const CStreamFloor &) = delete;
    CStreamFloor &operator=(const CStreamFloor &) = delete;

    void Process(const uint8_t *frame, size_t caplen);
    // Writes the runs of the directions still open and closes their files.
    void Finish();
    uint64_t GetBytes() const { return m_qwBytes; }
    uint64_t GetWrites() const { return m_qwWrites; }
    size_t GetBuffers() const { return m_pool.Made(); }

private:
    void Open(const Segment &s);
    void Close(CDirection &direction);
    CRunPool *Pool() { return m_pool.Size() > 0 ? &m_pool : nullptr; }

    std::string m_strDir;
    CRunPool m_pool;
    std::unordered_map<FlowKey, CDirection, FlowKeyHash> m_flows;
    uint32_t m_dwLastNumber = 0;
    uint64_t m_qwBytes = 0;
    uint64_t m_qwWrites = 0;
};

void CStreamFloor::Finish()
{
    for (auto &[key, direction] : m_flows)
        Close(direction);
    m_flows.clear();
}

void CStreamFloor::Close(CDirection &direction)
{
    if (Pool())
        direction.Flush(m_pool);
    m_qwWrites += direction.Writes();
}

void CStreamFloor::Open(const Segment &s)
{
    uint32_t number = 0;
    int side = 1;
    if (!(s.flags & 0x10)) { // SYN: a new connection
        number = ++m_dwLastNumber;
    } else { // SYN+ACK: the connection of the reverse direction
        const auto it = m_flows.find(s.key.Reversed());
        if (it == m_flows.end())
            return;
        number = it->second.Number();
        side = 2;
    }
    char path[4096];
    std::snprintf(path, sizeof path, "%s/p%010u-%d.txt", m_strDir.c_str(), number, side);
    CDescriptor fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (fd.Get() < 0) {
        std::perror(path);
        return;
    }
    m_flows.try_emplace(s.key, std::move(fd), s.seq, number);
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
        const uint32_t offset = s.seq - it->second.Isn() - 1;
        it->second.Write(Pool(), offset, s.payload, s.length);
        m_qwBytes += s.length;
    }
    if (fin) {
        Close(it->second);
        m_flows.erase(it);
    }
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

struct Options
{
    std::string input;
    std::string dir;
    bool raw = false;
    size_t runBytes = FLOOR_RUN_BYTES;
};

int Run(const Options &o)
{
    char error[PCAP_ERRBUF_SIZE] = "";
    PcapHandle pcap(pcap_open_offline(o.input.c_str(), error));
    if (!pcap) {
        std::fprintf(stderr, FLOOR_NAME ": %s\n", error);
        return 1;
    }
    if (pcap_datalink(pcap.get()) != DLT_EN10MB) {
        std::fprintf(stderr, FLOOR_NAME ": not an Ethernet capture\n");
        return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(o.dir, ec);
    RaiseDescriptorLimit();
    uint32_t frames = 0;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int rc = 0;
    CStreamFloor streams(o.dir, o.runBytes);
    while ((rc = pcap_next_ex(pcap.get(), &header, &data)) == 1) {
        ++frames;
        if (o.raw)
            WriteRawFrame(o.dir, frames, data, header->caplen);
        else
            streams.Process(data, header->caplen);
    }
    if (rc == PCAP_ERROR) {
        std::fprintf(stderr, FLOOR_NAME ": %s\n", pcap_geterr(pcap.get()));
        return 1;
    }
    if (o.raw) {
        std::printf("%u frames, %u files written\n", frames, frames);
        return 0;
    }
    streams.Finish();
    std::printf("%u frames, %llu payload bytes in %llu writes, %zu run buffers\n", frames,
                static_cast<unsigned long long>(streams.GetBytes()),
                static_cast<unsigned long long>(streams.GetWrites()), streams.GetBuffers());
    return 0;
}

bool ParseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--raw") {
            o.raw = true;
        } else if (arg == "-r" && hasValue) {
            o.input = argv[++i];
        } else if (arg == "-o" && hasValue) {
            o.dir = argv[++i];
        } else if (arg == "--run-bytes" && hasValue) {
            const std::string_view v = argv[++i];
            const auto [end, err] = std::from_chars(v.data(), v.data() + v.size(), o.runBytes);
            if (err != std::errc() || end != v.data() + v.size())
                return false;
        } else {
            return false;
        }
    }
    return !o.input.empty() && !o.dir.empty();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs("usage: " FLOOR_NAME " -r FILE -o DIR [--raw] [--run-bytes N]\n", stderr);
        return 2;
    }
    return Run(options);
}
