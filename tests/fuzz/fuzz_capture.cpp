// Runs a capture file through the worker's Packet Combine and RAW loops.
#include "EngineTestSupport.h"
#include "TempDir.h"

#include <cstdio>
#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static CTempDir dir;
    const std::string input = dir.Path() + "input.pcap";
    if (FILE *file = std::fopen(input.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    for (bool combine : {true, false}) {
        const std::string folder = dir.Path() + (combine ? "combine/" : "raw/");
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        std::filesystem::create_directory(folder, ec);
        CFakeHost host;
        host.Replay(input, folder, combine);
    }
    return 0;
}
