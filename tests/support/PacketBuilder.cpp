#include "PacketBuilder.h"

namespace {

void Put16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    Put16(b, at, v >> 16);
    Put16(b, at + 2, v);
}

} // namespace

std::vector<uint8_t> Ipv6Of(uint32_t ipv4)
{
    std::vector<uint8_t> a(16, 0);
    a[0] = 0xfd;
    Put32(a, 12, ipv4);
    return a;
}

namespace {

void PutTcp(std::vector<uint8_t> &b, size_t t, const TcpSegment &s)
{
    const size_t thl = size_t(s.tcpHeaderLength);
    Put16(b, t + 0, s.sport);
    Put16(b, t + 2, s.dport);
    Put32(b, t + 4, s.seq);
    Put32(b, t + 8, s.ack);
    b[t + 12] = uint8_t((thl / 4) << 4);
    b[t + 13] = s.flags;
    Put16(b, t + 14, 65535);
    Put32(b, t + 16, 0);
    std::copy(s.payload.begin(), s.payload.end(), b.begin() + long(t + thl));
}

std::vector<uint8_t> BuildIpv6Tcp(const TcpSegment &s)
{
    size_t extensions = 0;
    for (const auto &[type, length] : s.extensions)
        extensions += size_t(length);
    const size_t tcp = 40 + extensions;
    std::vector<uint8_t> b(tcp + size_t(s.tcpHeaderLength) + s.payload.size(), 0x01);
    b[0] = 0x60;
    b[1] = b[2] = b[3] = 0;
    Put16(b, 4, uint32_t(s.totalLength >= 0 ? size_t(s.totalLength) : b.size() - 40));
    b[6] = s.extensions.empty() ? 6 : s.extensions.front().first;
    b[7] = 64;
    const auto src = Ipv6Of(s.src);
    const auto dst = Ipv6Of(s.dst);
    std::copy(src.begin(), src.end(), b.begin() + 8);
    std::copy(dst.begin(), dst.end(), b.begin() + 24);
    size_t at = 40;
    for (size_t i = 0; i < s.extensions.size(); ++i) {
        const auto &[type, length] = s.extensions[i];
        b[at] = i + 1 < s.extensions.size() ? s.extensions[i + 1].first : 6;
        b[at + 1] = uint8_t(type == 51 ? length / 4 - 2 : length / 8 - 1);
        if (type == 44)
            Put16(b, at + 2, uint32_t(s.fragmentOffset) << 3);
        at += size_t(length);
    }
    PutTcp(b, tcp, s);
    return b;
}

} // namespace

std::vector<uint8_t> BuildIpv4Tcp(const TcpSegment &s)
{
    if (s.version == 6)
        return BuildIpv6Tcp(s);
    const size_t ihl = size_t(s.ipHeaderLength);
    const size_t thl = size_t(s.tcpHeaderLength);
    std::vector<uint8_t> b(ihl + thl + s.payload.size(), 0x01); // 0x01: NOP option filler
    const size_t total = s.totalLength >= 0 ? size_t(s.totalLength) : b.size();
    b[0] = uint8_t(0x40 | (ihl / 4));
    b[1] = 0;
    Put16(b, 2, uint32_t(total));
    Put16(b, 4, 0x1234);
    Put16(b, 6, s.fragment);
    b[8] = 64;
    b[9] = 6;
    Put16(b, 10, 0);
    Put32(b, 12, s.src);
    Put32(b, 16, s.dst);
    PutTcp(b, ihl, s);
    return b;
}

