#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <vector>

// Real TCP connections on the loopback interface for the tests that capture live, and checks of
// what a live capture made of them.

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

// Both ends of a TCP connection on 127.0.0.1 or ::1.
struct CLoopbackConnection
{
    CFd client;
    CFd server;
    uint16_t wClientPort = 0;
    uint16_t wServerPort = 0;
};

// A listener on 127.0.0.1 or ::1 (family AF_INET or AF_INET6) on a port of the system's choice.
class CLoopbackListener
{
public:
    explicit CLoopbackListener(int family = AF_INET);
    // False when the family has no loopback address here.
    bool IsOpen() const { return m_wPort != 0; }
    uint16_t GetPort() const { return m_wPort; }
    // Opens n connections to it, one after another; fewer when the system refuses.
    std::vector<CLoopbackConnection> Connect(int n);

private:
    int m_nFamily;
    CFd m_fd;
    uint16_t m_wPort = 0;
};

// Sends all of data in chunks of at most chunk bytes with a pause of pauseUs between them.
bool SendPaced(int fd, const std::vector<uint8_t> &data, size_t chunk = 16384, int pauseUs = 1000);
// Receives exactly n bytes (fewer when the connection ends first).
std::vector<uint8_t> ReceiveExactly(int fd, size_t n);
// Sends both ways at once, reading what the other side sent; then closes cleanly, one side
// after the other, or with a reset from the client.
void Exchange(CLoopbackConnection &c, const std::vector<uint8_t> &up,
              const std::vector<uint8_t> &down, bool reset = false);

// The stream number that connections.csv in folder gives the connection whose initiator used
// port (and whose responder used serverPort, unless 0: one client port may serve connections
// to several servers); 0 when no row names it.
int StreamOfPort(const std::string &folder, uint16_t port, uint16_t serverPort = 0);
// Empty when file is what a capture guarantees of sent bytes: exactly sent when the kernel
// dropped nothing; otherwise no longer than sent, every byte the byte sent there or a zero of
// a hole. Else what differs.
std::string CheckCaptured(const std::vector<uint8_t> &file, const std::vector<uint8_t> &sent,
                          bool dropped);
// The kernel's drop count in marlinox-cli's summary line; -1 when there is none.
long DroppedBy(const std::string &stderrText);
