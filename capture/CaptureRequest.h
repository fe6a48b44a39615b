#pragma once
#include "Privileges.h"

#include <cstdint>
#include <optional>
#include <string>

class CFolder;

// What one capture is asked to do. The host fills it in before it starts the worker and leaves
// it alone until the capture has ended.
struct CCaptureRequest
{
    // The program that captures, as capture.json names it.
    std::string strProgram;
    // Where the packets come from: the interface named strDevice, opened live (empty: none was
    // chosen), or the capture file strFile (pcap or pcapng, "-" for standard input) when given.
    std::string strDevice;
    std::string strFile;
    // The user's own filter expression in libpcap's syntax; empty for none.
    std::string strFilter;
    // Packet Combine mode asked for; RAW mode otherwise.
    bool bCombine = true;
    // Packet Combine mode also follows connections already open: a segment with data that no
    // stream takes opens one, as a SYN would.
    bool bMidstream = false;
    // The capture ends as Stop ends it once it has read this many packets (0: no limit), or
    // once this many milliseconds have passed since its read began (0: no limit).
    int64_t llPacketLimit = 0;
    int64_t llDurationMs = 0;
    // A live capture's kernel buffer in KiB; the most bytes of a frame that are kept, live or
    // from a file. 0: the source's defaults (CCaptureSource::kBufferSize, kSnapLength).
    int nBufferKib = 0;
    int nSnapLength = 0;

    // The output folder: held open by the host already, or else made (with its missing parents
    // when bMakeParents is set) and opened at strFolder once the source is open.
    CFolder *pFolder = nullptr;
    std::string strFolder;
    bool bMakeParents = false;
    // The user that folders made for the capture are handed to, and that the capture becomes
    // when it gives up its privileges: the one who ran the program through sudo, or
    // marlinox-cli's -Z user.
    std::optional<CUser> owner;
    // Give up every privilege once the output folder is open, becoming owner when there is one,
    // before any file is written.
    bool bGiveUpPrivileges = false;
};
