#include "CaptureFilter.h"

#include "PacketFields.h"

#include <pcap/dlt.h>

namespace {

// IPv4 TCP, and IPv6 unless it is plainly UDP or ICMPv6: TCP may hide behind extension headers
// that a filter program cannot walk (the kernel does not run `ip6 protochain`).
const char *const kIpTcp = "(ip proto 6 or (ip6 and not ip6 proto 17 and not ip6 proto 58))";

// What a capture that falls back to RAW mode keeps, with no engine to check the rest: IPv4 TCP,
// and IPv6 whose first next header is TCP or one that can lead to it (hop-by-hop, routing,
// fragment, authentication, destination options), a test the kernel runs by offset.
const char *const kFallbackIpTcp =
    "(ip proto 6 or (ip6 and (ip6[6] = 6 or ip6[6] = 0 or ip6[6] = 43 or ip6[6] = 44 or "
    "ip6[6] = 51 or ip6[6] = 60)))";

// The same by the bytes after a 4-byte header: BSD loopback's address-family word differs
// between the systems that write it, so the IP version nibble decides.
const char *const kLoopbackIpTcp = "((link[4] & 0xf0 = 0x40 and link[13] = 6) or "
                                   "(link[4] & 0xf0 = 0x60 and link[10] != 17 and link[10] != 58))";

std::string Selection(int linkType)
{
    const std::string ipTcp = kIpTcp;
    switch (linkType) {
    case DLT_EN10MB: // one or two VLAN tags; each `vlan` moves the offsets on by a tag
        return "(" + ipTcp + " or (vlan and (" + ipTcp + " or (vlan and " + ipTcp + "))))";
    case DLT_LINUX_SLL: // libpcap puts the tags the kernel took back after the type field, and
                        // `vlan` is refused here, so tagged frames pass to the engine
        return "(" + ipTcp +
               " or link[14:2] = 0x8100 or link[14:2] = 0x88a8 or link[14:2] = 0x9100)";
    case DLT_NULL:
    case DLT_LOOP:
        return kLoopbackIpTcp;
    default: // a link that Packet Combine mode cannot assemble falls back to RAW mode
        return GetDataLinkHeaderSize(linkType) < 0 ? kFallbackIpTcp : ipTcp;
    }
}

} // namespace

std::string CaptureFilterFor(int linkType, bool combine, const std::string &user)
{
    if (!combine)
        return user;
    if (user.empty())
        return Selection(linkType);
    return "(" + user + ") and " + Selection(linkType);
}
