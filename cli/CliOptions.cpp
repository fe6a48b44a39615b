#include "CliOptions.h"

#include <getopt.h>

const char *const kCliUsage =
    "usage: marlinox-cli (-i IFACE | -r FILE) -o DIR [--raw] [-q] [-Z USER] [EXPRESSION]\n"
    "       marlinox-cli -D\n"
    "       marlinox-cli [-Z USER] --to-pcap DIR (OUT.pcap | -)\n"
    "       marlinox-cli -h | --help | --version\n"
    "\n"
    "Captures TCP connections (or, with --raw, every frame) into DIR.\n"
    "  -i IFACE    capture live on the interface IFACE (needs CAP_NET_RAW)\n"
    "  -r FILE     read a capture file (pcap or pcapng) instead; - reads standard input\n"
    "  -o DIR      output folder; created if missing (private to its owner)\n"
    "  --raw       RAW mode: every frame into a file of its own\n"
    "  -q          print only lines that report a problem\n"
    "  -Z USER     run as USER once the interface is open (default under sudo: the user who\n"
    "              ran sudo)\n"
    "  EXPRESSION  a libpcap filter expression, as for tcpdump (e.g. port 443 and host\n"
    "              10.0.0.7); tagged frames are matched by writing vlan and ...\n"
    "  -D          list the interfaces: name, description, and whether Packet Combine\n"
    "              mode can assemble their traffic (combine), falls back to RAW mode (raw)\n"
    "              or could not be asked (?)\n"
    "  --to-pcap   turn the RAW mode output folder DIR back into the capture file OUT.pcap,\n"
    "              or with - onto standard output; as USER (-Z, sudo) once DIR is open\n"
    "  -h, --help  this text; --version the version\n"
    "\n"
    "Exit status: 0 done; 1 the capture could not run or failed; 2 bad usage;\n"
    "3 the capture ran to its end but some files could not be written.\n";

namespace {

// libpcap compiles an expression in time and memory that grow faster than its length.
constexpr size_t kMaxFilterBytes = 64 * 1024;

enum LongOption {
    kRaw = 256,
    kVersion,
    kToPcap,
};

std::string Joined(int argc, char **argv, int from)
{
    std::string text;
    for (int i = from; i < argc; ++i) {
        if (!text.empty())
            text += ' ';
        text += argv[i];
    }
    return text;
}

bool Check(const CCliOptions &o, std::string &error)
{
    using Action = CCliOptions::Action;
    if (o.action == Action::ToPcap && o.strPcapOut.empty())
        error = "--to-pcap needs a folder and a file to write";
    else if (o.action != Action::Capture)
        return true;
    else if (o.strInterface.empty() == o.strFile.empty())
        error = o.strFile.empty() ? "no interface (-i) or capture file (-r) given"
                                  : "-i and -r cannot be given together";
    else if (o.strFolder.empty())
        error = "no output folder (-o) given";
    else if (o.strFilter.size() > kMaxFilterBytes)
        error = "filter expression longer than 64 KiB";
    return error.empty();
}

} // namespace

bool ParseCliOptions(int argc, char **argv, CCliOptions &options, std::string &error)
{
    static const option longOptions[] = {{"raw", no_argument, nullptr, kRaw},
                                         {"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, kVersion},
                                         {"to-pcap", required_argument, nullptr, kToPcap},
                                         {nullptr, 0, nullptr, 0}};
    using Action = CCliOptions::Action;
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "+:i:r:o:Z:qDh", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'i':
            options.strInterface = optarg;
            break;
        case 'r':
            options.strFile = optarg;
            break;
        case 'o':
            options.strFolder = optarg;
            break;
        case 'Z':
            options.strUser = optarg;
            break;
        case 'q':
            options.bQuiet = true;
            break;
        case kRaw:
            options.bRaw = true;
            break;
        case 'D':
            options.action = Action::List;
            break;
        case kToPcap:
            options.action = Action::ToPcap;
            options.strIndexDir = optarg;
            break;
        case 'h':
            options.action = Action::Help;
            return true;
        case kVersion:
            options.action = Action::Version;
            return true;
        case ':':
            error = std::string("option ") + argv[optind - 1] + " needs an argument";
            return false;
        default:
            error = optopt ? std::string("unknown option -") + char(optopt)
                           : std::string("unknown option ") + argv[optind - 1];
            return false;
        }
    }
    if (options.action == Action::ToPcap) {
        if (optind < argc)
            options.strPcapOut = argv[optind++];
        if (optind < argc) {
            error = std::string("unexpected argument ") + argv[optind];
            return false;
        }
    } else if (options.action == Action::List && optind < argc) {
        error = std::string("unexpected argument ") + argv[optind];
        return false;
    } else {
        options.strFilter = Joined(argc, argv, optind);
    }
    return Check(options, error);
}
