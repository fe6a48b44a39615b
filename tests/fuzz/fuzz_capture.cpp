// Runs a capture file through the worker's Packet Combine and RAW loops.
#include "CaptureControl.h"
#include "CaptureHost.h"
#include "CaptureWorker.h"
#include "TempDir.h"

#include <filesystem>

namespace {

// A host that answers what the worker asks and shows nothing.
class CQuietHost : public ICaptureHost
{
public:
    CQuietHost(std::string file, std::string folder, bool combine)
        : m_file(std::move(file)), m_folder(std::move(folder)), m_bCombine(combine)
    {
    }
    CCaptureControl &GetControl() override { return m_control; }
    const pcap_if *GetSelectedDevice() const override { return nullptr; }
    std::string GetCaptureFile() const override { return m_file; }
    std::string GetOutputFolder() const override { return m_folder; }
    bool GetCombineCheck() override { return m_bCombine; }
    void ClearCombineCheck() override { m_bCombine = false; }
    void AppendLog(const std::string &, LineKind) override {}
    void ShowMessage(const std::string &) override {}
    void SetTitle(const std::string &) override {}
    void EnableControls(bool) override {}
    void OpenFolder(const std::string &) override {}

private:
    CCaptureControl m_control;
    std::string m_file;
    std::string m_folder;
    bool m_bCombine;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static CTempDir dir;
    const std::string input = dir.Path() + "input.pcap";
    WriteFile(input, std::vector<uint8_t>(data, data + size));
    for (bool combine : {true, false}) {
        const std::string folder = dir.Path() + (combine ? "combine/" : "raw/");
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        std::filesystem::create_directory(folder, ec);
        CQuietHost host(input, folder, combine);
        CaptureThreadProc(&host);
    }
    return 0;
}
