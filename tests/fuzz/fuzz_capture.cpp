// Runs a capture file through the worker's Packet Combine and RAW loops.
#include "CaptureControl.h"
#include "CaptureHost.h"
#include "CaptureRequest.h"
#include "CaptureWorker.h"
#include "TempDir.h"

#include <filesystem>

namespace {

// A host that shows nothing.
class CQuietHost : public ICaptureHost
{
public:
    void OnLogLine(const std::string &, LineKind) override {}
    void ShowMessage(const std::string &) override {}
    void OnEnded(const CCaptureOutcome &) override {}
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
        CCaptureRequest request;
        request.strFile = input;
        request.strFolder = folder;
        request.bCombine = combine;
        CCaptureControl control;
        CQuietHost host;
        CaptureThreadProc(request, control, host);
    }
    return 0;
}
