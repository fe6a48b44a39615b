#pragma once
#include "StreamEvents.h"

#include <cstdint>
#include <string>

// The rows of the output folder's two indexes, as CSV (RFC 4180: comma-separated, CR LF line
// ends, UTF-8). Numbers are written as in the file names, ten digits; times in UTC as
// YYYY-MM-DDTHH:MM:SS.ffffffZ.

// The header row of connections.csv.
const std::string &ConnectionIndexHeader();
// The header row of frames.csv.
extern const char *const kFrameIndexHeader;

// A stream's row: its connection, times, file lengths, missing bytes, how it ended and what its
// sides sent. A stream that followed no connection gets the endpoints and time of the packet
// that created it, and empty byte columns.
std::string ConnectionRow(const CStreamRecord &record);
// A frame file's row: its number, time stamp, captured and original length, link type.
std::string FrameRow(int number, int64_t time, uint32_t captured, uint32_t original, int linkType);
// A time stamp in microseconds since 1970 as the indexes write it.
std::string FormatTime(int64_t microseconds);
