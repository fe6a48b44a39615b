// Writes seed inputs for the fuzzers: fuzz_seeds STREAM_DIR CAPTURE_DIR
#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <cstdio>
#include <string>
#include <tuple>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds STREAM_DIR CAPTURE_DIR\n");
        return 2;
    }
    // Ethernet untagged, with one and with two tags, Linux cooked v1 with a tag, v2, raw IP;
    // each with its index in the stream fuzzer's table of link types.
    const std::tuple<uint8_t, int, std::vector<uint16_t>> links[] = {
        {0, 1, {}}, {0, 1, {5}}, {0, 1, {5, 6}}, {1, 113, {7}}, {2, 276, {}}, {3, 12, {}}};
    int n = 0;
    for (const auto &[index, type, vlans] : links) {
        for (uint32_t isn : {0u, 1000u, 0xfffffff0u}) {
            CConversation c(0x0a000001, 1000, 0x0a000002, 80, isn, isn * 3 + 7,
                            isn == 1000 ? 6 : 4);
            std::vector<Bytes> packets = c.Handshake();
            packets.push_back(c.Send(0, TCP_ACK, PatternBytes(40, 1)));
            packets.push_back(c.Send(1, TCP_ACK, PatternBytes(30, 2)));
            packets.push_back(c.SendAt(0, TCP_ACK, c.Isn(0), Bytes{0x55}));
            Append(packets, c.Close(int(isn % 2)));
            // The stream fuzzer's input: the link type, then [2-byte length][frame] records,
            // one of them cut short inside its headers.
            Bytes stream = {index};
            const std::string name = std::to_string(n++);
            CPcapWriter capture(std::string(argv[2]) + "/capture" + name + ".pcap", type, 65535);
            for (size_t i = 0; i < packets.size(); ++i) {
                Bytes frame = BuildFrame(type, packets[i], vlans);
                if (i == 3)
                    frame.resize(frame.size() / 3);
                capture.Write(frame);
                stream.insert(stream.end(), {uint8_t(frame.size()), uint8_t(frame.size() >> 8)});
                stream.insert(stream.end(), frame.begin(), frame.end());
            }
            WriteFile(std::string(argv[1]) + "/story" + name, stream);
        }
    }
    return 0;
}
