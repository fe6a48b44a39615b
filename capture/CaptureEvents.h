#pragma once
#include "Segment.h"

#include <cstdint>
#include <string>

// How a stream's following of its connection ended.
enum class StreamEnd {
    Closed,       // FIN from each side and the last ACK: its files were cut to length
    Reset,        // RST from either side
    Evicted,      // a full table gave its place to a new stream
    CaptureEnded, // still followed when the capture ended
    NotFollowed,  // it never took an opening SYN
};

// What a stream leaves behind, for the index of the output folder.
struct CStreamRecord
{
    int nNumber = 0;
    StreamEnd end = StreamEnd::CaptureEnded;
    int64_t llFirstSeen = 0; // time stamps of its first and last packet taken, in microseconds
    int64_t llLastSeen = 0;
    uint8_t byVersion = 4;
    uint32_t dwVlan = 0; // as in CSegment
    CEndpoint initiator;
    CEndpoint responder;
    uint64_t qwBytes[2] = {0, 0};   // final length of the -1 and -2 files
    uint64_t qwMissing[2] = {0, 0}; // bytes within those lengths that no captured segment gave
    bool bExact = true;             // false when the missing counts are lower bounds
};

// Whether a file could not be created or could not be written.
enum class FileFailure {
    Create,
    Write,
};

// What the parts of the engine tell the capture as it runs, each when it happens.
class ICaptureEvents
{
public:
    virtual ~ICaptureEvents() = default;
    // A stream was created with this number (its files created, or their failure told).
    virtual void OnStreamCreated(int number) = 0;
    // A stream ended and is gone from the table.
    virtual void OnStreamEnded(const CStreamRecord &record) = 0;
    // A file failed for the first time: path is the folder's path and the file's name, error
    // the errno.
    virtual void OnFileFailure(FileFailure kind, const std::string &path, int error) = 0;
    // The first time stream files had to give up their descriptors for want of descriptors.
    virtual void OnDescriptorsShort() = 0;
};
