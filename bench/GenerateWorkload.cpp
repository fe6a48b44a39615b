// marlinox-workload: writes the deterministic capture files that the benchmark replays.
//
//   many-flows    about 2000 interleaved TCP connections, up to about 800 open at once, with
//                 reordered, duplicated and overlapping segments; ~500 MB of payload
//   big-flows     8 interleaved connections of 50 MB each
//   small-frames  a million 60-byte TCP and UDP frames, for RAW mode
//
// The same options and seed give the same file, byte for byte. Every address lies in
// 10.0.0.0/8, or with --ipv6 in fd00::10.0.0.0/104 (the same packets over IPv6: the same
// payload bytes, sequence numbers and order). The file is only written, nothing is sent.
// --truth FILE lists the SHA-256 of every stream file the capture engine should write for the
// connections, under the engine's names, in the format of sha256sum -c.
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "Sha256.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr int kLinkTypeEthernet = 1; // DLT_EN10MB
constexpr int kSnapLength = 262144;
constexpr uint64_t kMss = 1448;
constexpr uint64_t kMegabyte = 1000000;
// A prime, so that segment boundaries fall on different places of the pattern.
constexpr size_t kPatternSize = 1048573;

using Packet = std::vector<uint8_t>;

// splitmix64: small, fast, and the same sequence on every platform (the standard library's
// distributions are not specified bit for bit).
class CRandom
{
public:
    explicit CRandom(uint64_t seed) : m_qwState(seed) {}

