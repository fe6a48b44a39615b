#pragma once
#include "CaptureHost.h"
#include "CliOptions.h"

#include <string>

// Hosts the capture worker without a window: log lines go to standard output, made current
// whenever the capture makes its files current, the one message to standard error, a progress
// bar of a capture file to a terminal on standard error, and the output folder is not opened
// anywhere. A capture file read for a duration gets SIGALRM when it is up, which the program
// handles as a stop, because a read that waits on a pipe can be ended only by a signal.
class CCliHost : public ICaptureHost
{
public:
    explicit CCliHost(const CCliOptions &options);

    void OnLogLine(const std::string &text, LineKind kind) override;
    void ShowMessage(const std::string &text) override;
    void OnProgress(const CCaptureProgress &progress) override;
    void OnReadStarted() override;
    void OnFlush() override;
    void OnEnded(const CCaptureOutcome &outcome) override;

    const CCaptureOutcome &GetOutcome() const { return m_outcome; }

private:
    void Write(const std::string &text);

    bool m_bQuiet;
    int64_t m_llAlarmMs = 0; // a capture file's duration
    long long m_llFileSize = -1;
    bool m_bProgressShown = false;
    bool m_bStdoutGone = false;
    CCaptureOutcome m_outcome;
};
