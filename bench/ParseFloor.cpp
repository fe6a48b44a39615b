// marlinox-parse-floor: the work of a replay that no output can avoid, as the yardstick of
// Marlinox's replay speed. It reads the capture file exactly as `marlinox-cli -r` does (the
// engine's own capture source: the same libpcap calls, the same stream buffer, the same batch
// size), decodes every frame with the engine's frame decoder and, in Packet Combine mode, looks
// each segment's connection up as the stream table's index does (CStreamKey::Of into a hash
// map keyed with CStreamKeyHash; a connection enters at its SYN and leaves once both sides
// sent FIN or one sent RST). It creates no stream and touches no file.
//
//   marlinox-parse-floor -r FILE [--raw] [-o DIR]
//
// --raw: RAW mode's share, reading only (every frame is handed over, none decoded). -o is
// accepted and ignored, so that the floor takes the command line of the programs it measures.
// Prints what it read: frames, decoded TCP segments, payload bytes, connections, and the
// largest frame's length (the live benchmark sets its link's MTU from it).
#include "CaptureSource.h"
#include "Segment.h"
#include "StreamKey.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

// Packets per call into libpcap, as the capture worker reads.
constexpr int kBatch = 256;

struct CTally
{
    bool bRaw = false;
    int nLinkType = 0;
    uint64_t qwFrames = 0;
    uint64_t qwSegments = 0;
    uint64_t qwPayload = 0;
    uint64_t qwConnections = 0;
    uint32_t dwLargest = 0; // the largest frame's length on the wire
    // Open connections by key; the value counts the FINs seen.
    std::unordered_map<CStreamKey, int, CStreamKeyHash> open;
};

void Count(CTally &tally, const CSegment &segment)
{
    ++tally.qwSegments;
    tally.qwPayload += uint64_t(segment.nCaptured);
    const CStreamKey key = CStreamKey::Of(segment);
    auto it = tally.open.find(key);
    if (it == tally.open.end()) {
        if (!segment.IsSyn() || segment.IsAck())
            return;
        it = tally.open.emplace(key, 0).first;
        ++tally.qwConnections;
    }
    if (segment.IsRst() || (segment.IsFin() && ++it->second == 2))
        tally.open.erase(it);
}

void OnPacket(u_char *user, const pcap_pkthdr *header, const u_char *data)
{
    auto &tally = *reinterpret_cast<CTally *>(user);
    ++tally.qwFrames;
    tally.dwLargest = std::max(tally.dwLargest, header->len);
    if (tally.bRaw)
        return;
    CSegment segment;
    if (DecodeFrame(tally.nLinkType, data, header->caplen, segment))
        Count(tally, segment);
}

int Run(const std::string &path, bool raw)
{
    CCaptureSource source;
    std::string error;
    if (!source.OpenFile(path, error)) {
        std::fprintf(stderr, "marlinox-parse-floor: %s\n", error.c_str());
        return 1;
    }
    CTally tally;
    tally.bRaw = raw;
    tally.nLinkType = source.GetLinkType();
    int n = 0;
    while ((n = source.Dispatch(kBatch, OnPacket, reinterpret_cast<u_char *>(&tally))) > 0) {
    }
    if (n < 0) {
        std::fprintf(stderr, "marlinox-parse-floor: %s\n", source.GetError().c_str());
        return 1;
    }
    std::printf("%llu frames, %llu TCP segments, %llu payload bytes, %llu connections, "
                "largest frame %u bytes\n",
                static_cast<unsigned long long>(tally.qwFrames),
                static_cast<unsigned long long>(tally.qwSegments),
                static_cast<unsigned long long>(tally.qwPayload),
                static_cast<unsigned long long>(tally.qwConnections), tally.dwLargest);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string input;
    bool raw = false;
    bool ok = true;
    for (int i = 1; i < argc && ok; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--raw")
            raw = true;
        else if (arg == "-r" && i + 1 < argc)
            input = argv[++i];
        else if (arg == "-o" && i + 1 < argc)
            ++i;
        else
            ok = false;
    }
    if (!ok || input.empty()) {
        std::fputs("usage: marlinox-parse-floor -r FILE [--raw] [-o DIR]\n", stderr);
        return 2;
    }
    return Run(input, raw);
}
