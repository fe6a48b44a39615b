#pragma once
#include "ChildProcess.h"

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
// Waits until done() holds, at most timeoutMs.
bool WaitFor(const std::function<bool()> &done, int timeoutMs);

// A descriptor closed on destruction.
class CFd
{
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    int Get() const { return m_fd; }
    void Reset(int fd = -1);

private:
    int m_fd;
};

// Both ends of a TCP connection on 127.0.0.1, made through a listener of the test's own.
struct CLoopbackConnection
{
    CFd client;
    CFd server;
};
// Opens n connections one after another (each handshake complete before the next starts),
// pausing pauseUs after each; fewer when the system refuses.
std::vector<CLoopbackConnection> OpenLoopbackConnections(int n, int pauseUs = 0);
// Sends all of data in chunks of at most chunk bytes with a pause of pauseUs between them:
// loopback moves data faster than a capture can write it, and what overflows the kernel's
// capture buffer is lost before the capture sees it.
bool SendPaced(int fd, const Bytes &data, size_t chunk = 16384, int pauseUs = 1000);
// Receives exactly n bytes (fewer when the connection ends first).
Bytes ReceiveExactly(int fd, size_t n);

// A TCP payload that can be recognised afterwards: deterministic per connection and side.
Bytes Payload(int connection, int side, size_t size);
// Ethernet frames of whole connections, for capture files.
std::vector<Bytes> Ethernet(const std::vector<Bytes> &packets);
void WritePcap(const std::string &path, const std::vector<Bytes> &frames, int snapLength = 262144);
