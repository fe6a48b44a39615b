#pragma once
#include "TempDir.h"

#include <string>
#include <sys/types.h>
#include <vector>

// How a child process starts.
struct CChildSetup
{
    long nofile = -1;                  // >= 0: its soft and hard RLIMIT_NOFILE
    long fsize = -1;                   // >= 0: its RLIMIT_FSIZE, the most bytes a file may hold
    int umask = -1;                    // >= 0: its file-creation mask
    bool closeStd = false;             // it starts with standard input, output and error closed
    bool stdinPipe = false;            // its standard input a pipe whose write end TakeStdin gives
    bool stdoutGone = false;           // its standard output a pipe that nobody reads (else a file)
    std::vector<std::string> env = {}; // NAME=VALUE entries added to its environment
};

// A program run as a child process, its standard output and error captured into files.
// The destructor kills it if it still runs.
class CChild
{
public:
    // argv[0] is the program's path.
    explicit CChild(const std::vector<std::string> &argv, const CChildSetup &setup = {});
    ~CChild();
    CChild(const CChild &) = delete;
    CChild &operator=(const CChild &) = delete;

    pid_t Pid() const { return m_pid; }
    void Signal(int signal) const;
    // The write end of its standard input (CChildSetup::stdinPipe), now the caller's to close.
    int TakeStdin();
    // Waits at most timeoutMs; returns the exit status, 128 + the signal when a signal ended
    // it, or -1 when it was still running.
    int Wait(int timeoutMs);
    std::string Stdout() const { return ReadText(m_strOut); }
    std::string Stderr() const { return ReadText(m_strErr); }

private:
    CTempDir m_dir; // holds the files its standard output and error go to
    pid_t m_pid = -1;
    int m_stdin = -1;
    std::string m_strOut;
    std::string m_strErr;
};

// marlinox-cli's arguments with its path in front.
std::vector<std::string> Cli(std::vector<std::string> args);

// What log.txt holds after a capture of count packets (in Packet Combine mode: streams) in
// mode ("RAW mode", "Packet Combine mode") on a link layer with a header of header bytes.
inline std::string Log(const std::string &header, const std::string &mode, size_t count)
{
    return "DataLinkLayer Headersize : " + header + "\r\n" + mode +
           "\r\nCaptured Packet : " + std::to_string(count) + "\r\n";
}

// Runs marlinox-cli to its end (at most 120 s) and returns its exit status, -1 on a hang.
int RunCli(const std::vector<std::string> &args, std::string *out = nullptr,
           std::string *err = nullptr, const CChildSetup &setup = {});