std::vector<uint8_t> BuildFrame(int linkType, std::span<const uint8_t> ip,
                                std::vector<uint16_t> vlans)
{
    const uint16_t type = (!ip.empty() && ip[0] >> 4 == 6) ? 0x86DD : 0x0800;
    std::vector<uint8_t> head;
    switch (linkType) {
    case 1: // Ethernet: addresses, then the tags, then the type
    case 113: { // Linux cooked v1: packet type, address type and length, address; the same after
        head = linkType == 1 ? std::vector<uint8_t>{2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1}
                             : std::vector<uint8_t>{0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0};
        for (size_t i = 0; i < vlans.size(); ++i) {
            const uint16_t tpid = vlans.size() == 2 && i == 0 ? 0x88A8 : 0x8100;
            head.insert(head.end(), {uint8_t(tpid >> 8), uint8_t(tpid), uint8_t(vlans[i] >> 8),
                                     uint8_t(vlans[i])});
        }
        head.insert(head.end(), {uint8_t(type >> 8), uint8_t(type)});
        break;
    }
    case 276: // Linux cooked v2: type, reserved, interface, address type, packet type, address
        head = {uint8_t(type >> 8), uint8_t(type), 0, 0, 0, 0, 0, 1, 0, 1, 0, 6,
                2, 0, 0, 0, 0, 1, 0, 0};
        break;
    case 0:   // BSD loopback, the address family in the writer's byte order (Linux: 2, 10)
    case 108: // the same in network byte order
        head = linkType == 0 ? std::vector<uint8_t>{uint8_t(type == 0x0800 ? 2 : 10), 0, 0, 0}
                             : std::vector<uint8_t>{0, 0, 0, uint8_t(type == 0x0800 ? 2 : 10)};
        break;
    default: // raw IP
        break;
    }
    head.insert(head.end(), ip.begin(), ip.end());
    return head;
}

std::vector<uint8_t> BuildEthernetFrame(std::span<const uint8_t> ip)
{
    return BuildEthernetFrame(ip, 0x0800);
}

std::vector<uint8_t> BuildEthernetFrame(std::span<const uint8_t> body, uint16_t etherType)
{
    std::vector<uint8_t> f(14 + body.size());
    const uint8_t macs[12] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
    std::copy(std::begin(macs), std::end(macs), f.begin());
    Put16(f, 12, etherType);
    std::copy(body.begin(), body.end(), f.begin() + 14);
    return f;
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto &c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = uint8_t(x);
    }
    return out;
}

CConversation::CConversation(uint32_t initiatorAddr, uint16_t initiatorPort, uint32_t responderAddr,
                             uint16_t responderPort, uint32_t initiatorIsn, uint32_t responderIsn,
                             int version)
    : m_nVersion(version), m_dwAddr{initiatorAddr, responderAddr}, m_wPort{initiatorPort, responderPort},
      m_dwIsn{initiatorIsn, responderIsn}, m_dwNext{initiatorIsn, responderIsn}
{
}

TcpSegment CConversation::Segment(int side, uint8_t flags) const
{
    TcpSegment s;
    s.src = m_dwAddr[side];
    s.dst = m_dwAddr[1 - side];
    s.sport = m_wPort[side];
    s.dport = m_wPort[1 - side];
    s.seq = m_dwNext[side];
    s.ack = (flags & TCP_ACK) ? m_dwNext[1 - side] : 0;
    s.flags = flags;
    s.version = m_nVersion;
    return s;
}

std::vector<uint8_t> CConversation::Send(int side, uint8_t flags, std::span<const uint8_t> payload)
{
    auto packet = SendAt(side, flags, m_dwNext[side], payload);
    m_dwNext[side] += uint32_t(payload.size());
    if (flags & TCP_SYN)
        m_dwNext[side] += 1;
    if (flags & TCP_FIN)
        m_dwNext[side] += 1;
    return packet;
}

std::vector<uint8_t> CConversation::SendAt(int side, uint8_t flags, uint32_t seq,
                                           std::span<const uint8_t> payload) const
{
    TcpSegment s = Segment(side, flags);
    s.seq = seq;
    s.payload.assign(payload.begin(), payload.end());
    return BuildIpv4Tcp(s);
}

std::vector<std::vector<uint8_t>> CConversation::Handshake()
{
    std::vector<std::vector<uint8_t>> out;
    out.push_back(Send(0, TCP_SYN));
    out.push_back(Send(1, TCP_SYN | TCP_ACK));
    out.push_back(Send(0, TCP_ACK));
    return out;
}

std::vector<std::vector<uint8_t>> CConversation::Close(int firstSide)
{
    std::vector<std::vector<uint8_t>> out;
    out.push_back(Send(firstSide, TCP_FIN | TCP_ACK));
    out.push_back(Send(1 - firstSide, TCP_FIN | TCP_ACK));
    out.push_back(Send(firstSide, TCP_ACK));
    return out;
}
