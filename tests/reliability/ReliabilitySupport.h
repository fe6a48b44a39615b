#pragma once
#include "ChildProcess.h"
#include "Loopback.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Helpers shared by the reliability tests: child processes with limits, mounts and network
// namespaces that clean up after themselves, and checks of a finished output folder.

using Bytes = std::vector<uint8_t>;

// Runs a shell command; true when it exited with 0. Its output goes to the test's log.
bool Shell(const std::string &command);

// A tmpfs mounted on an existing folder; unmounted (lazily, should a file still be open) on
// destruction.
class CMount
{
public:
    CMount(const std::string &folder, const std::string &options, bool readOnly = false);
    ~CMount();
    CMount(const CMount &) = delete;
    CMount &operator=(const CMount &) = delete;
    bool IsMounted() const { return m_bMounted; }
    // Unmounts now, so that the folder underneath can be read.
    void Unmount();

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

// A FIFO that marlinox-cli reads as its capture file while the test writes it piece by piece.
class CPcapFifo
{
public:
    explicit CPcapFifo(const std::string &path);
    ~CPcapFifo();
    CPcapFifo(const CPcapFifo &) = delete;
    CPcapFifo &operator=(const CPcapFifo &) = delete;
    // Waits up to timeoutMs for a reader, then writes a pcap global header (Ethernet).
    bool Open(int timeoutMs);
    void Write(const Bytes &frame);
    // Closing ends the reader's file.
    void Close();

private:
    std::string m_strPath;
    int m_fd = -1;
};

void WriteFile(const std::string &path, const Bytes &bytes);
// "p0000000001-1.txt" for stream 1, side 1.
std::string StreamName(int number, int side);
std::string PacketName(int number);
// The lines of text (without their line ends).
std::vector<std::string> Lines(const std::string &text);
// A TCP payload that can be recognised afterwards: deterministic per connection and side.
Bytes Payload(int connection, int side, size_t size);
// Ethernet frames of whole connections, for capture files.
std::vector<Bytes> Ethernet(const std::vector<Bytes> &packets);
void WritePcap(const std::string &path, const std::vector<Bytes> &frames, int snapLength = 262144);
