#include "CliHost.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

// The text with CR LF turned into plain line ends, ending with one.
std::string AsLines(std::string text)
{
    std::string out;
    out.reserve(text.size() + 1);
    for (char c : text) {
        if (c != '\r')
            out += c;
    }
    if (out.empty() || out.back() != '\n')
        out += '\n';
    return out;
}

} // namespace

CCliHost::CCliHost(COptions options) : m_options(std::move(options))
{
    if (!m_options.strInterface.empty())
        FindDevice();
    if (!m_options.strFile.empty() && isatty(STDERR_FILENO)) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(m_options.strFile, ec);
        m_llFileSize = ec ? -1 : static_cast<long long>(size);
    }
}

CCliHost::~CCliHost()
{
    if (m_pDevices)
        pcap_freealldevs(m_pDevices);
}

void CCliHost::FindDevice()
{
    char error[PCAP_ERRBUF_SIZE] = "";
    if (pcap_findalldevs(&m_pDevices, error) == 0) {
        for (pcap_if_t *d = m_pDevices; d; d = d->next) {
            if (m_options.strInterface == d->name) {
                m_pDevice = d;
                return;
            }
        }
    }
    // Not listed (or the list failed): try to open it by name all the same.
    m_pNamed = std::make_unique<pcap_if_t>();
    m_pNamed->name = m_options.strInterface.data();
    m_pDevice = m_pNamed.get();
}

void CCliHost::AppendLog(const std::string &text, LineKind kind)
{
    if (m_options.bQuiet && kind == LineKind::Progress)
        return;
    const std::string lines = AsLines(text);
    std::fwrite(lines.data(), 1, lines.size(), stdout);
}

void CCliHost::ShowMessage(const std::string &text)
{
    std::fflush(stdout);
    std::fputs(AsLines(text).c_str(), stderr);
}

void CCliHost::EnableControls(bool enable)
{
    if (!enable)
        return;
    std::fflush(stdout);
    if (m_bProgressShown)
        std::fputs("\n", stderr);
}

void CCliHost::ReportProgress(const CCaptureProgress &progress)
{
    if (m_llFileSize <= 0 || progress.nFileBytes < 0)
        return;
    const int width = 40;
    const double done = double(progress.nFileBytes) / double(m_llFileSize);
    const int filled = done >= 1 ? width : int(done * width);
    std::fprintf(stderr, "\r[%-*s] %3d%% %lld packets", width,
                 std::string(size_t(filled), '#').c_str(), int(done * 100),
                 static_cast<long long>(progress.nPackets));
    m_bProgressShown = true;
}
