#include "Segment.h"

#include "PacketFields.h"

#include <cstring>

namespace {

constexpr size_t kIpv4HeaderMinimum = 20;
constexpr size_t kIpv6Header = 40;
constexpr size_t kTcpHeaderRead = 14; // ports, numbers, data offset and flags
constexpr int kTcpHeaderMinimum = 20;
constexpr uint8_t kProtocolTcp = 6;

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr int kMaxVlanTags = 2;

// Link-layer types whose header names the protocol it carries (in a type field at this offset)
// and may be followed by VLAN tags.
constexpr int kLinkEthernet = 1;    // DLT_EN10MB
constexpr int kLinkLinuxSll = 113;  // DLT_LINUX_SLL
constexpr int kLinkLinuxSll2 = 276; // DLT_LINUX_SLL2

uint16_t Read16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

bool IsVlanTag(uint16_t type) { return type == 0x8100 || type == 0x88A8 || type == 0x9100; }

// Fills in the TCP part of segment from the TCP header at tcp. ipHeaders counts the bytes from
// the IP header's start to tcp; ipLength the datagram's bytes from there on (the IPv4 total
// length, or the IPv6 header and payload length).
bool DecodeTcp(const uint8_t *ip, size_t captured, size_t ipHeaders, long ipLength,
               CSegment &segment)
{
    if (captured < ipHeaders + kTcpHeaderRead)
        return false;
    const uint8_t *tcp = ip + ipHeaders;
    const int tcpHeader = GetTcpHeaderLength(tcp);
    // A header length below the fixed 20 bytes would make header bytes count as payload.
    if (tcpHeader < kTcpHeaderMinimum)
        return false;
    segment.source.wPort = GetTcpSourcePort(tcp);
    segment.destination.wPort = GetTcpDestinationPort(tcp);
    segment.dwSeq = GetTcpSequenceNumber(tcp);
    segment.dwAck = GetTcpAckNumber(tcp);
    segment.byFlags = tcp[13];
    const size_t headers = ipHeaders + size_t(tcpHeader);
    segment.pPayload = tcp + tcpHeader;
    segment.nAnnounced = ipLength - long(headers);
    const long present = captured > headers ? long(captured - headers) : 0;
    segment.nCaptured = segment.nAnnounced > 0 && present > 0
                            ? (present < segment.nAnnounced ? present : segment.nAnnounced)
                            : 0;
    return true;
}

bool DecodeIpv4(const uint8_t *ip, size_t captured, CSegment &segment)
{
    if (captured < kIpv4HeaderMinimum)
        return false;
    const size_t header = size_t(GetIpHeaderLength(ip));
    // A later fragment carries no TCP header where one would be read.
    const bool laterFragment = ((ip[6] & 0x1F) | ip[7]) != 0;
    if (header < kIpv4HeaderMinimum || ip[9] != kProtocolTcp || laterFragment)
        return false;
    segment.byVersion = 4;
    segment.source = {};
    segment.destination = {};
    std::memcpy(segment.source.byAddress, ip + 12, 4);
    std::memcpy(segment.destination.byAddress, ip + 16, 4);
    return DecodeTcp(ip, captured, header, GetIpTotalLength(ip), segment);
}

// Walks the extension headers that may stand between the IPv6 header and TCP. Returns the
// offset of the TCP header, or 0 when the datagram is not TCP, is a later fragment or a header
// was not captured.
size_t FindIpv6Tcp(const uint8_t *ip, size_t captured)
{
    uint8_t next = ip[6];
    size_t offset = kIpv6Header;
    for (;;) {
        if (next == kProtocolTcp)
            return offset;
        if (offset + 8 > captured)
            return 0;
        const uint8_t *header = ip + offset;
        switch (next) {
        case 0:  // hop-by-hop options
        case 43: // routing
        case 60: // destination options
            offset += (size_t(header[1]) + 1) * 8;
            break;
        case 51: // authentication header
            offset += (size_t(header[1]) + 2) * 4;
            break;
        case 44: // fragment: only the first fragment holds the TCP header
            if ((Read16(header + 2) >> 3) != 0)
                return 0;
            offset += 8;
            break;
        default:
            return 0;
        }
        next = header[0];
    }
}

bool DecodeIpv6(const uint8_t *ip, size_t captured, CSegment &segment)
{
    if (captured < kIpv6Header)
        return false;
    const long payloadLength = Read16(ip + 4);
    // A jumbogram's length lives in an option: not followed.
    if (payloadLength == 0)
        return false;
    const size_t tcp = FindIpv6Tcp(ip, captured);
    if (tcp == 0)
        return false;
    segment.byVersion = 6;
    std::memcpy(segment.source.byAddress, ip + 8, 16);
    std::memcpy(segment.destination.byAddress, ip + 24, 16);
    return DecodeTcp(ip, captured, tcp, long(kIpv6Header) + payloadLength, segment);
}

// Finds the IP header of a frame whose protocol type field stands at typeOffset, after any
// VLAN tags (recorded in segment). False when the frame does not carry IP.
bool SkipTypeField(const uint8_t *frame, size_t captured, size_t typeOffset, size_t &ip,
                   CSegment &segment)
{
    for (int tags = 0;; ++tags) {
        if (typeOffset + 2 > captured)
            return false;
        const uint16_t type = Read16(frame + typeOffset);
        if (type == kEtherTypeIpv4 || type == kEtherTypeIpv6) {
            ip = typeOffset + 2;
            return true;
        }
        if (!IsVlanTag(type) || tags == kMaxVlanTags || typeOffset + 6 > captured)
            return false;
        const uint32_t id = Read16(frame + typeOffset + 2) & 0x0FFFu;
        segment.dwVlan = tags == 0
                             ? (kVlanTagged | id)
                             : (kVlanTagged | kVlanDouble | (segment.dwVlan & 0x0FFFu) << 12 | id);
        typeOffset += 4;
    }
}

} // namespace

bool DecodeIp(const uint8_t *ip, size_t captured, CSegment &segment)
{
    if (captured < 1)
        return false;
    switch (ip[0] >> 4) {
    case 4:
        return DecodeIpv4(ip, captured, segment);
    case 6:
        return DecodeIpv6(ip, captured, segment);
    default:
        return false;
    }
}

bool DecodeFrame(int linkType, const uint8_t *frame, size_t captured, CSegment &segment)
{
    size_t ip = 0;
    segment.dwVlan = 0;
    switch (linkType) {
    case kLinkEthernet:
        if (!SkipTypeField(frame, captured, 12, ip, segment))
            return false;
        break;
    case kLinkLinuxSll:
        if (!SkipTypeField(frame, captured, 14, ip, segment))
            return false;
        break;
    case kLinkLinuxSll2:
        // The kernel keeps this header's tags to itself: none follow its type field.
        if (!SkipTypeField(frame, captured, 0, ip, segment) || segment.dwVlan != 0)
            return false;
        ip = size_t(GetDataLinkHeaderSize(linkType));
        break;
    default: {
        const int header = GetDataLinkHeaderSize(linkType);
        if (header < 0)
            return false;
        ip = size_t(header);
        break;
    }
    }
    if (ip > captured)
        return false;
    return DecodeIp(frame + ip, captured - ip, segment);
}
