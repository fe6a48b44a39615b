#pragma once
#include <cstdint>
#include <string>

// What a log line reports: the capture's progress (a packet, a stream), or a problem that a
// user should see even when progress is hidden.
enum class LineKind {
    Progress,
    Problem,
    // The library's or the system's reason for a failure, in its own words, after the problem
    // line that tells the failure where there is one. CCaptureOutcome::strReason holds it too.
    Reason,
};

// How a capture went, for hosts that want more than the log lines.
struct CCaptureOutcome
{
    bool bStarted = false; // log.txt was created and the loop ran
    bool bFailed = false;  // could not start, or the read failed
    std::string strError;  // why, when it failed: the log line and the library's detail
    std::string strReason; // the library's or the system's reason alone, when there is one
    bool bBadFilterExpression = false; // it failed because libpcap refused the user's filter
    bool bFolderFailed = false; // it failed because the output folder could not be made ready
    int64_t nPackets = 0;       // packets read
    int nStreams = 0;           // streams created (Packet Combine mode)
    int64_t nDropped = -1;      // packets the kernel dropped (live captures), -1 unknown
    int nFailedFiles = 0;       // output files that could not be created or written whole
    int nIncompleteStreams = 0; // streams whose files hold bytes that were never captured
};

// Progress of a running capture, reported now and then.
struct CCaptureProgress
{
    int64_t nPackets = 0;    // packets read so far
    int64_t nFileBytes = -1; // for a capture file: bytes read of it so far; -1 live
};

// What the capture worker tells the program that hosts it, each when it happens, on the
// worker's own thread. Only ShowMessage waits for the host: the one question the capture asks.
class ICaptureHost
{
public:
    virtual ~ICaptureHost() = default;

    // A line for the log view, with its own "\r\n".
    virtual void OnLogLine(const std::string &text, LineKind kind) = 0;
    // Shows a message and returns once the user has dismissed it; the capture waits meanwhile.
    virtual void ShowMessage(const std::string &text) = 0;
    // Packet Combine mode was asked for on a link type that it cannot assemble: the capture runs
    // in RAW mode.
    virtual void OnFellBackToRaw() {}
    virtual void OnProgress(const CCaptureProgress &) {}
    // The capture begins to read packets: its duration counts from now.
    virtual void OnReadStarted() {}
    // The capture has made its files current: it has caught up and will wait for packets, or a
    // while has passed. A host makes its own buffered output current too; at least once a
    // second while packets are read.
    virtual void OnFlush() {}
    // The output folder (its path, ending with '/') is complete: log.txt has its last line.
    virtual void OnFolderComplete(const std::string &) {}
    // The capture has ended; the worker's last call.
    virtual void OnEnded(const CCaptureOutcome &outcome) = 0;
};
