#include "CliOptions.h"

#include "CaptureSource.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <getopt.h>
#include <set>

const char *const kCliUsage =
    "usage: marlinox-cli (-i IFACE | -r FILE) -o DIR [--raw] [--midstream] [-q] [-l]\n"
    "                    [-c COUNT] [--duration SECONDS] [-B KIB] [-s SNAPLEN] [-Z USER]\n"
    "                    [EXPRESSION]\n"
    "       marlinox-cli -D\n"
    "       marlinox-cli [-Z USER] --to-pcap DIR (OUT.pcap | -)\n"
    "       marlinox-cli -h | --help | --version\n"
    "\n"
    "Captures TCP connections (or, with --raw, every frame) into DIR.\n"
    "  -i IFACE    capture live on the interface IFACE (needs CAP_NET_RAW)\n"
    "  -r FILE     read a capture file (pcap or pcapng) instead; - reads standard input\n"
    "  -o DIR      output folder; created if missing (private to its owner)\n"
    "  --raw       RAW mode: every frame into a file of its own\n"
    "  --midstream also follow connections open before the capture, each direction from\n"
    "              its first segment seen\n"
    "  -q          print only lines that report a problem\n"
    "  -l          line-buffered standard output (else flushed at least once a second)\n"
    "  -c COUNT    stop after COUNT packets read (those the filter lets through)\n"
    "  --duration SECONDS\n"
    "              stop SECONDS (a decimal number) after the capture begins to read\n"
    "  -B KIB      kernel buffer of a live capture, in KiB (default 32768)\n"
    "  -s SNAPLEN  keep at most SNAPLEN bytes of each frame (0 and default: 262144)\n"
    "  -Z USER     run as USER once the interface is open (default under sudo: the user who\n"
    "              ran sudo)\n"
    "  EXPRESSION  a libpcap filter expression, as for tcpdump (e.g. port 443 and host\n"
    "              10.0.0.7); tagged frames are matched by writing vlan and ...\n"
    "  -D          list the interfaces: name, description, whether Packet Combine mode can\n"
    "              assemble their traffic (combine), falls back to RAW mode (raw) or could\n"
    "              not be asked (?), their flags, and why they could not be asked\n"
    "  --to-pcap   turn the RAW mode output folder DIR back into the capture file OUT.pcap,\n"
    "              or with - onto standard output; as USER (-Z, sudo) once DIR is open\n"
    "  -h, --help  this text; --version the version\n"
    "\n"
    "Exit status: 0 done; 1 the capture could not run or failed; 2 bad usage;\n"
    "3 the capture ran to its end but some files could not be written.\n";

namespace {

// libpcap compiles an expression in time and memory that grow faster than its length.
constexpr size_t kMaxFilterBytes = 64 * 1024;
// The largest snap length libpcap captures with, which -s 0 stands for, as in tcpdump.
constexpr int64_t kMaxSnapLength = CCaptureSource::kSnapLength;
// The kernel buffer's size is an int of bytes.
constexpr int64_t kMaxBufferKib = INT_MAX / 1024;
constexpr double kMaxSeconds = 1e9;

enum LongOption {
    kRaw = 256,
    kVersion,
    kToPcap,
    kMidstream,
    kDuration,
};

const option kLongOptions[] = {{"raw", no_argument, nullptr, kRaw},
                               {"midstream", no_argument, nullptr, kMidstream},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, kVersion},
                               {"to-pcap", required_argument, nullptr, kToPcap},
                               {"duration", required_argument, nullptr, kDuration},
                               {nullptr, 0, nullptr, 0}};

// The option's name as it is typed: -x, or --name.
std::string OptionName(int c)
{
    for (const option &o : kLongOptions) {
        if (o.name && o.val == c && c > 255)
            return std::string("--") + o.name;
    }
    return std::string("-") + char(c);
}

// text as a whole number from min to max, written in decimal digits alone.
bool ParseNumber(const std::string &text, int64_t min, int64_t max, int64_t &value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return value >= min && value <= max;
}

// text as a positive number of seconds in decimal ("2", "0.25"), in milliseconds rounded up.
bool ParseSeconds(const std::string &text, int64_t &ms)
{
    const bool plain = text.find_first_not_of("0123456789.") == text.npos &&
                       std::count(text.begin(), text.end(), '.') <= 1 &&
                       text.find_first_of("0123456789") != text.npos;
    const double seconds = plain ? std::strtod(text.c_str(), nullptr) : 0;
    if (!(seconds > 0 && seconds <= kMaxSeconds))
        return false;
    ms = int64_t(std::ceil(seconds * 1000));
    return true;
}

// Reads the value of option c into options; false with error when it is not one.
bool TakeValue(int c, const std::string &value, CCliOptions &options, std::string &error)
{
    int64_t n = 0;
    switch (c) {
    case 'i':
        options.strInterface = value;
        return true;
    case 'r':
        options.strFile = value;
        return true;
    case 'o':
        options.strFolder = value;
        return true;
    case 'Z':
        options.strUser = value;
        return true;
    case kToPcap:
        options.action = CCliOptions::Action::ToPcap;
        options.strIndexDir = value;
        return true;
    case 'c':
        if (ParseNumber(value, 1, INT64_MAX, n)) {
            options.llCount = n;
            return true;
        }
        error = "-c " + value + ": not a packet count (1 or more)";
        return false;
    case 'B':
        if (ParseNumber(value, 1, kMaxBufferKib, n)) {
            options.nBufferKib = int(n);
            return true;
        }
        error = "-B " + value + ": not a buffer size in KiB (1 to " +
                std::to_string(kMaxBufferKib) + ")";
        return false;
    case 's':
        if (ParseNumber(value, 0, kMaxSnapLength, n)) {
            options.nSnapLength = int(n == 0 ? kMaxSnapLength : n);
            return true;
        }
        error = "-s " + value + ": not a snap length (0 to " + std::to_string(kMaxSnapLength) + ")";
        return false;
    default: // kDuration
        if (ParseSeconds(value, options.llDurationMs))
            return true;
        error = "--duration " + value + ": not a positive number of seconds";
        return false;
    }
}

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
    using Action = CCliOptions::Action;
    opterr = 0;
    optind = 1;
    std::set<int> given; // the options with a value given so far: each may come once
    int c;
    while ((c = getopt_long(argc, argv, "+:i:r:o:Z:c:B:s:qlDh", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case 'q':
            options.bQuiet = true;
            break;
        case 'l':
            options.bLineBuffered = true;
            break;
        case kRaw:
            options.bRaw = true;
            break;
        case kMidstream:
            options.bMidstream = true;
            break;
        case 'D':
            options.action = Action::List;
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
        case '?':
            error = optopt ? std::string("unknown option -") + char(optopt)
                           : std::string("unknown option ") + argv[optind - 1];
            return false;
        default:
            if (!given.insert(c).second) {
                error = "option " + OptionName(c) + " given twice";
                return false;
            }
            if (!TakeValue(c, optarg, options, error))
                return false;
            break;
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
