#pragma once
#include <string>

// Names of the files a capture writes into its output folder.

// "log.txt"
std::string LogFileName();
// "p0000000001.pd": one captured frame in RAW mode.
std::string PacketFileName(int number);
// "p0000000001-1.txt" (side 1, the initiator) or "-2.txt" (side 2, the responder).
std::string StreamFileName(int number, int side);
// "connections.csv": a row per stream, in Packet Combine mode.
std::string ConnectionIndexName();
// "frames.csv": a row per frame file, in RAW mode.
std::string FrameIndexName();
// "capture.json": what was captured, how, and what is missing.
std::string CaptureJsonName();
