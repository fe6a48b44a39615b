// marlinox-cli: the capture engine without a window.
#include "CaptureWorker.h"
#include "CliHost.h"
#include "Version.h"

#include <pcap/pcap.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <getopt.h>
#include <string>

namespace {

const char *const kUsage = "usage: marlinox-cli (-i IFACE | -r FILE) -o DIR [--raw] [-q]\n"
                           "       marlinox-cli -D\n"
                           "\n"
                           "Captures TCP connections (or, with --raw, every frame) into DIR.\n"
                           "  -i IFACE   capture live on the interface IFACE (needs CAP_NET_RAW)\n"
                           "  -r FILE    read a capture file (pcap or pcapng) instead\n"
                           "  -o DIR     output folder; created if missing\n"
                           "  --raw      RAW mode: every frame into a file of its own\n"
                           "  -q         print only lines that report a problem\n"
                           "  -D         list the interfaces that can be captured on\n"
                           "  --help     this text; --version the version\n";

enum class Parse { Run, Done, Usage };

int Fail(const std::string &message)
{
    std::fprintf(stderr, "marlinox-cli: %s\n", message.c_str());
    return 1;
}

int ListDevices()
{
    pcap_if_t *devices = nullptr;
    char error[PCAP_ERRBUF_SIZE] = "";
    if (pcap_findalldevs(&devices, error) != 0)
        return Fail(error);
    for (pcap_if_t *d = devices; d; d = d->next)
        std::printf("%s\t%s\n", d->name, d->description ? d->description : "");
    pcap_freealldevs(devices);
    return 0;
}

Parse ParseOptions(int argc, char **argv, CCliHost::COptions &options, bool &list)
{
    static const option longOptions[] = {{"raw", no_argument, nullptr, 'R'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, 'V'},
                                         {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "i:r:o:qD", longOptions, nullptr)) != -1) {
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
        case 'q':
            options.bQuiet = true;
            break;
        case 'R':
            options.bRaw = true;
            break;
        case 'D':
            list = true;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return Parse::Done;
        case 'V':
            std::printf("marlinox-cli %s\n", MARLINOX_VERSION);
            return Parse::Done;
        default:
            return Parse::Usage;
        }
    }
    if (optind != argc || list)
        return optind == argc ? Parse::Run : Parse::Usage;
    const bool oneSource = options.strInterface.empty() != options.strFile.empty();
    return oneSource && !options.strFolder.empty() ? Parse::Run : Parse::Usage;
}

// Creates the output folder (parents too) and gives it its trailing '/'.
bool PrepareFolder(std::string &folder)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) {
        Fail(folder + ": " + (ec ? ec.message() : "not a folder"));
        return false;
    }
    if (folder.back() != '/')
        folder += '/';
    return true;
}

// The capture that SIGINT and SIGTERM stop, as the Stop button would.
std::atomic<CCaptureControl *> g_pControl{nullptr};

void OnStopSignal(int)
{
    if (CCaptureControl *control = g_pControl.load())
        control->StopFromSignal();
}

// Runs the capture on this thread. A single-threaded process also writes faster: the kernel
// skips reference counting on every descriptor lookup when no other thread shares the table.
void RunCapture(CCliHost &host)
{
    host.GetControl().Start();
    g_pControl = &host.GetControl();
    struct sigaction action
    {
    };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    CaptureThreadProc(&host);
    g_pControl = nullptr;
}

void PrintSummary(const CCaptureOutcome &outcome)
{
    std::fprintf(stderr, "packets read: %lld, streams created: %d",
                 static_cast<long long>(outcome.nPackets), outcome.nStreams);
    if (outcome.nDropped >= 0)
        std::fprintf(stderr, ", dropped by the kernel: %lld",
                     static_cast<long long>(outcome.nDropped));
    std::fputs("\n", stderr);
}

} // namespace

int main(int argc, char **argv)
{
    CCliHost::COptions options;
    bool list = false;
    switch (ParseOptions(argc, argv, options, list)) {
    case Parse::Done:
        return 0;
    case Parse::Usage:
        std::fputs(kUsage, stderr);
        return 2;
    case Parse::Run:
        break;
    }
    if (list)
        return ListDevices();
    if (!PrepareFolder(options.strFolder))
        return 1;

    CCliHost host(std::move(options));
    RunCapture(host);
    const CCaptureOutcome &outcome = host.GetOutcome();
    PrintSummary(outcome);
    if (outcome.bFailed)
        return Fail(outcome.strError);
    return 0;
}
