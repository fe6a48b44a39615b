#pragma once
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
    std::string strInterface; // -i
    std::string strFile;      // -r ("-" for standard input)
    std::string strFolder;    // -o, ending with '/' once prepared
    std::string strUser;      // -Z: the user to become once the interface is open
    std::string strFilter;    // the arguments after the options: a libpcap filter expression
    std::string strIndexDir;  // --to-pcap DIR
    std::string strPcapOut;   // --to-pcap OUT
    bool bRaw = false;        // --raw
    bool bQuiet = false;      // -q: only lines that report a problem
};

// The usage text, as printed by --help and after a usage error.
extern const char *const kCliUsage;

// Reads argv into options. False with error naming what is wrong (a usage error).
bool ParseCliOptions(int argc, char **argv, CCliOptions &options, std::string &error);
