// Writes seed inputs for the fuzzers: fuzz_seeds STREAM_DIR CAPTURE_DIR
#include "PacketBuilder.h"
#include "PcapWriter.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> Story(uint32_t isn, int closer)
{
    CConversation c(0x0a000001, 1000, 0x0a000002, 80, isn, isn * 3 + 7);
    std::vector<Bytes> packets = c.Handshake();
    packets.push_back(c.Send(0, TCP_ACK, PatternBytes(40, 1)));
    packets.push_back(c.Send(1, TCP_ACK, PatternBytes(30, 2)));
    packets.push_back(c.SendAt(0, TCP_ACK, c.Isn(0), Bytes{0x55}));
    for (auto &p : c.Close(closer))
        packets.push_back(p);
    return packets;
}

void WriteStreamSeed(const std::string &path, const std::vector<Bytes> &packets)
{
    Bytes out;
    for (const auto &p : packets) {
        out.push_back(uint8_t(p.size()));
        out.push_back(uint8_t(p.size() >> 8));
        out.insert(out.end(), p.begin(), p.end());
    }
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(out.data(), 1, out.size(), f);
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds STREAM_DIR CAPTURE_DIR\n");
        return 2;
    }
    const std::string streams = std::string(argv[1]) + "/";
    const std::string captures = std::string(argv[2]) + "/";
    const uint32_t isns[] = {0, 1000, 0xfffffff0u};
    for (int i = 0; i < 3; ++i) {
        const auto packets = Story(isns[i], i % 2);
        WriteStreamSeed(streams + "story" + std::to_string(i), packets);
        CPcapWriter eth(captures + "eth" + std::to_string(i) + ".pcap", DLT_EN10MB, 65535);
        CPcapWriter raw(captures + "raw" + std::to_string(i) + ".pcap", DLT_RAW, 65535);
        for (const auto &p : packets) {
            eth.Write(BuildEthernetFrame(p));
            raw.Write(p);
        }
    }
    return 0;
}
