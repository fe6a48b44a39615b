#pragma once
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

// Builders for TCP packets over IPv4 or IPv6, and the frames of several link layers around them,
// used by the tests, the fuzzers and the benchmark generator.

constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_ACK = 0x10;

struct TcpSegment
{
    uint32_t src = 0x0a000001;
    uint32_t dst = 0x0a000002;
    uint16_t sport = 40000;
    uint16_t dport = 80;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = 0;
    std::vector<uint8_t> payload;
    int ipHeaderLength = 20;  // 20..60, multiple of 4; options are filled with NOPs
    int tcpHeaderLength = 20; // 20..60, multiple of 4
    int totalLength = -1;     // the IPv4 total length field; -1: the real length
    uint16_t fragment = 0;    // flags and fragment offset field
    int version = 4;          // 6: an IPv6 header with the addresses as fd00::<IPv4 address>
    // IPv6 only: extension headers before TCP, each a next-header value (0, 43, 60, 51, 44)
    // and a total length in bytes (a multiple of 8; of 4 for 51).
    std::vector<std::pair<uint8_t, int>> extensions;
    uint16_t fragmentOffset = 0; // IPv6 only: the offset (in 8-byte units) of a fragment header
};

// IP header (IPv4 or IPv6, by segment.version) + TCP header + payload, as on the wire. For
// IPv6, totalLength >= 0 sets the payload length field instead.
std::vector<uint8_t> BuildIpv4Tcp(const TcpSegment &segment);

// The IPv6 address fd00::a.b.c.d for the IPv4 address a.b.c.d, as 16 bytes.
std::vector<uint8_t> Ipv6Of(uint32_t ipv4);

// A frame of libpcap's link-layer type linkType around an IP datagram: Ethernet (1) with the
// given VLAN tags (802.1Q, the outer one 802.1ad when there are two), Linux cooked capture
// v1 (113, tags after its type field as libpcap writes them) and v2 (276), raw IP (12), BSD
// loopback (0, 108, with Linux's address family values).
std::vector<uint8_t> BuildFrame(int linkType, std::span<const uint8_t> ip,
                                std::vector<uint16_t> vlans = {});

// An Ethernet II frame (14-byte header, type IPv4) around an IPv4 datagram.
std::vector<uint8_t> BuildEthernetFrame(std::span<const uint8_t> ip);

// A frame with an Ethernet header of another EtherType, for frames that are not IPv4.
std::vector<uint8_t> BuildEthernetFrame(std::span<const uint8_t> body, uint16_t etherType);

// Bytes 0..n-1 of a deterministic pattern that differs per seed, for payloads that can be
// checked afterwards.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

// One TCP connection between two endpoints, producing its packets with correct sequence
// and acknowledgement numbers. Side 0 is the initiator, side 1 the responder.
class CConversation
{
public:
    CConversation(uint32_t initiatorAddr, uint16_t initiatorPort, uint32_t responderAddr,
                  uint16_t responderPort, uint32_t initiatorIsn, uint32_t responderIsn,
                  int version = 4);

    // A packet from side with the given flags and payload at that side's next sequence
    // number; the ack is the other side's next number. Advances the side's sequence number
    // by the payload length, plus one for SYN and one for FIN.
    std::vector<uint8_t> Send(int side, uint8_t flags, std::span<const uint8_t> payload = {});

    // A packet at an explicit sequence number; changes no sequence state.
    std::vector<uint8_t> SendAt(int side, uint8_t flags, uint32_t seq,
                                std::span<const uint8_t> payload = {}) const;

    // The segment template for side at its current numbers, for tests that bend fields.
    TcpSegment Segment(int side, uint8_t flags) const;

    // SYN, SYN+ACK, ACK.
    std::vector<std::vector<uint8_t>> Handshake();

    // FIN+ACK from side, FIN+ACK from the other side, ACK from side.
    std::vector<std::vector<uint8_t>> Close(int firstSide);

    uint32_t NextSeq(int side) const { return m_dwNext[side]; }
    uint32_t Isn(int side) const { return m_dwIsn[side]; }

private:
    int m_nVersion;
    uint32_t m_dwAddr[2];
    uint16_t m_wPort[2];
    uint32_t m_dwIsn[2];
    uint32_t m_dwNext[2];
};
