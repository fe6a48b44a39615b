#include "Segment.h"

#include "PacketFields.h"

#include <cstring>
#include <netinet/in.h>
#include <pcap/dlt.h>

namespace {

constexpr size_t kIpv4HeaderMinimum = 20;
constexpr size_t kIpv6Header = 40;
constexpr int kTcpHeaderMinimum = 20;

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr int kMaxVlanTags = 2;
// A VLAN tag's control field holds 3 priority bits, the drop-eligible bit and the 12-bit ID.
constexpr uint32_t kVlanIdMask = 0x0FFF;

bool IsVlanTag(uint16_t type) { return type == 0x8100 || type == 0x88A8 || type == 0x9100; }

// An IPv4 address into the first 4 bytes of an endpoint's address, the rest 0.
void StoreAddress(CEndpoint &endpoint, uint32_t address)
{
    endpoint = {};
    for (int i = 0; i < 4; ++i)
        endpoint.byAddress[i] = uint8_t(address >> (24 - 8 * i));
}

// Fills in the TCP part of segment from the TCP header at tcp. ipHeaders counts the bytes from
// the IP header's start to tcp; ipLength the datagram's bytes from there on (the IPv4 total
// length, or the IPv6 header and payload length).
bool DecodeTcp(const uint8_t *ip, size_t captured, size_t ipHeaders, long ipLength,
               CSegment &segment)
{
    if (captured < ipHeaders + kTcpHeaderMinimum)
        return false;
    const uint8_t *tcp = ip + ipHeaders;
    const int tcpHeader = GetTcpHeaderLength(tcp);
    // A header length below the fixed 20 bytes would make header bytes count as payload. A
    // header cut short (a small snap length) makes no segment: where its payload begins, and
    // what of it is missing, are not known.
    if (tcpHeader < kTcpHeaderMinimum || captured < ipHeaders + size_t(tcpHeader))
        return false;
    segment.source.wPort = GetTcpSourcePort(tcp);
    segment.destination.wPort = GetTcpDestinationPort(tcp);
    segment.dwSeq = GetTcpSequenceNumber(tcp);
    segment.dwAck = GetTcpAckNumber(tcp);
    segment.byFlags = GetTcpFlags(tcp);
    const size_t headers = ipHeaders + size_t(tcpHeader);
    segment.pPayload = tcp + tcpHeader;
    segment.nAnnounced = ipLength - long(headers);
    const long present = long(captured - headers);
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
    if (header < kIpv4HeaderMinimum || GetIpProtocol(ip) != IPPROTO_TCP ||
        GetIpFragmentOffset(ip) != 0)
        return false;
    segment.byVersion = 4;
    StoreAddress(segment.source, GetIpSourceAddress(ip));
    StoreAddress(segment.destination, GetIpDestinationAddress(ip));
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
        if (next == IPPROTO_TCP)
            return offset;
        if (offset + 8 > captured)
            return 0;
        const uint8_t *header = ip + offset;
        switch (next) {
        case IPPROTO_HOPOPTS:
        case IPPROTO_ROUTING:
        case IPPROTO_DSTOPTS:
            offset += (size_t(header[1]) + 1) * 8;
            break;
        case IPPROTO_AH:
            offset += (size_t(header[1]) + 2) * 4;
            break;
        case IPPROTO_FRAGMENT: // only the first fragment, at offset 0, holds the TCP header
            if ((ReadBigEndian16(header + 2) >> 3) != 0)
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
    const long payloadLength = ReadBigEndian16(ip + 4);
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

// The offset of the IP header in a frame whose protocol type field stands at typeOffset, after
// any VLAN tags (recorded in segment); 0 when the frame does not carry IP.
size_t SkipTypeField(const uint8_t *frame, size_t captured, size_t typeOffset, CSegment &segment)
{
    for (int tags = 0;; ++tags) {
        if (typeOffset + 2 > captured)
            return 0;
        const uint16_t type = ReadBigEndian16(frame + typeOffset);
        if (type == kEtherTypeIpv4 || type == kEtherTypeIpv6)
            return typeOffset + 2;
        if (!IsVlanTag(type) || tags == kMaxVlanTags || typeOffset + 6 > captured)
            return 0;
        const uint32_t id = ReadBigEndian16(frame + typeOffset + 2) & kVlanIdMask;
        segment.dwVlan =
            tags == 0 ? (kVlanTagged | id)
                      : (kVlanTagged | kVlanDouble | (segment.dwVlan & kVlanIdMask) << 12 | id);
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
    segment.dwVlan = 0;
    const int header = GetDataLinkHeaderSize(linkType);
    if (header < 0)
        return false;
    size_t ip = size_t(header);
    switch (linkType) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
        // The header ends with the protocol type field; VLAN tags may follow it.
        ip = SkipTypeField(frame, captured, ip - 2, segment);
        if (ip == 0)
            return false;
        break;
    case DLT_LINUX_SLL2:
        // The type field comes first. The kernel keeps this header's tags to itself: none
        // follow its type field.
        if (SkipTypeField(frame, captured, 0, segment) == 0 || segment.dwVlan != 0)
            return false;
        break;
    default:
        break;
    }
    if (ip > captured)
        return false;
    return DecodeIp(frame + ip, captured - ip, segment);
}
