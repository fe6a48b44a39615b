#pragma once
#include "CaptureEvents.h"
#include "Segment.h"
#include "TcpStream.h"

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What the engine's parts tell the capture, recorded.
class CEventLog : public ICaptureEvents
{
public:
    void OnStreamCreated(int number) override { created.push_back(number); }
    void OnStreamEnded(const CStreamRecord &record) override { ended.push_back(record); }
    void OnFileFailure(FileFailure, const std::string &path, int error) override
    {
        failures.push_back(path + ":" + std::to_string(error));
    }
    void OnDescriptorsShort() override { ++shortages; }

    std::vector<int> created;
    std::vector<CStreamRecord> ended;
    std::vector<std::string> failures;
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
