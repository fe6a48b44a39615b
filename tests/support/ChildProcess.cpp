#include "ChildProcess.h"

#include "Loopback.h"
#include "TempDir.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

CChild::CChild(const std::vector<std::string> &argv, const CChildSetup &setup)
    : m_strOut(m_dir.Path() + "out"), m_strErr(m_dir.Path() + "err")
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
}

void CChild::Signal(int signal) const
{
    if (m_pid > 0)
        ::kill(m_pid, signal);
}

int CChild::Wait(int timeoutMs)
{
    int status = 0;
    if (m_pid <= 0 || !WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; },
                               timeoutMs))
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
