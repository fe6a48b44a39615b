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

namespace {

// The local port of a socket.
uint16_t PortOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
    return ntohs(address.ss_family == AF_INET6 ? in6->sin6_port : in->sin_port);
}

socklen_t LoopbackAddress(int family, uint16_t port, sockaddr_storage &address)
{
    address = {};
    address.ss_family = sa_family_t(family);
    if (family == AF_INET6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(port);
        return sizeof *in6;
    }
    auto *in = reinterpret_cast<sockaddr_in *>(&address);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(port);
    return sizeof *in;
}

} // namespace

CLoopbackListener::CLoopbackListener(int family)
    : m_nFamily(family), m_fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_storage address;
    const socklen_t length = LoopbackAddress(family, 0, address);
    if (::bind(m_fd.Get(), reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        ::listen(m_fd.Get(), 64) == 0)
        m_wPort = PortOf(m_fd.Get());
}

std::vector<CLoopbackConnection> CLoopbackListener::Connect(int n, int pauseUs)
{
    std::vector<CLoopbackConnection> connections;
    sockaddr_storage address;
    const socklen_t length = LoopbackAddress(m_nFamily, m_wPort, address);
    for (int i = 0; i < n && IsOpen(); ++i) {
        CLoopbackConnection c;
        c.client.Reset(::socket(m_nFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(c.client.Get(), reinterpret_cast<sockaddr *>(&address), length) != 0)
            break;
        c.server.Reset(::accept4(m_fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.server.Get() < 0)
            break;
        // A peer that stops answering ends a test's send or receive instead of hanging it.
        const timeval timeout{30, 0};
        for (int fd : {c.client.Get(), c.server.Get()}) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        }
        c.wClientPort = PortOf(c.client.Get());
        c.wServerPort = m_wPort;
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

void Exchange(CLoopbackConnection &c, const std::vector<uint8_t> &up,
              const std::vector<uint8_t> &down, bool reset)
{
    const int ends[2] = {c.client.Get(), c.server.Get()};
    const std::vector<uint8_t> *sent[2] = {&up, &down};
    std::vector<std::thread> threads;
    for (int side : {0, 1}) {
        threads.emplace_back([&, side] { SendPaced(ends[side], *sent[side]); });
        threads.emplace_back([&, side] { ReceiveExactly(ends[1 - side], sent[side]->size()); });
    }
    for (auto &t : threads)
        t.join();
    if (reset) {
        const linger abort{1, 0};
        ::setsockopt(ends[0], SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        for (int side : {0, 1}) {
            ::shutdown(ends[side], SHUT_WR);
            ReceiveExactly(ends[1 - side], 1); // its end of file
        }
    }
    c.client.Reset();
    c.server.Reset();
}
