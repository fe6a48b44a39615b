#pragma once
#include "CaptureEvents.h"
#include "Segment.h"
#include "TcpStream.h"

#include <set>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What the engine's parts tell the capture, counted.
class CEventLog : public ICaptureEvents
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
inline int Offer(CTcpStream &stream, const Bytes &ip, size_t captured = size_t(-1),
                 int64_t time = 0)
{
    CSegment segment;
    segment.llTime = time;
    if (!DecodeIp(ip.data(), captured < ip.size() ? captured : ip.size(), segment))
        return 0;
    return stream.ProcessPacket(segment);
}
