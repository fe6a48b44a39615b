#pragma once
#include "StreamEvents.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/time.h>

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
// A capture's time stamp in microseconds since 1970.
inline int64_t Microseconds(const timeval &t) { return int64_t(t.tv_sec) * 1000000 + t.tv_usec; }

// The fields of a frame file's row, as FrameRow writes them.
struct CFrameIndexRow
{
    int nNumber = 0;
    int64_t llTime = 0; // microseconds since 1970
    uint32_t dwCaptured = 0;
    uint32_t dwOriginal = 0;
    int nLinkType = 0;
};

// Reads a time as FormatTime writes it, for the years 0000 to 9999: exactly
// YYYY-MM-DDTHH:MM:SS.ffffffZ, a date of the calendar, hours 00-23, minutes and seconds 00-59.
// False for anything else.
bool ParseTime(std::string_view text, int64_t &microseconds);
// Reads a line of frames.csv, its CR LF included, as FrameRow writes it: a ten-digit number
// from 1, the time, the two lengths and the link type as decimal numbers without leading zeros
// (the link type not negative). False, with row unspecified, for anything else.
bool ParseFrameRow(std::string_view line, CFrameIndexRow &row);
