// The decoder on literal frames of every link layer it knows, and the field readers at their
// edges. Each row names its bytes and the fields they must give, so that a failure says which
// row and which field.
#include "CaptureFilter.h"
#include "Segment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <pcap/pcap.h>
#include <sstream>

namespace {

// Every field of want ("key=value" words, a later word replacing an earlier one of the same
// key, a word without '=' its own value) must have that value in got.
void ExpectFields(const std::string &got, const std::string &want)
{
    auto parse = [](const std::string &text) {
        std::map<std::string, std::string> fields;
        std::istringstream in(text);
        for (std::string word; in >> word;)
            fields[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
        return fields;
    };
    const auto fields = parse(got);
    for (const auto &[key, value] : parse(want))
        EXPECT_EQ(fields.count(key) ? fields.at(key) : "(none)", value) << "field " << key;
}

std::vector<uint8_t> FromHex(const std::string &hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// hex with the bytes at offset replaced.
std::string With(std::string hex, size_t offset, const std::string &bytes)
{
    return hex.replace(2 * offset, bytes.size(), bytes);
}

std::string Describe(const CSegment &s)
{
    char src[INET6_ADDRSTRLEN], dst[INET6_ADDRSTRLEN];
    const int family = s.byVersion == 4 ? AF_INET : AF_INET6;
    inet_ntop(family, s.source.byAddress, src, sizeof src);
    inet_ntop(family, s.destination.byAddress, dst, sizeof dst);
    std::ostringstream out;
    out << "v=" << int(s.byVersion) << " src=" << src << " dst=" << dst
        << " sport=" << s.source.wPort << " dport=" << s.destination.wPort
        << " len=" << s.nAnnounced << std::hex << " vlan=" << s.dwVlan << " seq=" << s.dwSeq
        << " ack=" << s.dwAck << " flags=" << int(s.byFlags) << " is=" << (s.IsFin() ? "F" : "")
        << (s.IsSyn() ? "S" : "") << (s.IsRst() ? "R" : "") << (s.IsAck() ? "A" : "") << " data=";
    for (long i = 0; i < s.nCaptured; ++i)
        out << (s.pPayload[i] >> 4) << (s.pPayload[i] & 15);
    return out.str();
}

// Whether Packet Combine mode's capture filter for link lets frame through.
bool FilterPasses(int link, const std::vector<uint8_t> &frame)
{
    pcap_t *dead = pcap_open_dead(link, 65535);
    bpf_program program;
    bool passes = false;
    const std::string filter = CaptureFilterFor(link, true, "");
    if (pcap_compile(dead, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
        const pcap_pkthdr header{{}, bpf_u_int32(frame.size()), bpf_u_int32(frame.size())};
        passes = pcap_offline_filter(&program, &header, frame.data()) != 0;
        pcap_freecode(&program);
    }
    pcap_close(dead);
    return passes;
}

// 10.0.0.1 to 10.0.0.2 (total length 44, DF) and fd00::1 to fd00::2 (payload length 24), each
// carrying TCP from port 1000 to 80, seq 11223344, ack 55667788, PSH+ACK, payload deadbeef.
const std::string kMac = "020000000002020000000001", kSll = "0000000100060200000000010000";
const std::string kIp4 = "4500002c00004000400600000a0000010a000002";
const std::string kIp6 = "6000000000180640fd000000000000000000000000000001"
                         "fd000000000000000000000000000002";
const std::string kTcp = "03e8005011223344556677885018ffff00000000", kData = "deadbeef";
const std::string kV4 = kIp4 + kTcp + kData, kV6 = kIp6 + kTcp + kData, kEth4 = kMac + "0800" + kV4;
const std::string kWant4 = "v=4 src=10.0.0.1 dst=10.0.0.2 sport=1000 dport=80 vlan=0 seq=11223344 "
                           "ack=55667788 flags=18 is=A len=4 data=deadbeef";
const std::string kWant6 = kWant4 + " v=6 src=fd00::1 dst=fd00::2";
const std::string kFrag6 = With(kIp6, 4, "00202c"); // a fragment header (8 bytes) before TCP
// Hop-by-hop (8 bytes), routing (16), destination options (8), authentication (12), TCP.
const std::string kChain = With(kIp6, 4, "004400") +
                           "2b000000000000003c010000000000000000000000000000" +
                           "3300000000000000060100000000000000000000" + kTcp + kData;

struct Row
{
    const char *name;
    int link; // libpcap's link-layer type
    std::string frame;
    std::string want; // the fields decoded, or "refused"
    size_t captured = size_t(-1);
};

const Row kRows[] = {
    {"Ethernet IPv4", 1, kEth4, kWant4},
    {"Ethernet IPv6", 1, kMac + "86dd" + kV6, kWant6},
    {"Linux cooked v1", 113, kSll + "0800" + kV4, kWant4},
    {"Linux cooked v2", 276, "86dd000000000001000100060200000000010000" + kV6, kWant6},
    {"null, AF_INET", 0, "02000000" + kV4, kWant4},
    {"loop, OpenBSD AF_INET6", 108, "00000018" + kV6, kWant6},
    {"raw IPv4", 12, kV4, kWant4},
    {"raw IPv6", 12, kV6, kWant6},
    {"IP version 5", 12, With(kV4, 0, "55"), "refused"},
    {"link type 228", 228, kV4, "refused"},
    {"101, raw IP in capture files only", 101, kV4, "refused"},
    {"14, raw IP elsewhere", 14, kV4, "refused"},
    // IEEE 802.5, ARCNET and ATM: IP behind the header lengths of the link-type table is read,
    // but real frames put it further on (LLC/SNAP; RFC 1201): their traffic is not assembled.
    {"IEEE 802.5, 15-byte header", 6, "1040" + kMac + "aa" + kV4, kWant4},
    {"IEEE 802.5, LLC/SNAP", 6, "1040" + kMac + "aaaa030000000800" + kV4, "refused"},
    {"ARCNET, 2-byte header", 7, "0102" + kV4, kWant4},
    {"ARCNET, RFC 1201", 7, "0102d4000000" + kV4, "refused"},
    {"ATM RFC 1483, 4-byte header", 11, "00000000" + kV4, kWant4},
    {"ATM RFC 1483, LLC/SNAP", 11, "aaaa030000000800" + kV4, "refused"},
    // vlan: 0x1000000 tagged, 0x2000000 two tags, the outer ID << 12 | the inner ID.
    {"802.1Q", 1, kMac + "810000640800" + kV4, kWant4 + " vlan=1000064"},
    {"priority and DEI bits", 1, kMac + "8100f0640800" + kV4, kWant4 + " vlan=1000064"},
    {"0x9100", 1, kMac + "9100000586dd" + kV6, kWant6 + " vlan=1000005"},
    {"802.1ad 200, 802.1Q 100", 1, kMac + "88a8e0c88100b0640800" + kV4, kWant4 + " vlan=30c8064"},
    {"three tags", 1, kMac + "810000018100000281000003" + "0800" + kV4, "refused"},
    {"Linux cooked v1, tag", 113, kSll + "9100e0640800" + kV4, kWant4 + " vlan=1000064"},
    {"cut in Ethernet", 1, kEth4, "refused", 13},
    {"cut in a tag", 1, kMac + "810000640800" + kV4, "refused", 17},
    {"cut in IPv4", 1, kEth4, "refused", 14 + 19},
    {"cut in TCP's header", 1, kEth4, "refused", 14 + 20 + 19},
    {"cut in TCP's options", 12, With(kIp4, 2, "0030") + With(kTcp, 12, "60") + "01010101",
     "refused", 20 + 23},
    {"cut after TCP's header", 1, kEth4, kWant4 + " data=", 14 + 20 + 20},
    {"payload cut short", 1, kEth4, kWant4 + " data=dead", 14 + 40 + 2},
    {"Ethernet padding", 1, kEth4 + "0000", kWant4},
    {"cut in IPv6", 12, kV6, "refused", 39},
    {"cut in a routing header", 12, kChain, "refused", 40 + 8 + 7},
    {"IPv4 header length 16", 12, With(kV4, 0, "44"), "refused"},
    {"IPv4 options", 12, "46000030" + kIp4.substr(8) + "01010101" + kTcp + kData, kWant4},
    {"IPv4 first fragment", 12, With(kV4, 6, "2000"), kWant4},
    {"IPv4 later fragment", 12, With(kV4, 6, "2001"), "refused"},
    {"IPv4 UDP", 12, With(kV4, 9, "11"), "refused"},
    {"IPv6 extension headers", 12, kChain, kWant6},
    {"IPv6 first fragment", 12, kFrag6 + "0600000100000007" + kTcp + kData, kWant6},
    {"IPv6 later fragment", 12, kFrag6 + "0600000900000007" + kTcp + kData, "refused"},
    {"IPv6 jumbogram", 12, With(kV6, 4, "0000"), "refused"},
    {"TCP header length 16", 12, With(kV4, 32, "40"), "refused"},
    {"TCP options", 12, With(kIp4, 2, "0030") + With(kTcp, 12, "60") + "01010101" + kData, kWant4},
    {"SYN+ACK", 12, With(kV4, 33, "12"), kWant4 + " flags=12 is=SA"},
    {"FIN+ACK", 12, With(kV4, 33, "11"), kWant4 + " flags=11 is=FA"},
    {"RST", 12, With(kV4, 33, "04"), kWant4 + " flags=4 is=R"},
};

} // namespace

// Every frame the decoder reads must also pass the capture filter, except on the links whose
// real headers the filter reads and the decoder does not (IEEE 802.5, ARCNET, ATM).
TEST(DecodeTest, FramesOfEveryLinkLayer)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> frame = FromHex(row.frame);
        frame.resize(std::min(frame.size(), row.captured)); // a read past it is caught
        CSegment segment;
        const bool decoded = DecodeFrame(row.link, frame.data(), frame.size(), segment);
        ExpectFields(decoded ? Describe(segment) : "refused", row.want);
        const bool tableHeaderOnly = row.link == 6 || row.link == 7 || row.link == 11;
        EXPECT_TRUE(!decoded || tableHeaderOnly || FilterPasses(row.link, frame)) << "filtered";
    }
    // Where the capture falls back to RAW mode, IPv6 passes only when it may carry TCP.
    EXPECT_TRUE(FilterPasses(229, FromHex(kChain)));
    EXPECT_FALSE(FilterPasses(229, FromHex(With(kV6, 6, "32")))) << "ESP";
}

// The readers on the same bytes, taken as an IPv4 and as a TCP header (60 bytes, zeros after
// the row's; the sequence and acknowledgement numbers are in the frames above);
// fsra: IsTcpFin, IsTcpSyn, IsTcpRst, IsTcpAck.
TEST(DecodeTest, FieldReadersAtTheirEdges)
{
    const std::pair<const char *, const char *> rows[] = {
        {"450000280000000000000000c0a80001", "ihl=20 total=40 payload=20 src=3232235521"},
        {"4f000100", "ihl=60 total=256"},
        {"4000ffff", "ihl=0 total=65535"},
        {"65000000", "ihl=20 payload=-20"},
        {"0050ffff00000000000000005012", "sport=80 dport=65535 thl=20 fsra=0101"},
        {"000000000000000000000000f011000000000001", "thl=60 fsra=1001 dst=1"},
        {"0000000000000000000000005f04", "thl=20 fsra=0010"},
    };
    for (const auto &[hex, want] : rows) {
        SCOPED_TRACE(hex);
        const std::vector<uint8_t> p = FromHex(hex + std::string(120, '0'));
        const uint8_t *b = p.data();
        std::ostringstream got;
        got << "ihl=" << GetIpHeaderLength(b) << " total=" << GetIpTotalLength(b)
            << " payload=" << GetIpPayloadLength(b) << " src=" << GetIpSourceAddress(b)
            << " dst=" << GetIpDestinationAddress(b) << " sport=" << GetTcpSourcePort(b)
            << " dport=" << GetTcpDestinationPort(b) << " thl=" << GetTcpHeaderLength(b)
            << " fsra=" << IsTcpFin(b) << IsTcpSyn(b) << IsTcpRst(b) << IsTcpAck(b);
        ExpectFields(got.str(), want);
    }
}
