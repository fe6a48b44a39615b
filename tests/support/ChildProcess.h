#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

// A program run as a child process, its standard output and error captured into files.
// The destructor kills it if it still runs.
class CChild
{
public:
    // argv[0] is the program's path. A nofile limit >= 0 sets the child's soft and hard
    // RLIMIT_NOFILE before it starts the program.
    explicit CChild(const std::vector<std::string> &argv, long nofile = -1);
    ~CChild();
    CChild(const CChild &) = delete;
    CChild &operator=(const CChild &) = delete;

    void Signal(int signal) const;
    // Waits at most timeoutMs; returns the exit status, 128 + the signal when a signal ended
    // it, or -1 when it was still running (it is then killed).
    int Wait(int timeoutMs);
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    std::string m_strOut;
    std::string m_strErr;
};

// marlinox-cli's arguments with its path in front.
std::vector<std::string> Cli(std::vector<std::string> args);

// Runs marlinox-cli to its end (at most 120 s) and returns its exit status, -1 on a hang.
int RunCli(const std::vector<std::string> &args, std::string *out = nullptr,
           std::string *err = nullptr, long nofile = -1);
