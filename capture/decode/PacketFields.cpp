#include "PacketFields.h"

#include <pcap/dlt.h>

// libpcap numbers raw IP 12 and BSD loopback 108 everywhere but on OpenBSD, where DLT_RAW is 14
// and DLT_LOOP 12; the table below is keyed by the first numbers, which are those of Linux.
static_assert(DLT_RAW == 12 && DLT_LOOP == 108, "libpcap's link-layer numbers of Linux");

int GetDataLinkHeaderSize(int linkType)
{
    switch (linkType) {
    case DLT_NULL:
        return 4;
    case DLT_EN10MB:
        return 14;
    case DLT_IEEE802:
        return 15;
    case DLT_ARCNET:
        return 2;
    case DLT_ATM_RFC1483:
        return 4;
    case DLT_RAW:
        return 0;
    case DLT_LOOP:
        return 4;
    case DLT_LINUX_SLL:
        return 16;
    case DLT_LINUX_SLL2:
        return 20;
    default:
        return -1;
    }
}
