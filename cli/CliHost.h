#pragma once
#include "CaptureHost.h"
#include "CliOptions.h"

#include <string>

// Hosts the capture worker without a window: log lines go to standard output, the one message
// to standard error, a progress bar of a capture file to a terminal on standard error, and the
// output folder is not opened anywhere.
class CCliHost : public ICaptureHost
{
public:
    explicit CCliHost(const CCliOptions &options);

    void OnLogLine(const std::string &text, LineKind kind) override;
    void ShowMessage(const std::string &text) override;
    void OnProgress(const CCaptureProgress &progress) override;
    void OnEnded(const CCaptureOutcome &outcome) override;

    const CCaptureOutcome &GetOutcome() const { return m_outcome; }

private:
    void Write(const std::string &text);

    bool m_bQuiet;
    long long m_llFileSize = -1;
    bool m_bProgressShown = false;
    bool m_bStdoutGone = false;
    CCaptureOutcome m_outcome;
};
