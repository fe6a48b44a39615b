#pragma once
#include "CaptureHost.h"

#include <string>

class CCaptureDlg;

// The main dialog as the capture worker sees it. Log text goes into the dialog's log queue
// without waiting; every other request on the window is carried out on the UI thread while
// the worker waits, after the log text queued before it has been drawn.
class CDialogHost : public ICaptureHost
{
public:
    explicit CDialogHost(CCaptureDlg &dlg) : m_dlg(dlg) {}

    CCaptureControl &GetControl() override;
    const pcap_if *GetSelectedDevice() const override;
    std::string GetOutputFolder() const override;
    bool GetCombineCheck() override;
    void ClearCombineCheck() override;
    void AppendLog(const std::string &text, LineKind kind) override;
    void ShowMessage(const std::string &text) override;
    void SetTitle(const std::string &title) override;
    void EnableControls(bool enable) override;
    void OpenFolder(const std::string &path) override;
    void ReportOutcome(const CCaptureOutcome &outcome) override { m_outcome = outcome; }

    // How the last capture went. Written by the worker before its last request, so read it
    // on the UI thread once the capture has ended.
    const CCaptureOutcome &GetOutcome() const { return m_outcome; }

private:
    template <class F> void SendToUi(F &&f);

    CCaptureDlg &m_dlg;
    CCaptureOutcome m_outcome;
};
