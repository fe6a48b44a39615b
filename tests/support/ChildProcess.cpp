#include "ChildProcess.h"

#include "Loopback.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

CChild::CChild(const std::vector<std::string> &argv, const CChildSetup &setup)
    : m_strOut(m_dir.Path() + "out"), m_strErr(m_dir.Path() + "err")
{
    // Everything the child needs is made before the fork: only async-signal-safe calls after.
    std::vector<std::string> strings = argv;
    const size_t argc = strings.size();
    strings.insert(strings.end(), setup.env.begin(), setup.env.end());
    for (char **e = environ; *e; ++e)
        strings.emplace_back(*e);
    std::vector<char *> pointers;
    for (auto &s : strings)
        pointers.push_back(s.data());
    pointers.insert(pointers.begin() + long(argc), nullptr); // argv, then the environment
    pointers.push_back(nullptr);
    int in[2] = {-1, -1};
    if (setup.stdinPipe)
        (void)!::pipe2(in, O_CLOEXEC);
    m_pid = ::fork();
    if (m_pid != 0) {
        ::close(in[0]); // the child's end (-1 without a pipe: nothing)
        m_stdin = in[1];
        return;
    }
    int out[2] = {-1, -1};
    if (setup.stdoutGone && ::pipe(out) == 0)
        ::close(out[0]);
    ::dup2(in[0] >= 0 ? in[0] : ::open("/dev/null", O_RDONLY), STDIN_FILENO);
    ::dup2(out[1] >= 0 ? out[1] : ::open(m_strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
           STDOUT_FILENO);
    ::dup2(::open(m_strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    for (const auto &[resource, value] :
         {std::pair(RLIMIT_NOFILE, setup.nofile), std::pair(RLIMIT_FSIZE, setup.fsize)}) {
        const rlimit limit{rlim_t(value), rlim_t(value)};
        if (value >= 0 && ::setrlimit(resource, &limit) != 0)
            ::_exit(126);
    }
    if (setup.umask >= 0)
        ::umask(mode_t(setup.umask));
    for (int fd = 0; setup.closeStd && fd <= 2; ++fd)
        ::close(fd);
    ::execve(pointers[0], pointers.data(), pointers.data() + argc + 1);
    ::_exit(127);
}

CChild::~CChild()
{
    if (m_stdin >= 0)
        ::close(m_stdin);
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

int CChild::TakeStdin() { return std::exchange(m_stdin, -1); }

int CChild::Wait(int timeoutMs)
{
    int status = 0;
    if (m_pid <= 0 ||
        !WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutMs))
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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