    uint64_t Next()
    {
        uint64_t z = (m_qwState += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in 0..n-1; n > 0.
    uint64_t Below(uint64_t n) { return Next() % n; }
    // True with probability perMille / 1000.
    bool Chance(unsigned perMille) { return Below(1000) < perMille; }

private:
    uint64_t m_qwState;
};

struct Options
{
    std::string workload;
    std::string output;
    std::string truth;
    int ipVersion = 4;
    uint64_t seed = 1;
    long megabytes = -1; // total payload; -1: the workload's default
    long connections = -1;
    long concurrent = -1;
    long frames = 1000000;
    unsigned reorderPerMille = 20;
    unsigned duplicatePerMille = 10;
    unsigned overlapPerMille = 10;
};

struct FlowPlan
{
    int index = 0;
    uint64_t bytes[2] = {0, 0}; // payload of the initiator and of the responder
    uint64_t seed = 0;
};

// One TCP connection of the workload: handshake, bursts of data in both directions with a
// pure ACK after every second segment, then FIN, FIN, ACK. Every byte of a direction is a
// function of its offset only, so retransmissions, whatever their boundaries, repeat the
// same bytes.
class CFlow
{
public:
    CFlow(const FlowPlan &plan, const Options &options, const std::vector<uint8_t> &pattern);

    // The flow's next packet; Done() must be false.
    Packet Next();
    bool Done() const { return m_queue.empty() && m_delayed.empty() && m_nPhase == kClosed; }
    // The number the capture engine gives the connection: its SYN's place among the SYNs.
    int GetNumber() const { return m_nNumber; }
    void SetNumber(int number) { m_nNumber = number; }
    // The SHA-256 of everything side sends, in hex.
    std::string Digest(int side) const;

private:
    enum { kHandshake, kData, kClosed };
    struct Delayed
    {
        int countdown;
        Packet packet;
    };

    void Refill();
    void AddSegment();
    Packet Payload(int side, uint64_t offset, uint64_t length) const;
    uint64_t Remaining(int side) const { return m_qwTotal[side] - m_qwSent[side]; }

    const Options &m_options;
    const std::vector<uint8_t> &m_pattern;
    CRandom m_random;
    CConversation m_conv;
    uint64_t m_qwTotal[2];
    uint64_t m_qwSent[2] = {0, 0};
    size_t m_uShift[2];
    int m_nPhase = kHandshake;
    int m_nSide = 0;
    int m_nBurstLeft = 0;
    int m_nUnacked = 0;
    int m_nNumber = 0;
    std::deque<Packet> m_queue;
    std::vector<Delayed> m_delayed;
};

uint32_t PickIsn(CRandom &random)
{
    // One connection in fifty starts just below 2^32, so its numbers wrap.
    if (random.Chance(20))
        return uint32_t(0xffffffffu - random.Below(200000));
    return uint32_t(random.Next());
}

CConversation MakeConversation(int index, CRandom &random, int ipVersion)
{
    const uint32_t client = 0x0a010001u + uint32_t(index / 30000);
    const uint16_t clientPort = uint16_t(20000 + index % 30000);
    const uint16_t serverPorts[4] = {80, 443, 8080, 8443};
    const uint32_t server = 0x0a000001u + uint32_t(index % 8);
    const uint32_t isn0 = PickIsn(random);
    const uint32_t isn1 = PickIsn(random);
    return CConversation(client, clientPort, server, serverPorts[index % 4], isn0, isn1, ipVersion);
}

CFlow::CFlow(const FlowPlan &plan, const Options &options, const std::vector<uint8_t> &pattern)
    : m_options(options), m_pattern(pattern), m_random(plan.seed),
      m_conv(MakeConversation(plan.index, m_random, options.ipVersion)),
      m_qwTotal{plan.bytes[0], plan.bytes[1]}, m_uShift{size_t(m_random.Below(kPatternSize)),
                                                        size_t(m_random.Below(kPatternSize))}
{
}

Packet CFlow::Next()
{
    for (auto it = m_delayed.begin(); it != m_delayed.end(); ++it) {
        if (--it->countdown <= 0) {
            Packet p = std::move(it->packet);
            m_delayed.erase(it);
            return p;
        }
    }
    if (m_queue.empty())
        Refill();
    if (m_queue.empty()) { // only delayed retransmissions are left
        Packet p = std::move(m_delayed.front().packet);
        m_delayed.erase(m_delayed.begin());
        return p;
    }
    Packet p = std::move(m_queue.front());
    m_queue.pop_front();
    return p;
}

void CFlow::Refill()
{
    if (m_nPhase == kHandshake) {
        for (auto &p : m_conv.Handshake())
            m_queue.push_back(std::move(p));
        m_nPhase = kData;
        return;
    }
    if (m_nPhase == kClosed)
        return;
    if (Remaining(0) > 0 || Remaining(1) > 0) {
        AddSegment();
        return;
    }
    // Retransmissions still due go out before the close: after the last ACK a stream takes
    // no more data.
    for (auto &d : m_delayed)
        m_queue.push_back(std::move(d.packet));
    m_delayed.clear();
    for (auto &p : m_conv.Close(int(m_random.Below(2))))
        m_queue.push_back(std::move(p));
    m_nPhase = kClosed;
}

void CFlow::AddSegment()
{
    if (m_nBurstLeft <= 0 || Remaining(m_nSide) == 0) {
        if (Remaining(1 - m_nSide) > 0)
            m_nSide = 1 - m_nSide;
        m_nBurstLeft = 1 + int(m_random.Below(16));
    }
    const int side = m_nSide;
    --m_nBurstLeft;
    // Mostly full segments; one in ten is shorter, as at the end of an application write.
    const uint64_t wanted = m_random.Chance(100) ? 2 + m_random.Below(kMss - 1) : kMss;
    const uint64_t offset = m_qwSent[side];
    const uint64_t length = std::min(wanted, Remaining(side));
    const uint8_t flags = TCP_ACK | TCP_PSH;
    Packet segment = m_conv.Send(side, flags, Payload(side, offset, length));
    m_qwSent[side] += length;

    if (Remaining(side) > 0 && m_random.Chance(m_options.reorderPerMille)) {
        // The following segment overtakes this one.
        const uint64_t next = std::min(kMss, Remaining(side));
        m_queue.push_back(m_conv.Send(side, flags, Payload(side, m_qwSent[side], next)));
        m_qwSent[side] += next;
        m_nUnacked++;
    }
    if (m_random.Chance(m_options.duplicatePerMille))
        m_delayed.push_back({1 + int(m_random.Below(8)), segment});
    m_queue.push_back(std::move(segment));
    if (offset >= 2 && m_random.Chance(m_options.overlapPerMille)) {
        // A retransmission that covers the end of the previous segment and this one's start.
        const uint64_t start = offset - std::min(offset, kMss / 2);
        const uint64_t end = std::min(offset + kMss / 2, offset + length);
        const uint32_t seq = m_conv.Isn(side) + 1 + uint32_t(start);
        m_queue.push_back(m_conv.SendAt(side, flags, seq, Payload(side, start, end - start)));
    }
    if (++m_nUnacked >= 2) {
        m_queue.push_back(m_conv.Send(1 - side, TCP_ACK));
        m_nUnacked = 0;
    }
}

Packet CFlow::Payload(int side, uint64_t offset, uint64_t length) const
{
    Packet out(length);
    size_t at = size_t((m_uShift[side] + offset) % kPatternSize);
    size_t done = 0;
    while (done < length) {
        const size_t n = std::min(size_t(length) - done, kPatternSize - at);
        std::memcpy(out.data() + done, m_pattern.data() + at, n);
        done += n;
        at = 0;
    }
    return out;
}

std::string CFlow::Digest(int side) const
{
    constexpr uint64_t kChunk = 1 << 20;
    CSha256 sha;
    for (uint64_t at = 0; at < m_qwTotal[side]; at += kChunk) {
        const Packet bytes = Payload(side, at, std::min(kChunk, m_qwTotal[side] - at));
        sha.Add(bytes.data(), bytes.size());
    }
    return sha.Hex();
}

// Flow sizes: roughly log-uniform over three decades when varied, equal otherwise; scaled so
// that the total is the requested payload (give or take the 64-byte minimum per direction).
std::vector<FlowPlan> PlanFlows(const Options &options, uint64_t totalBytes, bool varied,
                                CRandom &random)
{
    const size_t n = size_t(options.connections);
    std::vector<uint64_t> weights(n, 1);
    if (varied) {
        for (auto &w : weights)
            w = (1024 + random.Below(1024)) << random.Below(10);
    }
    uint64_t sum = 0;
    for (uint64_t w : weights)
        sum += w;
    std::vector<FlowPlan> plans(n);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bytes = std::max<uint64_t>(
            totalBytes / sum * weights[i] + totalBytes % sum * weights[i] / sum, 256);
        // The initiator sends 5..50 % (many flows) or 2 % (big flows: a request, then the
        // download).
        const uint64_t share = varied ? 50 + random.Below(451) : 20;
        plans[i].index = int(i);
        plans[i].bytes[0] = std::max<uint64_t>(bytes * share / 1000, 64);
        plans[i].bytes[1] = bytes - std::min(bytes - 64, plans[i].bytes[0]);
        plans[i].seed = options.seed * 1000003u + i;
    }
    return plans;
}

struct Totals
{
    uint64_t packets = 0;
    uint64_t payload = 0;
    long maxOpen = 0;
};

// The truth lines of a finished flow: "DIGEST  pNNNNNNNNNN-S.txt", as sha256sum writes them.
void AddTruth(const CFlow &flow, std::vector<std::string> &truth)
{
    for (int side = 0; side < 2; ++side) {
        char name[64];
        std::snprintf(name, sizeof name, "  p%010d-%d.txt\n", flow.GetNumber(), side + 1);
        truth[size_t(2 * (flow.GetNumber() - 1) + side)] = flow.Digest(side) + name;
    }
}

Totals WriteFlows(const Options &options, const std::vector<FlowPlan> &plans, CPcapWriter &writer,
                  CRandom &random, std::vector<std::string> *truth)
{
    const std::vector<uint8_t> pattern = PatternBytes(kPatternSize, uint32_t(options.seed));
    Totals totals;
    for (const auto &p : plans)
        totals.payload += p.bytes[0] + p.bytes[1];
    if (truth)
        truth->assign(2 * plans.size(), {});
    std::vector<std::unique_ptr<CFlow>> open;
    size_t next = 0;
    int numbered = 0;
    while (next < plans.size() || !open.empty()) {
        while (long(open.size()) < options.concurrent && next < plans.size())
            open.push_back(std::make_unique<CFlow>(plans[next++], options, pattern));
        totals.maxOpen = std::max(totals.maxOpen, long(open.size()));
        const size_t i = size_t(random.Below(open.size()));
        CFlow &flow = *open[i];
        if (flow.GetNumber() == 0) // its first packet is its SYN
            flow.SetNumber(++numbered);
        writer.Write(BuildFrame(kLinkTypeEthernet, flow.Next()));
        ++totals.packets;
        if (flow.Done()) {
            if (truth)
                AddTruth(flow, *truth);
            std::swap(open[i], open.back());
            open.pop_back();
        }
    }
    return totals;
}

// The IPv6 address fd00::a.b.c.d that the packet builder gives the IPv4 address a.b.c.d.
Packet Ipv6Of(uint32_t ipv4)
{
    Packet address(16, 0);
    address[0] = 0xfd;
    for (int i = 0; i < 4; ++i)
        address[size_t(12 + i)] = uint8_t(ipv4 >> (24 - 8 * i));
    return address;
}

// The IPv4 or IPv6 header of a UDP datagram with udpLength bytes after it.
Packet UdpIpHeader(int version, uint32_t src, uint32_t dst, size_t udpLength)
{
    if (version == 6) {
        Packet ip(40, 0);
        const uint8_t header[8] = {0x60, 0, 0, 0, uint8_t(udpLength >> 8), uint8_t(udpLength),
                                   17,   64};
        std::memcpy(ip.data(), header, sizeof header);
        const auto s = Ipv6Of(src);
        const auto d = Ipv6Of(dst);
        std::copy(s.begin(), s.end(), ip.begin() + 8);
        std::copy(d.begin(), d.end(), ip.begin() + 24);
        return ip;
    }
    const size_t total = 20 + udpLength;
    Packet ip(20, 0);
    const uint8_t header[10] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0x12, 0x34, 0, 0,
                                64,   17};
    std::memcpy(ip.data(), header, sizeof header);
    for (int i = 0; i < 4; ++i) {
        ip[size_t(12 + i)] = uint8_t(src >> (24 - 8 * i));
        ip[size_t(16 + i)] = uint8_t(dst >> (24 - 8 * i));
    }
    return ip;
}

