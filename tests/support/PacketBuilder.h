#pragma once
#include <cstdint>
#include <span>
#include <vector>

// Builders for IPv4/TCP packets used by the tests, the fuzzers and the benchmark generator.

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
};

// IPv4 header + TCP header + payload, as the bytes would appear on the wire.
std::vector<uint8_t> BuildIpv4Tcp(const TcpSegment &segment);

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
                  uint16_t responderPort, uint32_t initiatorIsn, uint32_t responderIsn);

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
    uint32_t m_dwAddr[2];
    uint16_t m_wPort[2];
    uint32_t m_dwIsn[2];
    uint32_t m_dwNext[2];
};
