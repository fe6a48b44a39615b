#pragma once
#include <cstdint>
#include <string>

// What the command line of marlinox-cli asks for.
struct CCliOptions
{
    enum class Action {
        Capture, // -i or -r, with -o
        List,    // -D
        ToPcap,  // --to-pcap DIR OUT
        Help,    // -h, --help
        Version, // --version
    };

    Action action = Action::Capture;
    std::string strInterface;   // -i
    std::string strFile;        // -r ("-" for standard input)
    std::string strFolder;      // -o
    std::string strUser;        // -Z: the user to become once the interface is open
    std::string strFilter;      // the arguments after the options: a libpcap filter expression
    std::string strIndexDir;    // --to-pcap DIR
    std::string strPcapOut;     // --to-pcap OUT
    bool bRaw = false;          // --raw
    bool bMidstream = false;    // --midstream: also connections already open
    bool bQuiet = false;        // -q: only lines that report a problem
    bool bLineBuffered = false; // -l: standard output line-buffered
    int64_t llCount = 0;        // -c: stop after this many packets read; 0: no limit
    int64_t llDurationMs = 0;   // --duration: stop after this long a read; 0: no limit
    int nBufferKib = 0;         // -B: the kernel buffer in KiB; 0: the default
    int nSnapLength = 0;        // -s: the snap length; 0: the default (262144)
};

// The usage text, as printed by --help.
extern const char *const kCliUsage;

// Reads argv into options. False with error naming what is wrong (a usage error).
bool ParseCliOptions(int argc, char **argv, CCliOptions &options, std::string &error);
