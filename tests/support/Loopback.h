#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Real TCP connections on 127.0.0.1 for tests that capture live on lo.

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
bool SendPaced(int fd, const std::vector<uint8_t> &data, size_t chunk = 16384, int pauseUs = 1000);
// Receives exactly n bytes (fewer when the connection ends first).
std::vector<uint8_t> ReceiveExactly(int fd, size_t n);
