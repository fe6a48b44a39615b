#pragma once
#include <cstdint>

// Readers of single IPv4 and TCP header fields. Every multi-byte field is assembled from its
// bytes, the first byte most significant, so the results do not depend on the host's byte
// order. The readers check nothing: the caller guarantees that the bytes they read exist
// (20 bytes of IPv4 header; 14 bytes of TCP header). They are inline: the decoder calls them
// for every packet.

// The TCP flags that the engine looks at: bits of byte 13 of the TCP header.
constexpr uint8_t kTcpFin = 0x01;
constexpr uint8_t kTcpSyn = 0x02;
constexpr uint8_t kTcpRst = 0x04;
constexpr uint8_t kTcpAck = 0x10;

// Length of the link-layer header in front of the IP header for libpcap's link-layer type
// number, or -1 for a type that is not supported.
int GetDataLinkHeaderSize(int linkType);

// The 16-bit and 32-bit fields at p, first byte most significant.
inline uint16_t ReadBigEndian16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t ReadBigEndian32(const uint8_t *p)
{
    return (uint32_t(ReadBigEndian16(p)) << 16) | ReadBigEndian16(p + 2);
}

// IPv4 header length in bytes: the low 4 bits of byte 0 times 4 (0..60).
inline int GetIpHeaderLength(const uint8_t *ip) { return (ip[0] & 0x0f) * 4; }
// IPv4 total length, bytes 2-3 (0..65535).
inline int GetIpTotalLength(const uint8_t *ip) { return ReadBigEndian16(ip + 2); }
// Total length minus header length; negative when the total length is the smaller.
inline int GetIpPayloadLength(const uint8_t *ip)
{
    return GetIpTotalLength(ip) - GetIpHeaderLength(ip);
}
// Fragment offset in 8-byte units, the low 13 bits of bytes 6-7: 0 for an unfragmented
// datagram and for a first fragment.
inline int GetIpFragmentOffset(const uint8_t *ip) { return ReadBigEndian16(ip + 6) & 0x1fff; }
// The protocol carried, byte 9 (6 for TCP).
inline uint8_t GetIpProtocol(const uint8_t *ip) { return ip[9]; }
// Source address, bytes 12-15, byte 12 in the top 8 bits.
inline uint32_t GetIpSourceAddress(const uint8_t *ip) { return ReadBigEndian32(ip + 12); }
// Destination address, bytes 16-19, byte 16 in the top 8 bits.
inline uint32_t GetIpDestinationAddress(const uint8_t *ip) { return ReadBigEndian32(ip + 16); }

inline uint16_t GetTcpSourcePort(const uint8_t *tcp) { return ReadBigEndian16(tcp); }
inline uint16_t GetTcpDestinationPort(const uint8_t *tcp) { return ReadBigEndian16(tcp + 2); }
inline uint32_t GetTcpSequenceNumber(const uint8_t *tcp) { return ReadBigEndian32(tcp + 4); }
inline uint32_t GetTcpAckNumber(const uint8_t *tcp) { return ReadBigEndian32(tcp + 8); }
// TCP header length in bytes: the high 4 bits of byte 12 times 4 (0..60).
inline int GetTcpHeaderLength(const uint8_t *tcp) { return (tcp[12] >> 4) * 4; }
// The flags byte, byte 13 (see kTcpFin...).
inline uint8_t GetTcpFlags(const uint8_t *tcp) { return tcp[13]; }
// 1 when the flag's bit in byte 13 is set, else 0.
inline int IsTcpAck(const uint8_t *tcp) { return (GetTcpFlags(tcp) & kTcpAck) ? 1 : 0; }
inline int IsTcpRst(const uint8_t *tcp) { return (GetTcpFlags(tcp) & kTcpRst) ? 1 : 0; }
inline int IsTcpSyn(const uint8_t *tcp) { return (GetTcpFlags(tcp) & kTcpSyn) ? 1 : 0; }
inline int IsTcpFin(const uint8_t *tcp) { return (GetTcpFlags(tcp) & kTcpFin) ? 1 : 0; }
