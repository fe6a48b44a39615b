#pragma once
#include "CaptureControl.h"
#include "CaptureHost.h"

#include <memory>
#include <string>

struct pcap_if;

// Hosts the capture worker without a window: log lines go to standard output, the one
// message to standard error, and the folder is not opened anywhere.
class CCliHost : public ICaptureHost
{
public:
    struct COptions
    {
        std::string strInterface; // -i
        std::string strFile;      // -r
        std::string strFolder;    // -o, ending with '/'
        bool bRaw = false;        // --raw
        bool bQuiet = false;      // -q: only lines that report a problem
    };

    explicit CCliHost(COptions options);
    ~CCliHost() override;
    CCliHost(const CCliHost &) = delete;
    CCliHost &operator=(const CCliHost &) = delete;

    CCaptureControl &GetControl() override { return m_control; }
    const pcap_if *GetSelectedDevice() const override { return m_pDevice; }
    std::string GetCaptureFile() const override { return m_options.strFile; }
    std::string GetOutputFolder() const override { return m_options.strFolder; }
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

private:
    void FindDevice();

    COptions m_options;
    CCaptureControl m_control;
    pcap_if *m_pDevices = nullptr; // the library's list, handed back on destruction
    pcap_if *m_pDevice = nullptr;
    std::unique_ptr<pcap_if> m_pNamed; // a record of our own for a name the library did not list
    long long m_llFileSize = -1;
    bool m_bProgressShown = false;
    CCaptureOutcome m_outcome;
};
