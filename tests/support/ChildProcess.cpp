#include "ChildProcess.h"

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
    char path[] = "/tmp/marlinox-rel-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0)
        ::close(fd);
    ::unlink(path);
    return std::string(path) + tag;
}

} // namespace

CChild::CChild(const std::vector<std::string> &argv, const CChildSetup &setup)
    : m_strOut(TempName(".out")), m_strErr(TempName(".err"))
{
    std::vector<std::string> copies = argv;
    std::vector<char *> pointers;
    for (auto &a : copies)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    // Everything the child needs is made before the fork: only async-signal-safe calls after.
    std::vector<std::string> environment = setup.env;
    for (char **e = environ; *e; ++e)
        environment.emplace_back(*e);
    std::vector<char *> envp;
    for (auto &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid != 0)
        return;
    const int in = setup.stdinFd >= 0 ? setup.stdinFd : ::open("/dev/null", O_RDONLY);
    const int out = setup.stdoutFd >= 0 ? setup.stdoutFd
                                        : ::open(m_strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(m_strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (setup.nofile >= 0) {
        const rlimit limit{rlim_t(setup.nofile), rlim_t(setup.nofile)};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(126);
    }
    ::execve(pointers[0], pointers.data(), envp.data());
    ::_exit(127);
}

CChild::~CChild()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_strOut.c_str());
    ::unlink(m_strErr.c_str());
}

void CChild::Signal(int signal) const
{
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

int CChild::Wait(int timeoutMs)
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

std::string CChild::Stdout() const { return ReadText(m_strOut); }
std::string CChild::Stderr() const { return ReadText(m_strErr); }

std::vector<std::string> Cli(std::vector<std::string> args)
{
    args.insert(args.begin(), MARLINOX_CLI_PATH);
    return args;
}

int RunCli(const std::vector<std::string> &args, std::string *out, std::string *err,
           const CChildSetup &setup)
{
    CChild child(Cli(args), setup);
    const int status = child.Wait(120000);
    if (out)
        *out = child.Stdout();
    if (err)
        *err = child.Stderr();
    return status;
}
