#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <sys/socket.h>
#include <vector>

// Real TCP connections on the loopback interface for tests that capture live on lo.

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

// Both ends of a TCP connection on 127.0.0.1 or ::1, made through a listener of the test's own.
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
    // Opens n connections to it, one after another (each handshake complete before the next
    // starts), pausing pauseUs after each; fewer when the system refuses.
    std::vector<CLoopbackConnection> Connect(int n, int pauseUs = 0);

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
