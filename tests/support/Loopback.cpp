#include "Loopback.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

bool WaitFor(const std::function<bool()> &done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void CFd::Reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

std::vector<CLoopbackConnection> OpenLoopbackConnections(int n, int pauseUs)
{
    std::vector<CLoopbackConnection> connections;
    CFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener.Get(), 64) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return connections;
    for (int i = 0; i < n; ++i) {
        CLoopbackConnection c;
        c.client.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(c.client.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            break;
        c.server.Reset(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.server.Get() < 0)
            break;
        // A peer that stops answering ends a test's send or receive instead of hanging it.
        const timeval timeout{30, 0};
        for (int fd : {c.client.Get(), c.server.Get()}) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        }
        connections.push_back(std::move(c));
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    }
    return connections;
}

bool SendPaced(int fd, const std::vector<uint8_t> &data, size_t chunk, int pauseUs)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::send(fd, data.data() + done, std::min(chunk, data.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    }
    return true;
}

std::vector<uint8_t> ReceiveExactly(int fd, size_t n)
{
    std::vector<uint8_t> data(n);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::recv(fd, data.data() + done, n - done, 0);
        if (got <= 0)
            break;
        done += size_t(got);
    }
    data.resize(done);
    return data;
}
