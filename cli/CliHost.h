#pragma once
#include "CaptureControl.h"
#include "CaptureHost.h"
#include "CliOptions.h"
#include "Privileges.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pcap_if;

// Hosts the capture worker without a window: log lines go to standard output, the one
// message to standard error, and the folder is not opened anywhere. Once the interface is
// open it creates and opens the output folder and gives up every privilege, becoming user
// when one is given.
class CCliHost : public ICaptureHost
{
public:
    CCliHost(CCliOptions options, std::optional<CUser> user);
    ~CCliHost() override;
    CCliHost(const CCliHost &) = delete;
    CCliHost &operator=(const CCliHost &) = delete;

    CCaptureControl &GetControl() override { return m_control; }
    const pcap_if *GetSelectedDevice() const override { return m_pDevice; }
    std::string GetCaptureFile() const override { return m_options.strFile; }
    std::string GetFilterExpression() const override { return m_options.strFilter; }
    std::string GetOutputFolder() const override { return m_options.strFolder; }
    bool OpenOutputFolder(CFolder &folder, std::string &error) override;
    bool GetCombineCheck() override { return !m_options.bRaw; }
    void ClearCombineCheck() override { m_options.bRaw = true; }
    void AppendLog(const std::string &text, LineKind kind) override;
    void ShowMessage(const std::string &text) override;
    void SetTitle(const std::string &) override {}
    void EnableControls(bool enable) override;
    void OpenFolder(const std::string &) override {}
    void ReportProgress(const CCaptureProgress &progress) override;
    void ReportOutcome(const CCaptureOutcome &outcome) override { m_outcome = outcome; }

    const CCaptureOutcome &GetOutcome() const { return m_outcome; }
    // Why the output folder could not be made ready, when that ended the capture.
    const std::string &GetFolderError() const { return m_strFolderError; }

private:
    void FindDevice();
    bool MakeFolder(std::string &error);
    void Write(const std::string &text);

    CCliOptions m_options;
    std::optional<CUser> m_user;
    CCaptureControl m_control;
    pcap_if *m_pDevices = nullptr; // the library's list, handed back on destruction
    pcap_if *m_pDevice = nullptr;
    std::unique_ptr<pcap_if> m_pNamed;  // a record of our own for a name the library did not list
    std::vector<std::string> m_created; // folders made for the capture, outermost first
    long long m_llFileSize = -1;
    bool m_bProgressShown = false;
    bool m_bStdoutGone = false;
    std::string m_strFolderError;
    CCaptureOutcome m_outcome;
};
