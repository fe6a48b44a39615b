#pragma once
#include "OutputEvents.h"

#include <cstdint>
#include <optional>
#include <string>

class CFolder;

// What capture.json tells of a capture: enough for whoever is handed the output folder to know
// what was captured, how, and what is missing. Optional fields are written as null.
struct CCaptureFacts
{
    std::string strProgram;
    std::string strVersion;
    bool bCombine = true;
    bool bFellBackToRaw = false;
    bool bFile = false;    // source_type: a capture file, or an interface
    std::string strSource; // the interface's name, the file's path, or "-"
    std::optional<std::string> filter;
    int nLinkType = 0;
    int nSnapLength = 0;
    std::optional<int64_t> bufferBytes;
    int64_t llStarted = 0; // wall-clock time, microseconds since 1970 (UTC)
    int64_t llEnded = 0;
    int64_t nPacketsRead = 0;
    std::optional<int64_t> kernelDropped;
    std::optional<int64_t> interfaceDropped;
    std::optional<int64_t> streams;
    std::optional<int64_t> streamsWithMissingBytes;
    std::optional<int64_t> bytesMissing;
    int nFilesFailed = 0;
    std::optional<int64_t> connectionsNotFollowed;
    bool bNotFollowedExact = true;
    std::optional<int64_t> refusedSegments; // for the zeros they would have put into a file
    std::string strOutcome;                 // "completed", "stopped" or "failed"
};

// facts as JSON (RFC 8259), one field a line.
std::string CaptureJson(const CCaptureFacts &facts);

// Writes capture.json into folder, whole or not at all: under a temporary name first, then
// renamed. False, with the failure told to events and no capture.json left, when it could not.
bool WriteCaptureJson(const CFolder &folder, const CCaptureFacts &facts, IOutputEvents &events);
