#pragma once
#include "CaptureControl.h"
#include "CaptureHost.h"

#include <pcap/pcap.h>

#include <string>
#include <vector>

// A host for the capture worker that records every request in order.
class CFakeHost : public ICaptureHost
{
public:
    CCaptureControl &GetControl() override { return control; }
    const pcap_if *GetSelectedDevice() const override { return device; }
    std::string GetCaptureFile() const override { return file; }
    std::string GetOutputFolder() const override { return folder; }
    bool GetCombineCheck() override { return combine; }
    void ClearCombineCheck() override
    {
        combine = false;
        events.push_back("clear");
    }
    void AppendLog(const std::string &text, LineKind kind) override
    {
        log += text;
        if (kind == LineKind::Problem)
            problems += text;
    }
    void ShowMessage(const std::string &text) override { events.push_back("message:" + text); }
    void SetTitle(const std::string &title) override { events.push_back("title:" + title); }
    void EnableControls(bool enable) override { events.push_back(enable ? "enable" : "disable"); }
    void OpenFolder(const std::string &path) override { events.push_back("open:" + path); }
    void ReportOutcome(const CCaptureOutcome &o) override { outcome = o; }

    // Forgets what was recorded, for a second capture with the same host.
    void Reset()
    {
        control.Start();
        log.clear();
        problems.clear();
        events.clear();
        outcome = {};
        combine = true;
    }

    CCaptureControl control;
    const pcap_if *device = nullptr;
    std::string file;
    std::string folder;
    bool combine = true;
    std::string log;
    std::string problems; // the lines of kind Problem
    std::vector<std::string> events;
    CCaptureOutcome outcome;
};
