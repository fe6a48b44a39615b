#include "CliProcess.h"

#include "TempDir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string TempName(const char *tag)
{
    char path[] = "/tmp/marlinox-cli-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0)
        ::close(fd);
    return std::string(path) + tag;
}

} // namespace

CCliProcess::CCliProcess(const std::vector<std::string> &args, long descriptorLimit)
    : m_strOut(TempName(".out")), m_strErr(TempName(".err"))
{
    std::vector<char *> argv;
    std::string program = MARLINOX_CLI_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto &a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        const int out = ::open(m_strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(m_strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (descriptorLimit >= 0) {
            const rlimit limit{rlim_t(descriptorLimit), rlim_t(descriptorLimit)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
                ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
}

CCliProcess::~CCliProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_strOut.c_str());
    ::unlink(m_strErr.c_str());
}

void CCliProcess::Signal(int signal) const
{
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

int CCliProcess::Wait(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_pid > 0) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

std::string CCliProcess::Stdout() const
{
    const auto b = ReadFileBytes(m_strOut);
    return std::string(b.begin(), b.end());
}

std::string CCliProcess::Stderr() const
{
    const auto b = ReadFileBytes(m_strErr);
    return std::string(b.begin(), b.end());
}

int RunCli(const std::vector<std::string> &args, std::string *out, std::string *err,
           long descriptorLimit)
{
    CCliProcess process(args, descriptorLimit);
    const int status = process.Wait(60000);
    if (out)
        *out = process.Stdout();
    if (err)
        *err = process.Stderr();
    return status;
}
