#include "Loopback.h"

#include "TempDir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
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

// The local port of a socket. sockaddr_in keeps its port where sockaddr_in6 does, and the larger
// structure holds either.
uint16_t PortOf(int fd)
{
    sockaddr_in6 address{};
    socklen_t length = sizeof address;
    const int got = ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return got == 0 ? ntohs(address.sin6_port) : 0;
}

// The loopback address of family with port, in a structure that holds either kind (the system
// takes the longer length for IPv4 too).
sockaddr_in6 LoopbackAddress(int family, uint16_t port)
{
    sockaddr_in6 address{};
    address.sin6_family = sa_family_t(family);
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in &>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

CLoopbackListener::CLoopbackListener(int family)
    : m_nFamily(family), m_fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in6 address = LoopbackAddress(family, 0);
    if (::bind(m_fd.Get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::listen(m_fd.Get(), 64) == 0)
        m_wPort = PortOf(m_fd.Get());
}

std::vector<CLoopbackConnection> CLoopbackListener::Connect(int n)
{
    std::vector<CLoopbackConnection> connections;
    const sockaddr_in6 address = LoopbackAddress(m_nFamily, m_wPort);
    for (int i = 0; i < n && IsOpen(); ++i) {
        CLoopbackConnection c;
        c.client.Reset(::socket(m_nFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const auto *to = reinterpret_cast<const sockaddr *>(&address);
        if (::connect(c.client.Get(), to, sizeof address) != 0)
            break;
        c.server.Reset(::accept4(m_fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (c.server.Get() < 0)
            break;
        c.wClientPort = PortOf(c.client.Get());
        c.wServerPort = m_wPort;
        connections.push_back(std::move(c));
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

int StreamOfPort(const std::string &folder, uint16_t port, uint16_t serverPort)
{
    // number,first_seen,last_seen,initiator,initiator_port,responder,responder_port,...
    for (const std::string &row : Lines(ReadText(folder + "connections.csv"))) {
        const std::vector<std::string> field = Split(row, ',');
        if (field.size() > 6 && field[4] == std::to_string(port) &&
            (serverPort == 0 || field[6] == std::to_string(serverPort)))
            return std::atoi(field[0].c_str());
    }
    return 0;
}

std::string CheckCaptured(const std::vector<uint8_t> &file, const std::vector<uint8_t> &sent,
                          bool dropped)
{
    if (dropped ? file.size() > sent.size() : file.size() != sent.size())
        return "length " + std::to_string(file.size()) + ", sent " + std::to_string(sent.size());
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] != sent[i] && (!dropped || file[i] != 0))
            return "byte " + std::to_string(i) + " differs";
    }
    return {};
}

long DroppedBy(const std::string &text)
{
    const std::string key = "dropped by the kernel: ";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size());
}
