#include "ReliabilitySupport.h"

#include "PacketBuilder.h"
#include "PcapWriter.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <unistd.h>

bool Shell(const std::string &command) { return std::system(command.c_str()) == 0; }

CMount::CMount(const std::string &folder, const std::string &options) : m_strFolder(folder)
{
    m_bMounted = ::mount("marlinox-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                         options.c_str()) == 0;
}

CMount::~CMount()
{
    if (m_bMounted)
        ::umount2(m_strFolder.c_str(), MNT_DETACH);
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

CPcapPipe::CPcapPipe()
{
    if (::pipe2(m_fd, O_CLOEXEC) != 0)
        m_fd[0] = m_fd[1] = -1;
}

CPcapPipe::~CPcapPipe()
{
    Close();
    if (m_fd[0] >= 0)
        ::close(m_fd[0]);
}

void CPcapPipe::Write(const Bytes &frame)
{
    // Magic, version 2.4, zone, sigfigs, snapshot length, link type: this machine's order.
    const uint32_t header[6] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 262144u, DLT_EN10MB};
    if (!std::exchange(m_bHeader, true))
        (void)!::write(m_fd[1], header, sizeof header);
    static uint32_t seconds = 1700000000;
    const uint32_t record[4] = {seconds++, 0, uint32_t(frame.size()), uint32_t(frame.size())};
    (void)!::write(m_fd[1], record, sizeof record);
    (void)!::write(m_fd[1], frame.data(), frame.size());
}

void CPcapPipe::Close()
{
    if (m_fd[1] >= 0)
        ::close(m_fd[1]);
    m_fd[1] = -1;
}

void WriteFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
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

void WritePcap(const std::string &path, const std::vector<Bytes> &packets)
{
    CPcapWriter writer(path, DLT_EN10MB);
    for (const auto &p : packets)
        writer.Write(BuildFrame(DLT_EN10MB, p));
}

std::vector<Bytes> ConcurrentConnections(int n, size_t initiatorBytes, size_t responderBytes)
{
    std::vector<CConversation> conversations;
    for (int i = 0; i < n; ++i)
        conversations.emplace_back(0x0a000001 + uint32_t(i % 200), uint16_t(1024 + i), 0x0a010001,
                                   80, uint32_t(i) * 7919u, 0x80000000u + uint32_t(i));
    std::vector<Bytes> packets;
    for (auto &c : conversations) {
        for (auto &p : c.Handshake())
            packets.push_back(p);
    }
    // Every connection sends in two halves, interleaved with all the others, so that each
    // stream's files are used again long after their last use.
    for (size_t half = 0; half < 2; ++half) {
        for (size_t i = 0; i < conversations.size(); ++i) {
            for (int side : {0, 1}) {
                const Bytes sent = Payload(int(i), side, side ? responderBytes : initiatorBytes);
                const size_t from = half * sent.size() / 2, to = (half + 1) * sent.size() / 2;
                for (size_t at = from; at < to; at += 1400)
                    packets.push_back(conversations[i].Send(
                        side, TCP_ACK,
                        std::span(sent).subspan(at, std::min<size_t>(1400, to - at))));
            }
        }
    }
    for (size_t i = 0; i < conversations.size(); ++i) {
        for (auto &p : conversations[i].Close(int(i % 2)))
            packets.push_back(p);
    }
    return packets;
}
