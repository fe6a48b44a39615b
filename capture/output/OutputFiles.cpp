#include "OutputFiles.h"

#include <cstdio>

namespace {

std::string Numbered(int number, const char *suffix)
{
    char name[48];
    std::snprintf(name, sizeof name, "p%010d%s", number, suffix);
    return name;
}

} // namespace

std::string LogFileName() { return "log.txt"; }

std::string PacketFileName(int number) { return Numbered(number, ".pd"); }

std::string StreamFileName(int number, int side)
{
    return Numbered(number, side == 1 ? "-1.txt" : "-2.txt");
}

std::string ConnectionIndexName() { return "connections.csv"; }

std::string FrameIndexName() { return "frames.csv"; }

std::string CaptureJsonName() { return "capture.json"; }
