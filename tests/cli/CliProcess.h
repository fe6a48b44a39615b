#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

// marlinox-cli run as a child process, its output captured into files.
class CCliProcess
{
public:
    // descriptorLimit >= 0: the child's soft and hard limit on open descriptors.
    explicit CCliProcess(const std::vector<std::string> &args, long descriptorLimit = -1);
    ~CCliProcess();
    CCliProcess(const CCliProcess &) = delete;
    CCliProcess &operator=(const CCliProcess &) = delete;

    void Signal(int signal) const;
    // Waits for the process to end, at most timeoutMs; returns its exit status, or -1 when
    // it had not ended (it is then killed).
    int Wait(int timeoutMs);
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    std::string m_strOut;
    std::string m_strErr;
};

// Runs marlinox-cli to its end and returns its exit status (-1 if it hung for 60 s).
int RunCli(const std::vector<std::string> &args, std::string *out = nullptr,
           std::string *err = nullptr, long descriptorLimit = -1);
