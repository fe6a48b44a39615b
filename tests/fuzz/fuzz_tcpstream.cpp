// Feeds a sequence of packets to a few streams, as the stream table would.
// Input: records of [captured length, 2 bytes little-endian][that many packet bytes].
#include "TcpStream.h"
#include "TempDir.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static CTempDir dir;
    CTcpStream streams[3];
    for (int i = 0; i < 3; ++i) {
        const std::string base = dir.Path() + "s" + std::to_string(i);
        streams[i].OpenFiles((base + "-1.txt").c_str(), (base + "-2.txt").c_str());
    }
    size_t pos = 0;
    while (pos + 2 <= size) {
        size_t length = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
        pos += 2;
        if (length > size - pos)
            length = size - pos;
        // A copy of exactly the captured bytes, so that any read past them is caught.
        const std::vector<uint8_t> packet(data + pos, data + pos + length);
        pos += length;
        for (auto &stream : streams) {
            if (stream.ProcessPacket(packet.data(), packet.size()) != 0)
                break;
        }
    }
    for (auto &stream : streams)
        stream.CloseFiles(1);
    return 0;
}
