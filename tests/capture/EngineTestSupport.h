#pragma once
#include "CaptureControl.h"
#include "CaptureEvents.h"
#include "CaptureHost.h"
#include "CaptureWorker.h"
#include "Segment.h"
#include "TcpStream.h"

#include <pcap/pcap.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

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

    // Runs a capture of file into folder.
    void Replay(const std::string &capture, const std::string &output, bool packetCombine)
    {
        control.Start();
        log.clear();
        problems.clear();
        events.clear();
        file = capture;
        folder = output;
        combine = packetCombine;
        CaptureThreadProc(this);
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

// What the engine's parts tell the capture, recorded.
class CEventLog : public ICaptureEvents
{
public:
    void OnStreamCreated(int number) override { created.push_back(number); }
    void OnStreamEnded(const CStreamRecord &record) override { ended.push_back(record); }
    void OnFileFailure(FileFailure, const std::string &path, int error) override
    {
        failures.push_back(path + ":" + std::to_string(error));
    }
    void OnDescriptorsShort() override { ++shortages; }

    std::vector<int> created;
    std::vector<CStreamRecord> ended;
    std::vector<std::string> failures;
    int shortages = 0;
};

// Decodes an IP datagram and offers it to stream; 0 for bytes that hold no TCP segment.
inline int Offer(CTcpStream &stream, const Bytes &ip, size_t captured = size_t(-1),
                 int64_t time = 0)
{
    CSegment segment;
    segment.llTime = time;
    if (!DecodeIp(ip.data(), captured < ip.size() ? captured : ip.size(), segment))
        return 0;
    return stream.ProcessPacket(segment);
}
