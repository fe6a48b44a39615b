#pragma once
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

// Builders of TCP packets over IPv4 or IPv6 and of the frames of several link layers around
// them, for the tests, the fuzzers and the benchmark generator.

using Bytes = std::vector<uint8_t>;

constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_ACK = 0x10;

struct TcpSegment
{
    uint32_t src = 0x0a000001; // IPv4 a.b.c.d; over IPv6 the address fd00::a.b.c.d
    uint32_t dst = 0x0a000002;
    uint16_t sport = 40000;
    uint16_t dport = 80;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = 0;
    Bytes payload = {};
    int version = 4;
    uint16_t fragment = 0; // IPv4 flags and fragment offset field
};

// IP header + TCP header + payload, as on the wire: an IPv4 header of 20 bytes (TTL 64, no
// checksum) or an IPv6 header without extension headers, then a TCP header of 20 bytes.
Bytes BuildIpTcp(const TcpSegment &segment);

// A frame of libpcap's link-layer type around body: Ethernet (1, with VLAN tags: 802.1Q, the
// outer one 802.1ad when there are two), Linux cooked capture v1 (113, tags after its type
// field as libpcap writes them) and v2 (276), BSD loopback (0, 108, Linux's address family
// values), anything else bare. The type field says IPv4 or IPv6 by body's version nibble
// unless etherType is given.
Bytes BuildFrame(int linkType, std::span<const uint8_t> body, std::vector<uint16_t> vlans = {},
                 uint16_t etherType = 0);

// Appends more to packets.
inline void Append(std::vector<Bytes> &packets, const std::vector<Bytes> &more)
{
    packets.insert(packets.end(), more.begin(), more.end());
}

// n bytes of a deterministic pattern that differs per seed.
Bytes PatternBytes(size_t n, uint32_t seed);

// One TCP connection producing its packets with correct sequence and acknowledgement numbers.
// Side 0 is the initiator, side 1 the responder.
class CConversation
{
public:
    CConversation(uint32_t initiatorAddr, uint16_t initiatorPort, uint32_t responderAddr,
                  uint16_t responderPort, uint32_t initiatorIsn, uint32_t responderIsn,
                  int version = 4);

    // A packet from side at its next sequence number, acknowledging the other side's next;
    // advances the side by the payload, plus one for SYN and one for FIN.
    Bytes Send(int side, uint8_t flags, std::span<const uint8_t> payload = {});
    // A packet at an explicit sequence number; changes nothing.
    Bytes SendAt(int side, uint8_t flags, uint32_t seq,
                 std::span<const uint8_t> payload = {}) const;
    // The segment side would send now, for tests that bend fields.
    TcpSegment Segment(int side, uint8_t flags) const;
    // SYN, SYN+ACK, ACK.
    std::vector<Bytes> Handshake();
    // FIN+ACK from side, FIN+ACK from the other side, ACK from side.
    std::vector<Bytes> Close(int firstSide);

    uint32_t NextSeq(int side) const { return m_dwNext[side]; }
    uint32_t Isn(int side) const { return m_dwIsn[side]; }

private:
    int m_nVersion;
    uint32_t m_dwAddr[2];
    uint16_t m_wPort[2];
    uint32_t m_dwIsn[2];
    uint32_t m_dwNext[2];
};
