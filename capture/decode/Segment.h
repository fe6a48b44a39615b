#pragma once
#include "PacketFields.h"

#include <cstddef>
#include <cstdint>

// One end of a TCP connection: an address of either IP version and a port.
struct CEndpoint
{
    uint8_t byAddress[16] = {}; // an IPv4 address fills the first 4 bytes, the rest stay 0
    uint16_t wPort = 0;
    bool operator==(const CEndpoint &) const = default;
};

// A captured TCP segment, decoded: who sent it to whom, its numbers and flags, and where its
// payload lies in the captured bytes.
struct CSegment
{
    uint8_t byVersion = 4; // IP version, 4 or 6
    uint32_t dwVlan = 0;   // the VLAN tags' IDs (see kVlanTagged), 0 when untagged
    CEndpoint source;
    CEndpoint destination;
    uint32_t dwSeq = 0;
    uint32_t dwAck = 0;
    uint8_t byFlags = 0; // TCP flags byte (kTcpFin...)
    const uint8_t *pPayload = nullptr;
    // The payload length that the headers announce: IP length less the IP and TCP headers,
    // 0 or negative when the length fields say there is none.
    long nAnnounced = 0;
    // The announced payload bytes that were captured: at most nAnnounced, 0 when none.
    long nCaptured = 0;
    int64_t llTime = 0; // capture time stamp, microseconds since 1970 (UTC)

    bool IsSyn() const { return byFlags & kTcpSyn; }
    bool IsAck() const { return byFlags & kTcpAck; }
    bool IsFin() const { return byFlags & kTcpFin; }
    bool IsRst() const { return byFlags & kTcpRst; }
};

// dwVlan of a frame with one tag holds its ID in bits 0..11 and kVlanTagged; with two tags,
// the outer ID in bits 12..23, the inner one in bits 0..11, and kVlanTagged | kVlanDouble.
constexpr uint32_t kVlanTagged = 1u << 24;
constexpr uint32_t kVlanDouble = 1u << 25;

// Decodes a TCP segment from an IP datagram (IPv4 or IPv6, by the version nibble) of which
// captured bytes are present at ip. False when it is not TCP, when a header (TCP's with its
// options too) was not captured whole or claims less than its fixed size, for a later fragment
// (it carries no TCP header) and for an IPv6 jumbogram. Only captured bytes are ever read.
bool DecodeIp(const uint8_t *ip, size_t captured, CSegment &segment);

// Decodes a TCP segment from a captured frame of libpcap's link-layer type linkType, skipping
// the link-layer header and, on Ethernet and Linux cooked captures, up to two VLAN tags. False
// for a frame that holds no decodable TCP segment, as for DecodeIp.
bool DecodeFrame(int linkType, const uint8_t *frame, size_t captured, CSegment &segment);
