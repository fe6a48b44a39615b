#pragma once
#include <cstdint>
#include <string>

struct pcap_if;
class CCaptureControl;
class CFolder;

// What a log line reports: the capture's progress (a packet, a stream), or a problem that a
// user should see even when progress is hidden.
enum class LineKind {
    Progress,
    Problem,
};

// How a capture went, for hosts that want more than the log lines.
struct CCaptureOutcome
{
    bool bStarted = false;             // log.txt was created and the loop ran
    bool bFailed = false;              // could not start, or the read failed
    std::string strError;              // why, when it failed: the log line and the library's detail
    bool bBadFilterExpression = false; // it failed because libpcap refused the user's filter
    int64_t nPackets = 0;              // packets read
    int nStreams = 0;                  // streams created (Packet Combine mode)
    int64_t nDropped = -1;             // packets the kernel dropped (live captures), -1 unknown
    int nFailedFiles = 0;              // output files that could not be created or written whole
    int nIncompleteStreams = 0;        // streams whose files hold bytes that were never captured
};

// Progress of a running capture, reported now and then.
struct CCaptureProgress
{
    int64_t nPackets = 0;    // packets read so far
    int64_t nFileBytes = -1; // for a capture file: bytes read of it so far; -1 live
};

// Everything the capture worker needs from the program that hosts it. The worker calls these
// on its own thread; a host with a window carries the window requests out on its UI thread.
class ICaptureHost
{
public:
    virtual ~ICaptureHost() = default;

    // The running flag and the stop wake-up; the host keeps it for the worker's whole life.
    virtual CCaptureControl &GetControl() = 0;
    // The interface to capture on, or null when none was picked. Stays valid during a capture.
    virtual const pcap_if *GetSelectedDevice() const = 0;
    // A capture file (pcap or pcapng, "-" for standard input) to read instead of an interface;
    // empty for live capture.
    virtual std::string GetCaptureFile() const { return {}; }
    // The user's own capture filter (libpcap's syntax); empty for none.
    virtual std::string GetFilterExpression() const { return {}; }
    // The output folder, ending with '/'.
    virtual std::string GetOutputFolder() const = 0;
    // Opens the output folder, once the capture handle is open and before any file is written;
    // every file of the capture is then created in the folder held open here. A host may create
    // the folder and give up privileges at this point. The default opens GetOutputFolder() and,
    // for a program run as root through sudo, hands the files to the user who ran it. False,
    // with error saying why, ends the capture.
    virtual bool OpenOutputFolder(CFolder &folder, std::string &error);

    virtual bool GetCombineCheck() = 0;
    virtual void ClearCombineCheck() = 0;
    // Appends text to the log view unchanged; the text carries its own "\r\n".
    virtual void AppendLog(const std::string &text, LineKind kind) = 0;
    // Shows a message and returns once the user has dismissed it.
    virtual void ShowMessage(const std::string &text) = 0;
    virtual void SetTitle(const std::string &title) = 0;
    // Switches the host back to idle; the worker's last request.
    virtual void EnableControls(bool enable) = 0;
    // Opens the output folder in the desktop's file manager.
    virtual void OpenFolder(const std::string &path) = 0;

    virtual void ReportProgress(const CCaptureProgress &) {}
    // Called once, just before EnableControls(true).
    virtual void ReportOutcome(const CCaptureOutcome &) {}
};
