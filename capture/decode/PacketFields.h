#pragma once
#include <cstdint>

// Readers of single IPv4 and TCP header fields. Every multi-byte field is assembled from its
// bytes, the first byte most significant, so the results do not depend on the host's byte
// order. The readers check nothing: the caller guarantees that the bytes they read exist
// (20 bytes of IPv4 header; 14 bytes of TCP header).

// Length of the link-layer header in front of the IPv4 header for libpcap's link-layer type
// number, or -1 for a type that is not supported.
int GetDataLinkHeaderSize(int linkType);

// IPv4 header length in bytes: the low 4 bits of byte 0 times 4 (0..60).
int GetIpHeaderLength(const uint8_t *ip);
// IPv4 total length, bytes 2-3 (0..65535).
int GetIpTotalLength(const uint8_t *ip);
// Total length minus header length; negative when the total length is the smaller.
int GetIpPayloadLength(const uint8_t *ip);
// Source address, bytes 12-15, byte 12 in the top 8 bits.
uint32_t GetIpSourceAddress(const uint8_t *ip);
// Destination address, bytes 16-19, byte 16 in the top 8 bits.
uint32_t GetIpDestinationAddress(const uint8_t *ip);

uint16_t GetTcpSourcePort(const uint8_t *tcp);
uint16_t GetTcpDestinationPort(const uint8_t *tcp);
uint32_t GetTcpSequenceNumber(const uint8_t *tcp);
uint32_t GetTcpAckNumber(const uint8_t *tcp);
// TCP header length in bytes: the high 4 bits of byte 12 times 4 (0..60).
int GetTcpHeaderLength(const uint8_t *tcp);
// 1 when the flag's bit in byte 13 is set, else 0.
int IsTcpAck(const uint8_t *tcp);
int IsTcpRst(const uint8_t *tcp);
int IsTcpSyn(const uint8_t *tcp);
int IsTcpFin(const uint8_t *tcp);