Packet BuildUdpFrame(int version, uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                     size_t payloadLength)
{
    const size_t udpLength = 8 + payloadLength;
    Packet ip = UdpIpHeader(version, src, dst, udpLength);
    const uint8_t udp[8] = {uint8_t(sport >> 8), uint8_t(sport),          uint8_t(dport >> 8),
                            uint8_t(dport),      uint8_t(udpLength >> 8), uint8_t(udpLength)};
    ip.insert(ip.end(), std::begin(udp), std::end(udp));
    for (size_t i = 0; i < payloadLength; ++i)
        ip.push_back(uint8_t(i * 7 + sport));
    return BuildFrame(kLinkTypeEthernet, ip);
}

// 60-byte frames, the Ethernet minimum (80 bytes over IPv6): every other one a TCP segment with
// 6 bytes of payload, the rest UDP datagrams with 18.
Totals WriteSmallFrames(const Options &options, CPcapWriter &writer, CRandom &random)
{
    Totals totals;
    for (long i = 0; i < options.frames; ++i) {
        const uint32_t src = 0x0a020000u + uint32_t(random.Below(0x10000));
        const uint32_t dst = 0x0a000001u + uint32_t(i % 16);
        const uint16_t sport = uint16_t(1024 + random.Below(60000));
        Packet frame;
        if (i % 2 == 0) {
            TcpSegment s;
            s.src = src;
            s.dst = dst;
            s.sport = sport;
            s.dport = 443;
            s.seq = uint32_t(random.Next());
            s.ack = uint32_t(random.Next());
            s.flags = TCP_ACK | TCP_PSH;
            s.payload = PatternBytes(6, uint32_t(i));
            s.version = options.ipVersion;
            frame = BuildFrame(kLinkTypeEthernet, BuildIpTcp(s));
        } else {
            frame = BuildUdpFrame(options.ipVersion, src, dst, sport, 53, 18);
        }
        writer.Write(frame);
        ++totals.packets;
        totals.payload += frame.size();
    }
    return totals;
}

