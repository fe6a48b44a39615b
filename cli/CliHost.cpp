#include "CliHost.h"

#include <cstdio>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The text with CR LF turned into plain line ends, ending with one.
std::string AsLines(const std::string &text)
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

CCliHost::CCliHost(const CCliOptions &options)
    : m_bQuiet(options.bQuiet), m_llAlarmMs(options.strFile.empty() ? 0 : options.llDurationMs)
{
    struct stat st
    {
    };
    if (!options.strFile.empty() && isatty(STDERR_FILENO) &&
        ::stat(options.strFile.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        m_llFileSize = st.st_size;
}

void CCliHost::OnLogLine(const std::string &text, LineKind kind)
{
    // The reason of a failure is told once, on standard error, when the program ends.
    if ((m_bQuiet && kind == LineKind::Progress) || kind == LineKind::Reason)
        return;
    Write(AsLines(text));
}

void CCliHost::Write(const std::string &text)
{
    // Once standard output is gone (a reader that quit, a closed terminal) the capture carries
    // on without it.
    if (m_bStdoutGone)
        return;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        m_bStdoutGone = true;
}

void CCliHost::ShowMessage(const std::string &text)
{
    std::fflush(stdout);
    std::fputs(AsLines(text).c_str(), stderr);
}

void CCliHost::OnReadStarted()
{
    if (m_llAlarmMs <= 0)
        return;
    itimerval timer{};
    timer.it_value.tv_sec = time_t(m_llAlarmMs / 1000);
    timer.it_value.tv_usec = suseconds_t(m_llAlarmMs % 1000 * 1000);
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

void CCliHost::OnFlush()
{
    if (!m_bStdoutGone && std::fflush(stdout) != 0)
        m_bStdoutGone = true;
}

void CCliHost::OnEnded(const CCaptureOutcome &outcome)
{
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    m_outcome = outcome;
    OnFlush();
    if (m_bProgressShown)
        std::fputs("\n", stderr);
}

void CCliHost::OnProgress(const CCaptureProgress &progress)
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
