#include "ReliabilitySupport.h"

#include "PacketBuilder.h"
#include "PcapWriter.h"
#include "TempDir.h"

#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

bool Shell(const std::string &command) { return std::system(command.c_str()) == 0; }

CMount::CMount(const std::string &folder, const std::string &options, bool readOnly)
    : m_strFolder(folder)
{
    const unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    m_bMounted = ::mount("marlinox-test", folder.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

CMount::~CMount() { Unmount(); }

void CMount::Unmount()
{
    if (m_bMounted)
        ::umount2(m_strFolder.c_str(), MNT_DETACH);
    m_bMounted = false;
}

CNetns::CNetns(const std::string &tag)
    : m_strName("marlinox-test-" + std::to_string(::getpid()) + "-" + tag)
{
    m_bCreated = Shell("ip netns add " + m_strName);
}

CNetns::~CNetns()
{
    if (m_bCreated)
        Shell("ip netns delete " + m_strName);
}

bool CNetns::Run(const std::string &command) const
{
    return Shell("ip netns exec " + m_strName + " " + command);
}

CPcapFifo::CPcapFifo(const std::string &path) : m_strPath(path) { ::mkfifo(path.c_str(), 0600); }

CPcapFifo::~CPcapFifo()
{
    Close();
    ::unlink(m_strPath.c_str());
}

bool CPcapFifo::Open(int timeoutMs)
{
    // A non-blocking open fails until the reader has opened its end, so a reader that never
    // comes cannot hang the test.
    WaitFor(
        [&] {
            m_fd = ::open(m_strPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return m_fd >= 0;
        },
        timeoutMs);
    if (m_fd < 0)
        return false;
    ::fcntl(m_fd, F_SETFL, 0);
    // Magic, version 2.4, zone, sigfigs, snapshot length, link type: little-endian.
    const uint32_t header[6] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 262144u, DLT_EN10MB};
    return ::write(m_fd, header, sizeof header) == ssize_t(sizeof header);
}

void CPcapFifo::Write(const Bytes &frame)
{
    static uint32_t seconds = 1700000000;
    const uint32_t record[4] = {seconds++, 0, uint32_t(frame.size()), uint32_t(frame.size())};
    Bytes bytes(reinterpret_cast<const uint8_t *>(record),
                reinterpret_cast<const uint8_t *>(record) + sizeof record);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    if (m_fd >= 0 && ::write(m_fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        std::fprintf(stderr, "short write into the FIFO: %s\n", std::strerror(errno));
}

void CPcapFifo::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void WriteFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

std::string StreamName(int number, int side)
{
    char name[32];
    std::snprintf(name, sizeof name, "p%010d-%d.txt", number, side);
    return name;
}

std::string PacketName(int number)
{
    char name[32];
    std::snprintf(name, sizeof name, "p%010d.pd", number);
    return name;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

Bytes Payload(int connection, int side, size_t size)
{
    return PatternBytes(size, uint32_t(2 * connection + side));
}

std::vector<Bytes> Ethernet(const std::vector<Bytes> &packets)
{
    std::vector<Bytes> frames;
    for (const auto &p : packets)
        frames.push_back(BuildEthernetFrame(p));
    return frames;
}

void WritePcap(const std::string &path, const std::vector<Bytes> &frames, int snapLength)
{
    CPcapWriter writer(path, DLT_EN10MB, snapLength);
    for (const auto &f : frames)
        writer.Write(f);
}
