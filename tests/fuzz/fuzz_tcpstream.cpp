// Feeds a sequence of frames to a stream table of three streams.
// Input: one byte choosing the link-layer type, then records of [captured length, 2 bytes
// little-endian][that many frame bytes].
#include "DescriptorCache.h"
#include "EngineTestSupport.h"
#include "Folder.h"
#include "StreamTable.h"
#include "TempDir.h"
#include "WriteBehind.h"

#include <algorithm>

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
    CDescriptorCache descriptors(2, &events);
    CWriteBehind output(descriptors, events, 16, 48);
    CStreamTable table(folder, events, output, 3);
    for (size_t pos = 1; pos + 2 <= size;) {
        const size_t length = std::min(size_t(data[pos] | data[pos + 1] << 8), size - pos - 2);
        pos += 2;
        // A copy of exactly the captured bytes, so that any read past them is caught.
        const Bytes frame(data + pos, data + pos + length);
        pos += length;
        CSegment segment;
        if (DecodeFrame(linkType, frame.data(), frame.size(), segment))
            table.Offer(segment);
    }
    table.CloseAll();
    return 0;
}
