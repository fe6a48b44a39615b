#pragma once
#include <string>

// Names of the files a capture writes into its output folder (folder ends with '/').

// "<folder>log.txt"
std::string LogFileName(const std::string &folder);
// "<folder>p0000000001.pd": one captured frame in RAW mode.
std::string PacketFileName(const std::string &folder, int number);
// "<folder>p0000000001-1.txt" (side 1, the initiator) or "-2.txt" (side 2, the responder).
std::string StreamFileName(const std::string &folder, int number, int side);