void PrintUsage(FILE *out)
{
    std::fputs("usage: marlinox-workload WORKLOAD -o FILE [options]\n"
               "workloads:\n"
               "  many-flows    ~2000 interleaved TCP connections, <=800 open, ~500 MB\n"
               "  big-flows     8 interleaved TCP connections, 50 MB each\n"
               "  small-frames  60-byte frames (default 1000000)\n"
               "options:\n"
               "  --seed N         seed of the workload (default 1)\n"
               "  --ipv6           IPv6 instead of IPv4; the same payload bytes for a seed\n"
               "  --truth FILE     write the SHA-256 of every stream file to FILE (flows only)\n"
               "  --mb N           total payload in MB (default 500 / 400)\n"
               "  --connections N  connections (default 2000 / 8)\n"
               "  --concurrent N   connections open at once at most (default 800 / 8)\n"
               "  --frames N       frames of small-frames (default 1000000)\n"
               "  --reorder N      per mille of segments overtaken by the next (default 20)\n"
               "  --duplicate N    per mille of segments sent twice (default 10)\n"
               "  --overlap N      per mille of overlapping retransmissions (default 10)\n",
               out);
}

template <typename T> bool ParseNumber(std::string_view text, T &value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseOption(std::string_view name, std::string_view value, Options &o)
{
    if (name == "-o" || name == "--truth") {
        (name == "-o" ? o.output : o.truth) = std::string(value);
        return true;
    }
    if (name == "--seed")
        return ParseNumber(value, o.seed);
    if (name == "--mb")
        return ParseNumber(value, o.megabytes) && o.megabytes > 0;
    if (name == "--connections")
        return ParseNumber(value, o.connections) && o.connections > 0;
    if (name == "--concurrent")
        return ParseNumber(value, o.concurrent) && o.concurrent > 0;
    if (name == "--frames")
        return ParseNumber(value, o.frames) && o.frames > 0;
    if (name == "--reorder")
        return ParseNumber(value, o.reorderPerMille) && o.reorderPerMille <= 1000;
    if (name == "--duplicate")
        return ParseNumber(value, o.duplicatePerMille) && o.duplicatePerMille <= 1000;
    if (name == "--overlap")
        return ParseNumber(value, o.overlapPerMille) && o.overlapPerMille <= 1000;
    return false;
}

bool ParseArguments(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--ipv6") {
            o.ipVersion = 6;
        } else if (arg.starts_with("-")) {
            if (i + 1 >= argc || !ParseOption(arg, argv[i + 1], o)) {
                std::fprintf(stderr, "marlinox-workload: bad option %s\n", argv[i]);
                return false;
            }
            ++i;
        } else if (o.workload.empty()) {
            o.workload = std::string(arg);
        } else {
            return false;
        }
    }
    return !o.workload.empty() && !o.output.empty();
}

