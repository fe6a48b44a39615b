#pragma once
#include <string>

// The libpcap filter expression a capture installs on a link of libpcap's type linkType.
// Packet Combine mode selects IPv4 and IPv6 TCP, tagged or not, as far as a filter can say it
// (the engine checks the rest: TCP behind IPv6 extension headers, the tags), and on a link that
// it cannot assemble, where the capture falls back to RAW mode, only what may be TCP; RAW mode
// selects everything. The user's own expression, when given, comes first, so that its offsets are
// those of untagged frames. Empty means no filter.
std::string CaptureFilterFor(int linkType, bool combine, const std::string &user);
