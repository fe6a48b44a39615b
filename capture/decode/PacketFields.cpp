#include "PacketFields.h"

namespace {

uint32_t Read16(const uint8_t *p) { return (uint32_t(p[0]) << 8) | p[1]; }

uint32_t Read32(const uint8_t *p) { return (Read16(p) << 16) | Read16(p + 2); }

int Flag(const uint8_t *tcp, uint8_t bit) { return (tcp[13] & bit) ? 1 : 0; }

} // namespace

int GetDataLinkHeaderSize(int linkType)
{
    switch (linkType) {
    case 0: // DLT_NULL
        return 4;
    case 1: // DLT_EN10MB
        return 14;
    case 6: // DLT_IEEE802
        return 15;
    case 7: // DLT_ARCNET
        return 2;
    case 11: // DLT_ATM_RFC1483
        return 4;
    case 12: // DLT_RAW
        return 0;
    case 108: // DLT_LOOP
        return 4;
    case 113: // DLT_LINUX_SLL
        return 16;
    case 276: // DLT_LINUX_SLL2
        return 20;
    default:
        return -1;
    }
}

int GetIpHeaderLength(const uint8_t *ip) { return (ip[0] & 0x0f) * 4; }

int GetIpTotalLength(const uint8_t *ip) { return int(Read16(ip + 2)); }

int GetIpPayloadLength(const uint8_t *ip) { return GetIpTotalLength(ip) - GetIpHeaderLength(ip); }

uint32_t GetIpSourceAddress(const uint8_t *ip) { return Read32(ip + 12); }

uint32_t GetIpDestinationAddress(const uint8_t *ip) { return Read32(ip + 16); }

uint16_t GetTcpSourcePort(const uint8_t *tcp) { return uint16_t(Read16(tcp)); }

uint16_t GetTcpDestinationPort(const uint8_t *tcp) { return uint16_t(Read16(tcp + 2)); }

uint32_t GetTcpSequenceNumber(const uint8_t *tcp) { return Read32(tcp + 4); }

uint32_t GetTcpAckNumber(const uint8_t *tcp) { return Read32(tcp + 8); }

int GetTcpHeaderLength(const uint8_t *tcp) { return (tcp[12] >> 4) * 4; }

int IsTcpAck(const uint8_t *tcp) { return Flag(tcp, 0x10); }

int IsTcpRst(const uint8_t *tcp) { return Flag(tcp, 0x04); }

int IsTcpSyn(const uint8_t *tcp) { return Flag(tcp, 0x02); }

int IsTcpFin(const uint8_t *tcp) { return Flag(tcp, 0x01); }
