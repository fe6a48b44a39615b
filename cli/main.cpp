// marlinox-cli: the capture engine without a window.
#include "CaptureControl.h"
#include "CaptureRequest.h"
#include "CaptureSource.h"
#include "CaptureWorker.h"
#include "CliHost.h"
#include "CliOptions.h"
#include "PacketFields.h"
#include "PcapExport.h"
#include "Privileges.h"
#include "StartUp.h"
#include "Version.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFilesFailed = 3;

int Fail(const std::string &message)
{
    std::fprintf(stderr, "marlinox-cli: %s\n", message.c_str());
    return kExitFailed;
}

int Usage(const std::string &message)
{
    std::fprintf(stderr, "marlinox-cli: %s\nTry 'marlinox-cli --help'.\n", message.c_str());
    return kExitUsage;
}

// Whether Packet Combine mode can assemble the interface's traffic: "combine", "raw" when it
// falls back to RAW mode, or "?" and a tab and why when the interface cannot be opened to ask.
std::string CombineAbility(const char *name)
{
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *handle = pcap_create(name, error);
    if (!handle)
        return std::string("?\t") + error;
    int rc;
    {
        const CRawCaptureCapability capability;
        rc = pcap_activate(handle);
    }
    std::string ability;
    if (rc == PCAP_ERROR_PERM_DENIED)
        ability = "?\tno privilege";
    else if (rc == PCAP_ERROR_IFACE_NOT_UP)
        ability = "?\tdown";
    else if (rc < 0)
        ability =
            std::string("?\t") + (rc == PCAP_ERROR ? pcap_geterr(handle) : pcap_statustostr(rc));
    else
        ability = GetDataLinkHeaderSize(pcap_datalink(handle)) >= 0 ? "combine" : "raw";
    pcap_close(handle);
    return ability;
}

// The flags libpcap lists for an interface, comma-separated.
std::string Flags(bpf_u_int32 flags)
{
    const std::pair<bpf_u_int32, const char *> names[] = {{PCAP_IF_UP, "up"},
                                                          {PCAP_IF_RUNNING, "running"},
                                                          {PCAP_IF_LOOPBACK, "loopback"},
                                                          {PCAP_IF_WIRELESS, "wireless"}};
    std::string text;
    for (const auto &[flag, name] : names) {
        if (flags & flag)
            text += (text.empty() ? "" : ",") + std::string(name);
    }
    return text;
}

// One interface a line: name, description, what Packet Combine mode makes of it, its flags,
// and, when it could not be opened to ask, why.
int ListDevices()
{
    pcap_if_t *devices = nullptr;
    char error[PCAP_ERRBUF_SIZE] = "";
    if (pcap_findalldevs(&devices, error) != 0)
        return Fail(error);
    for (pcap_if_t *d = devices; d; d = d->next) {
        std::string ability = CombineAbility(d->name);
        const size_t tab = std::min(ability.find('\t'), ability.size());
        ability.insert(tab, "\t" + Flags(d->flags));
        std::printf("%s\t%s\t%s\n", d->name, d->description ? d->description : "", ability.c_str());
    }
    pcap_freealldevs(devices);
    return 0;
}

// The user to become once the interface is open: -Z's, or under sudo the one who ran it.
bool TargetUser(const CCliOptions &options, std::optional<CUser> &user, std::string &error)
{
    CUser found;
    if (!options.strUser.empty()) {
        if (::geteuid() != 0) {
            error = "-Z " + options.strUser + ": only root can change its user";
            return false;
        }
        if (!Privileges::FindUser(options.strUser, found, error))
            return false;
        user = found;
    } else if (Privileges::GetInvokingUser(found)) {
        user = found;
    }
    return true;
}

// Turns a RAW mode output folder back into a capture file. The summary line names each kind of
// frame that was not written when there are some of that kind.
int ToPcap(const CCliOptions &options)
{
    std::optional<CUser> user;
    std::string error;
    if (!TargetUser(options, user, error))
        return Fail(error);
    const CPcapExportResult r =
        ExportToPcap(options.strIndexDir, options.strPcapOut, user ? &*user : nullptr);
    if (!r.strError.empty())
        return Fail(r.strError);
    if (!r.strProblem.empty())
        std::fprintf(stderr, "marlinox-cli: %s\n", r.strProblem.c_str());
    std::fprintf(stderr, "frames written: %ld, missing: %ld, wrong length: %ld", r.nWritten,
                 r.nMissing, r.nWrongLength);
    const std::string tooLong = "over " + std::to_string(CCaptureSource::kSnapLength) + " bytes";
    const std::pair<std::string, long> others[] = {
        {"of another link type", r.nOtherLink},
        {"unreadable rows", r.nNotRows},
        {"longer than they were sent", r.nLongerThanSent},
        {tooLong, r.nTooLong},
        {"with a time before 1970 or after 2106", r.nOutOfTime}};
    long notWritten = r.nMissing + r.nWrongLength;
    for (const auto &[what, count] : others) {
        if (count > 0)
            std::fprintf(stderr, ", %s: %ld", what.c_str(), count);
        notWritten += count;
    }
    std::fputs("\n", stderr);
    return notWritten > 0 ? kExitFilesFailed : 0;
}

