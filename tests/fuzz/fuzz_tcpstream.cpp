// Feeds a sequence of frames to a few streams, as the stream table would.
// Input: one byte choosing the link-layer type, then records of [captured length, 2 bytes
// little-endian][that many frame bytes].
#include "EngineTestSupport.h"
#include "FileCache.h"
#include "Folder.h"
#include "TempDir.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int kLinkTypes[] = {1, 113, 276, 12, 0, 108, 6, 7, 11};
    static CTempDir dir;
    static CFolder folder;
    if (!folder.IsOpen())
        folder.Open(dir.Path());
    if (size < 1)
        return 0;
    const int linkType = kLinkTypes[data[0] % std::size(kLinkTypes)];
    // Two descriptors and runs of 16 bytes: reopening and every way of writing a run is taken.
    CEventLog events;
    CFileCache cache(2, &events, 16, 48);
    CTcpStream streams[3] = {CTcpStream(&cache), CTcpStream(&cache), CTcpStream(&cache)};
    for (int i = 0; i < 3; ++i) {
        const std::string base = "s" + std::to_string(i);
        streams[i].OpenFiles(folder, (base + "-1").c_str(), (base + "-2").c_str());
    }
    size_t pos = 1;
    while (pos + 2 <= size) {
        size_t length = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
        pos += 2;
        if (length > size - pos)
            length = size - pos;
        // A copy of exactly the captured bytes, so that any read past them is caught.
        const Bytes frame(data + pos, data + pos + length);
        pos += length;
        CSegment segment;
        if (!DecodeFrame(linkType, frame.data(), frame.size(), segment))
            continue;
        for (auto &stream : streams) {
            if (stream.ProcessPacket(segment) != 0)
                break;
        }
    }
    for (auto &stream : streams)
        stream.CloseFiles(1);
    return 0;
}
