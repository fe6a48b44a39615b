#include "CliHost.h"

#include "Folder.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

// Hands a folder that was made for the capture to user, without following a link planted in
// its place.
bool GiveFolder(const std::string &path, const CUser &user)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool given = ::fchown(fd, user.uid, user.gid) == 0;
    ::close(fd);
    return given;
}

} // namespace

CCliHost::CCliHost(CCliOptions options, std::optional<CUser> user)
    : m_options(std::move(options)), m_user(std::move(user))
{
    if (!m_options.strInterface.empty())
        FindDevice();
    struct stat st
    {
    };
    if (!m_options.strFile.empty() && isatty(STDERR_FILENO) &&
        ::stat(m_options.strFile.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        m_llFileSize = st.st_size;
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

bool CCliHost::OpenOutputFolder(CFolder &folder, std::string &error)
{
    if (!MakeFolder(error) || !folder.Open(m_options.strFolder)) {
        if (error.empty())
            error = m_options.strFolder + ": cannot open the folder: " + std::strerror(errno);
        m_strFolderError = error;
        return false;
    }
    if (m_user) {
        for (const std::string &made : m_created)
            GiveFolder(made, *m_user);
    }
    // Everything after this point (files, standard output) needs no privilege at all.
    if (!Privileges::GiveUp(m_user ? &*m_user : nullptr, error)) {
        m_strFolderError = error;
        return false;
    }
    return true;
}

// Creates the output folder and any missing parents, private to their owner.
bool CCliHost::MakeFolder(std::string &error)
{
    std::string &path = m_options.strFolder;
    if (path.back() != '/')
        path += '/';
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) == 0) {
            m_created.push_back(part);
            continue;
        }
        struct stat st
        {
        };
        if (errno == EEXIST && ::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        error = errno == EEXIST ? part + ": not a folder"
                                : part + ": cannot create the folder: " + std::strerror(errno);
        return false;
    }
    return true;
}

void CCliHost::AppendLog(const std::string &text, LineKind kind)
{
    if (m_options.bQuiet && kind == LineKind::Progress)
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

void CCliHost::EnableControls(bool enable)
{
    if (!enable)
        return;
    if (!m_bStdoutGone && std::fflush(stdout) != 0)
        m_bStdoutGone = true;
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
