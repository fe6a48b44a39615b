#pragma once
#include "OutputEvents.h"
#include "Segment.h"

#include <cstdint>

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
    uint64_t qwBytes[2] = {0, 0}; // final length of the -1 and -2 files
    // The length of each direction's stream that the capture proves: the furthest of its
    // segments' ends, its FIN, and what the other side acknowledged; after a complete close,
    // what the FINs say.
    uint64_t qwSent[2] = {0, 0};
    // Bytes of [0, qwSent) that are not in the file as data written: never captured, past the
    // file's end, or failed to be written.
    uint64_t qwMissing[2] = {0, 0};
    bool bExact = true;      // false when the missing counts are lower bounds
    bool bMidstream = false; // followed from its middle, not from its handshake
    int nRefused = 0;        // segments and cuts refused for the zeros they would have made
};

// What the stream table and its files tell the capture as it runs, each when it happens.
class IStreamEvents : public IOutputEvents
{
public:
    // A stream was created with this number (its files created, or their failure told).
    virtual void OnStreamCreated(int number) = 0;
    // A stream ended and is gone from the table.
    virtual void OnStreamEnded(const CStreamRecord &record) = 0;
};
