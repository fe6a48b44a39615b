#include "OutputFiles.h"

#include <cstdio>

namespace {

std::string Numbered(const std::string &folder, int number, const char *suffix)
{
    char name[48];
    std::snprintf(name, sizeof name, "p%010d%s", number, suffix);
    return folder + name;
}

} // namespace

std::string LogFileName(const std::string &folder) { return folder + "log.txt"; }

std::string PacketFileName(const std::string &folder, int number)
{
    return Numbered(folder, number, ".pd");
}

std::string StreamFileName(const std::string &folder, int number, int side)
{
    return Numbered(folder, number, side == 1 ? "-1.txt" : "-2.txt");
}
