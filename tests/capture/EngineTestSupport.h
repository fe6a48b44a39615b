#pragma once
#include "Segment.h"
#include "StreamEvents.h"
#include "TcpStream.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What the engine's parts tell the capture, counted.
class CEventLog : public IStreamEvents
{
public:
    void OnStreamCreated(int number) override { held.insert(number); }
    void OnStreamEnded(const CStreamRecord &record) override { held.erase(record.nNumber); }
    void OnFileFailure(FileFailure, const std::string &, int) override { ++failures; }
    void OnDescriptorsShort() override { ++shortages; }

    std::set<int> held; // the numbers of the streams created and not ended yet
    int failures = 0;
    int shortages = 0;
};

// Decodes an IP datagram and offers it to stream; 0 for bytes that hold no TCP segment.
// Only the first captured bytes of ip are given to it.
inline int Offer(CTcpStream &stream, const Bytes &ip, size_t captured = size_t(-1))
{
    CSegment segment;
    const bool decoded = DecodeIp(ip.data(), std::min(captured, ip.size()), segment);
    return decoded ? stream.ProcessPacket(segment) : 0;
}
