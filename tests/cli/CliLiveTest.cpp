#include "ChildProcess.h"
#include "PacketBuilder.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kCleanConnections = 4;
constexpr int kResetConnection = kCleanConnections; // the index of the one that is reset

Bytes ClientData(int index)
{
    Bytes data = PatternBytes(size_t(1 << 20) + size_t(index) * 777, uint32_t(2 * index));
    data[0] = uint8_t(index); // tells the server which connection it serves
    return data;
}

Bytes ServerData(int index)
{
    if (index == kResetConnection)
        return {'K'};
    return PatternBytes(size_t(1 << 20) + size_t(index) * 555, uint32_t(2 * index + 1));
}

// Sends in paced chunks: loopback moves data faster than any capture can write it, and a
// burst beyond the kernel's capture buffer would be dropped there, before the capture sees it.
bool SendAll(int fd, const Bytes &data)
{
    constexpr size_t kChunk = 16384;
    size_t done = 0;
    while (done < data.size()) {
        const size_t chunk = std::min(kChunk, data.size() - done);
        const ssize_t n = ::send(fd, data.data() + done, chunk, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Bytes ReceiveUpTo(int fd, size_t limit)
{
    Bytes data;
    uint8_t buffer[65536];
    while (data.size() < limit) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, limit - data.size()), 0);
        if (n <= 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
    }
    return data;
}

void Serve(int fd)
{
    uint8_t index = 0;
    if (::recv(fd, &index, 1, MSG_WAITALL) != 1) {
        ::close(fd);
        return;
    }
    const size_t rest = ClientData(index).size() - 1;
    if (index == kResetConnection) {
        ReceiveUpTo(fd, rest);
        SendAll(fd, ServerData(index));
        ReceiveUpTo(fd, 1); // ends with the client's reset
    } else {
        std::thread writer([fd, index] {
            SendAll(fd, ServerData(index));
            ::shutdown(fd, SHUT_WR);
        });
        ReceiveUpTo(fd, rest + 1);
        writer.join();
    }
    ::close(fd);
}

void Client(uint16_t port, int index)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return;
    }
    if (index == kResetConnection) {
        SendAll(fd, ClientData(index));
        ReceiveUpTo(fd, 1);
        const linger abort{1, 0}; // close with a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        std::thread writer([fd, index] {
            SendAll(fd, ClientData(index));
            ::shutdown(fd, SHUT_WR);
        });
        ReceiveUpTo(fd, ServerData(index).size() + 1);
        writer.join();
    }
    ::close(fd);
}

uintmax_t StreamBytes(const std::string &folder)
{
    uintmax_t total = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".txt" && entry.path().filename() != "log.txt")
            total += entry.file_size(ec);
    }
    return total;
}

template <class Predicate> bool WaitFor(Predicate done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

TEST(CliLiveTest, CapturesParallelConnectionsOnLoopbackByteForByte)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "live capture on lo needs root (or CAP_NET_RAW)";
    CTempDir dir;
    CChild cli(Cli({"-i", "lo", "-o", dir.Path(), "-q"}));
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir.Path() + "log.txt"); }, 10000)) << cli.Stderr();

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const uint16_t port = ntohs(address.sin_port);

    std::vector<std::thread> threads;
    threads.emplace_back([listener] {
        std::vector<std::thread> servers;
        for (int i = 0; i <= kResetConnection; ++i)
            servers.emplace_back(Serve, ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        for (auto &s : servers)
            s.join();
    });
    for (int i = 0; i <= kResetConnection; ++i)
        threads.emplace_back(Client, port, i);
    for (auto &t : threads)
        t.join();
    ::close(listener);

    uintmax_t expected = 0;
    for (int i = 0; i <= kResetConnection; ++i)
        expected += ClientData(i).size() + ServerData(i).size();
    EXPECT_TRUE(WaitFor([&] { return StreamBytes(dir.Path()) >= expected; }, 20000));

    const auto signalled = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    const int status = cli.Wait(5000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - signalled);
    ASSERT_EQ(status, 0) << cli.Stderr();
    const std::string summary = cli.Stderr();
    EXPECT_NE(summary.find("dropped by the kernel: 0"), std::string::npos) << summary;
    std::printf("marlinox-cli ended %lld ms after SIGINT\n", static_cast<long long>(took.count()));
    EXPECT_LT(took.count(), 5000);

    std::map<Bytes, std::string> initiatorFiles;
    for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 6 && name.compare(name.size() - 6, 6, "-1.txt") == 0)
            initiatorFiles[ReadFileBytes(entry.path().string())] = entry.path().string();
    }
    for (int i = 0; i <= kResetConnection; ++i) {
        auto it = initiatorFiles.find(ClientData(i));
        ASSERT_NE(it, initiatorFiles.end()) << "connection " << i << "\n" << cli.Stderr();
        std::string responder = it->second;
        responder.replace(responder.size() - 6, 6, "-2.txt");
        EXPECT_EQ(ReadFileBytes(responder), ServerData(i)) << "connection " << i;
    }
    const auto log = ReadFileBytes(dir.Path() + "log.txt");
    const std::string text(log.begin(), log.end());
    EXPECT_EQ(text.rfind("DataLinkLayer Headersize : 14\r\nPacket Combine mode\r\n", 0), 0u);
    EXPECT_NE(text.find("Captured Packet : "), std::string::npos);
}
