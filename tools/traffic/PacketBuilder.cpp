#include "PacketBuilder.h"

namespace {

// v into the four bytes of b at at, most significant first.
void Put(Bytes &b, size_t at, uint32_t v)
{
    for (size_t i = 4; i-- > 0; v >>= 8)
        b[at + i] = uint8_t(v);
}

} // namespace

Bytes BuildIpTcp(const TcpSegment &s)
{
    const size_t t = s.version == 4 ? 20 : 40;
    Bytes b(t + 20 + s.payload.size(), 0);
    if (s.version == 4) {
        Put(b, 0, 0x45000000u | uint32_t(b.size()));
        Put(b, 4, 0x12340000u | s.fragment);
        Put(b, 8, 0x40060000u);
        Put(b, 12, s.src);
        Put(b, 16, s.dst);
    } else {
        Put(b, 0, 0x60000000u);
        Put(b, 4, uint32_t(b.size() - 40) << 16 | 0x0640u);
        b[8] = b[24] = 0xfd;
        Put(b, 20, s.src);
        Put(b, 36, s.dst);
    }
    Put(b, t, uint32_t(s.sport) << 16 | s.dport);
    Put(b, t + 4, s.seq);
    Put(b, t + 8, s.ack);
    Put(b, t + 12, 0x50000000u | uint32_t(s.flags) << 16 | 0xffff);
    std::copy(s.payload.begin(), s.payload.end(), b.begin() + long(t + 20));
    return b;
}

Bytes BuildFrame(int linkType, std::span<const uint8_t> body, std::vector<uint16_t> vlans,
                 uint16_t etherType)
{
    const bool v6 = !body.empty() && body[0] >> 4 == 6;
    const uint16_t type = etherType ? etherType : v6 ? 0x86DD : 0x0800;
    Bytes head;
    switch (linkType) {
    case 1:   // Ethernet: addresses, the tags, the type
    case 113: // Linux cooked v1: packet type, address type and length, address; the same after
        head = linkType == 1 ? Bytes{2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1}
                             : Bytes{0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0};
        for (size_t i = 0; i < vlans.size(); ++i) {
            const uint16_t tpid = vlans.size() == 2 && i == 0 ? 0x88A8 : 0x8100;
            head.insert(head.end(), {uint8_t(tpid >> 8), uint8_t(tpid), uint8_t(vlans[i] >> 8),
                                     uint8_t(vlans[i])});
        }
        head.insert(head.end(), {uint8_t(type >> 8), uint8_t(type)});
        break;
    case 276: // Linux cooked v2: type, reserved, interface, address type, packet type, address
        head = {uint8_t(type >> 8), uint8_t(type), 0, 0, 0, 0, 0, 1, 0, 1};
        head.insert(head.end(), {0, 6, 2, 0, 0, 0, 0, 1, 0, 0});
        break;
    case 0:   // BSD loopback, the address family in the writer's byte order
    case 108: // the same in network byte order
        head = {0, 0, 0, 0};
        head[linkType == 0 ? 0 : 3] = v6 ? 10 : 2;
        break;
    }
    head.insert(head.end(), body.begin(), body.end());
    return head;
}

Bytes PatternBytes(size_t n, uint32_t seed)
{
    Bytes out(n);
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
    : m_nVersion(version), m_dwAddr{initiatorAddr, responderAddr}, m_wPort{initiatorPort,
                                                                           responderPort},
      m_dwIsn{initiatorIsn, responderIsn}, m_dwNext{initiatorIsn, responderIsn}
{
}

TcpSegment CConversation::Segment(int side, uint8_t flags) const
{
    return {.src = m_dwAddr[side],
            .dst = m_dwAddr[1 - side],
            .sport = m_wPort[side],
            .dport = m_wPort[1 - side],
            .seq = m_dwNext[side],
            .ack = (flags & TCP_ACK) ? m_dwNext[1 - side] : 0,
            .flags = flags,
            .version = m_nVersion};
}

Bytes CConversation::Send(int side, uint8_t flags, std::span<const uint8_t> payload)
{
    Bytes packet = SendAt(side, flags, m_dwNext[side], payload);
    m_dwNext[side] +=
        uint32_t(payload.size()) + ((flags & TCP_SYN) ? 1 : 0) + ((flags & TCP_FIN) ? 1 : 0);
    return packet;
}

Bytes CConversation::SendAt(int side, uint8_t flags, uint32_t seq,
                            std::span<const uint8_t> payload) const
{
    TcpSegment s = Segment(side, flags);
    s.seq = seq;
    s.payload.assign(payload.begin(), payload.end());
    return BuildIpTcp(s);
}

std::vector<Bytes> CConversation::Handshake()
{
    return {Send(0, TCP_SYN), Send(1, TCP_SYN | TCP_ACK), Send(0, TCP_ACK)};
}

std::vector<Bytes> CConversation::Close(int firstSide)
{
    return {Send(firstSide, TCP_FIN | TCP_ACK), Send(1 - firstSide, TCP_FIN | TCP_ACK),
            Send(firstSide, TCP_ACK)};
}