// The capture that SIGINT, SIGTERM and SIGHUP stop, as the Stop button would.
std::atomic<CCaptureControl *> g_pControl{nullptr};

void OnStopSignal(int)
{
    if (CCaptureControl *control = g_pControl.load())
        control->StopFromSignal();
}

// Runs the capture on this thread. A single-threaded process also writes faster: the kernel
// skips reference counting on every descriptor lookup when no other thread shares the table.
void RunCapture(const CCaptureRequest &request, CCliHost &host)
{
    CCaptureControl control;
    control.Start();
    g_pControl = &control;
    struct sigaction action
    {
    };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // SIGALRM: the end of a capture file's duration (CCliHost).
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGALRM})
        sigaction(s, &action, nullptr);
    CaptureThreadProc(request, control, host);
    g_pControl = nullptr;
}

void PrintSummary(const CCaptureOutcome &outcome)
{
    std::fprintf(stderr, "packets read: %lld, streams created: %d",
                 static_cast<long long>(outcome.nPackets), outcome.nStreams);
    if (outcome.nDropped >= 0)
        std::fprintf(stderr, ", dropped by the kernel: %lld",
                     static_cast<long long>(outcome.nDropped));
    std::fprintf(stderr, ", files that failed: %d, streams with missing bytes: %d\n",
                 outcome.nFailedFiles, outcome.nIncompleteStreams);
}

int Capture(const CCliOptions &options)
{
    CCaptureRequest request;
    std::string error;
    if (!TargetUser(options, request.owner, error))
        return Fail(error);
    if (!options.strFile.empty() && options.strFile != "-" &&
        ::access(options.strFile.c_str(), R_OK) != 0)
        return Fail(options.strFile + ": cannot read the capture file: " + std::strerror(errno));

    request.strProgram = "marlinox-cli";
    request.strDevice = options.strInterface;
    request.strFile = options.strFile;
    request.strFilter = options.strFilter;
    request.bCombine = !options.bRaw;
    request.bMidstream = options.bMidstream;
    request.llPacketLimit = options.llCount;
    request.llDurationMs = options.llDurationMs;
    request.nBufferKib = options.nBufferKib;
    request.nSnapLength = options.nSnapLength;
    request.strFolder = options.strFolder;
    request.bMakeParents = true;
    // Everything after opening the interface and the folder (files, standard output) needs no
    // privilege at all.
    request.bGiveUpPrivileges = true;
    CCliHost host(options);
    RunCapture(request, host);
    const CCaptureOutcome &outcome = host.GetOutcome();
    if (outcome.bBadFilterExpression)
        return Usage("bad filter expression: " + outcome.strReason);
    // Standard output had the log line; standard error gets the reason, in the library's or
    // the system's words, as the one line of a failure.
    if (outcome.bFailed)
        return Fail(outcome.strReason.empty() ? outcome.strError : outcome.strReason);
    PrintSummary(outcome);
    return outcome.nFailedFiles > 0 ? kExitFilesFailed : 0;
}

} // namespace

int main(int argc, char **argv)
{
    StartUp::OpenStandardDescriptors();
    StartUp::GetUmask();
    // A reader of standard output that goes away must not end the capture.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f) fails a write with EFBIG, told and counted like a full disk,
    // instead of ending the capture.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string error;
    if (!Privileges::CheckSudoIds(error))
        return Fail(error);
    CCliOptions options;
    if (!ParseCliOptions(argc, argv, options, error))
        return Usage(error);
    if (options.bLineBuffered)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    switch (options.action) {
    case CCliOptions::Action::Help:
        std::fputs(kCliUsage, stdout);
        return 0;
    case CCliOptions::Action::Version:
        std::printf("marlinox-cli %s\n", MARLINOX_VERSION);
        return 0;
    case CCliOptions::Action::List:
        return ListDevices();
    case CCliOptions::Action::ToPcap:
        return ToPcap(options);
    case CCliOptions::Action::Capture:
        break;
    }
    return Capture(options);
}
