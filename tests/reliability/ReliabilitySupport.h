#pragma once
#include "ChildProcess.h"
#include "Loopback.h"

#include <cstdint>
#include <string>
#include <vector>

// Helpers shared by the reliability tests: mounts and network namespaces that clean up after
// themselves, a capture file fed to marlinox-cli piece by piece, and checks of a finished
// output folder.

using Bytes = std::vector<uint8_t>;

// Runs a shell command; true when it exited with 0. Its output goes to the test's log.
bool Shell(const std::string &command);

// A tmpfs mounted on an existing folder; unmounted (lazily, should a file still be open) on
// destruction.
class CMount
{
public:
    CMount(const std::string &folder, const std::string &options);
    ~CMount();
    CMount(const CMount &) = delete;
    CMount &operator=(const CMount &) = delete;
    bool IsMounted() const { return m_bMounted; }

private:
    std::string m_strFolder;
    bool m_bMounted = false;
};

// A network namespace named marlinox-test-<pid>-<tag>, deleted with everything in it.
class CNetns
{
public:
    explicit CNetns(const std::string &tag);
    ~CNetns();
    CNetns(const CNetns &) = delete;
    CNetns &operator=(const CNetns &) = delete;
    const std::string &Name() const { return m_strName; }
    bool IsCreated() const { return m_bCreated; }
    // Runs a command inside the namespace.
    bool Run(const std::string &command) const;

private:
    std::string m_strName;
    bool m_bCreated = false;
};

// A pipe that marlinox-cli reads as its capture file (-r -) while the test writes it frame by
// frame (Ethernet), so that the test decides what has been captured when it acts.
class CPcapPipe
{
public:
    CPcapPipe();
    ~CPcapPipe();
    CPcapPipe(const CPcapPipe &) = delete;
    CPcapPipe &operator=(const CPcapPipe &) = delete;
    // The end to give the child as its standard input; closed here once the child has it.
    int ReadEnd() const { return m_fd[0]; }
    void Write(const Bytes &frame);
    // Closing ends the reader's file.
    void Close();

private:
    int m_fd[2] = {-1, -1};
    bool m_bHeader = false;
};

void WriteFile(const std::string &path, const Bytes &bytes);
// The lines of text (without their line ends).
std::vector<std::string> Lines(const std::string &text);
// A TCP payload that can be recognised afterwards: deterministic per connection and side.
Bytes Payload(int connection, int side, size_t size);
// An Ethernet capture file of IP packets.
void WritePcap(const std::string &path, const std::vector<Bytes> &packets);
// n connections, all opened before any sends, then data both ways in two interleaved halves,
// then every close (from alternating sides).
std::vector<Bytes> ConcurrentConnections(int n, size_t initiatorBytes, size_t responderBytes);
