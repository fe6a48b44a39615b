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

std::vector<Bytes> Story(uint32_t isn, int closer, int version)
{
    CConversation c(0x0a000001, 1000, 0x0a000002, 80, isn, isn * 3 + 7, version);
    std::vector<Bytes> packets = c.Handshake();
    packets.push_back(c.Send(0, TCP_ACK, PatternBytes(40, 1)));
    packets.push_back(c.Send(1, TCP_ACK, PatternBytes(30, 2)));
    packets.push_back(c.SendAt(0, TCP_ACK, c.Isn(0), Bytes{0x55}));
    for (auto &p : c.Close(closer))
        packets.push_back(p);
    return packets;
}

// The stream fuzzer's input: the link type's index in its table, then the frames.
void WriteStreamSeed(const std::string &path, uint8_t link, const std::vector<Bytes> &packets)
{
    Bytes out = {link};
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
    // Ethernet untagged, with one and with two tags, Linux cooked v1 with a tag, v2, raw IP.
    struct Link
    {
        uint8_t index;
        int type;
        std::vector<uint16_t> vlans;
    };
    const Link links[] = {{0, DLT_EN10MB, {}}, {0, DLT_EN10MB, {5}}, {0, DLT_EN10MB, {5, 6}},
                          {1, 113, {7}},       {2, 276, {}},         {3, DLT_RAW, {}}};
    int n = 0;
    for (const Link &link : links) {
        for (int i = 0; i < 3; ++i) {
            const auto packets = Story(isns[i], i % 2, i == 1 ? 6 : 4);
            std::vector<Bytes> frames;
            for (const auto &p : packets)
                frames.push_back(BuildFrame(link.type, p, link.vlans));
            // And a frame of each cut short inside its headers.
            frames.push_back(Bytes(frames[3].begin(), frames[3].begin() + long(frames[3].size() / 3)));
            const std::string name = std::to_string(n++);
            WriteStreamSeed(streams + "story" + name, link.index, frames);
            CPcapWriter capture(captures + "capture" + name + ".pcap", link.type, 65535);
            for (const auto &f : frames)
                capture.Write(f);
        }
    }
    return 0;
}