bool WriteTruth(const std::string &path, const std::vector<std::string> &lines)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto &line : lines)
        out << line;
    out.close();
    return bool(out);
}

void ApplyDefaults(Options &o)
{
    const bool many = o.workload == "many-flows";
    if (o.megabytes < 0)
        o.megabytes = many ? 500 : 400;
    if (o.connections < 0)
        o.connections = many ? 2000 : 8;
    if (o.concurrent < 0)
        o.concurrent = many ? 800 : 8;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        PrintUsage(stdout);
        return 0;
    }
    if (!ParseArguments(argc, argv, options)) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string &w = options.workload;
    if (w != "many-flows" && w != "big-flows" && w != "small-frames") {
        std::fprintf(stderr, "marlinox-workload: unknown workload %s\n", w.c_str());
        return 2;
    }
    ApplyDefaults(options);
    CPcapWriter writer(options.output, kLinkTypeEthernet, kSnapLength);
    if (!writer.IsOpen()) {
        std::fprintf(stderr, "marlinox-workload: cannot write %s\n", options.output.c_str());
        return 1;
    }
    CRandom random(options.seed);
    Totals totals;
    if (w == "small-frames") {
        totals = WriteSmallFrames(options, writer, random);
    } else {
        const uint64_t bytes = uint64_t(options.megabytes) * kMegabyte;
        const auto plans = PlanFlows(options, bytes, w == "many-flows", random);
        std::vector<std::string> truth;
        totals =
            WriteFlows(options, plans, writer, random, options.truth.empty() ? nullptr : &truth);
        if (!options.truth.empty() && !WriteTruth(options.truth, truth)) {
            std::fprintf(stderr, "marlinox-workload: cannot write %s\n", options.truth.c_str());
            return 1;
        }
    }
    writer.Close();
    std::printf("%s%s: %llu packets, %llu %s, %ld connections open at most\n", w.c_str(),
                options.ipVersion == 6 ? "-v6" : "",
                static_cast<unsigned long long>(totals.packets),
                static_cast<unsigned long long>(totals.payload),
                w == "small-frames" ? "frame bytes" : "payload bytes", totals.maxOpen);
    return 0;
}
