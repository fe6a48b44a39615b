#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Checks of an output folder written by a live capture, where the kernel may have dropped
// packets when the machine was busy.

// The stream number that the folder's connections.csv gives the connection whose initiator
// used port; 0 when no row names it.
int StreamOfPort(const std::string &folder, uint16_t port);

// Empty when file is what a capture guarantees of bytes that were sent: exactly sent when the
// kernel dropped nothing; otherwise no longer than sent, with every byte either the byte sent
// at that offset or a zero of a hole. Else a description of the first difference.
std::string CheckCaptured(const std::vector<uint8_t> &file, const std::vector<uint8_t> &sent,
                          bool dropped);

// The kernel's drop count that marlinox-cli's summary line reports; -1 when there is none.
long DroppedBy(const std::string &stderrText);
