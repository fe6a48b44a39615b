#include "TcpStream.h"

#include "PacketFields.h"

#include <cerrno>

namespace {

constexpr size_t kIpHeaderMinimum = 20;
constexpr size_t kTcpHeaderMinimum = 14; // ports, numbers, data offset and flags

} // namespace

int CTcpStream::OpenFiles(const char *path1, const char *path2)
{
    if (m_pFile[0] || m_pFile[1])
        return 0;
    if (path1) {
        if (!m_file[0].Open(path1))
            return 0;
        m_pFile[0] = &m_file[0];
    }
    if (path2) {
        if (!m_file[1].Open(path2)) {
            if (m_pFile[0])
                m_file[0].Close();
            m_pFile[0] = nullptr;
            return 0;
        }
        m_pFile[1] = &m_file[1];
    }
    return (m_pFile[0] || m_pFile[1]) ? 1 : 0;
}

void CTcpStream::CloseFiles(int deleteFiles)
{
    m_nState = -1;
    for (int i = 0; i < 2; ++i) {
        if (!m_pFile[i])
            continue;
        m_file[i].Close();
        if (deleteFiles)
            CFile::Remove(m_file[i].GetPath());
        m_pFile[i] = nullptr;
    }
}

bool CTcpStream::IsReadable(const uint8_t *ip, size_t captured)
{
    if (captured < kIpHeaderMinimum)
        return false;
    // Header lengths below the fixed headers' 20 bytes are malformed: the TCP header, or the
    // payload, would start inside the header before it, and header bytes would be written as
    // data.
    const size_t ipHeader = size_t(GetIpHeaderLength(ip));
    if (ipHeader < kIpHeaderMinimum || captured < ipHeader + kTcpHeaderMinimum)
        return false;
    return GetTcpHeaderLength(ip + ipHeader) >= int(kIpHeaderMinimum);
}

int CTcpStream::MatchDirection(const uint8_t *ip)
{
    const uint8_t *tcp = ip + GetIpHeaderLength(ip);
    const uint32_t src = GetIpSourceAddress(ip);
    const uint32_t dst = GetIpDestinationAddress(ip);
    const uint16_t sport = GetTcpSourcePort(tcp);
    const uint16_t dport = GetTcpDestinationPort(tcp);
    if (src == m_dwInitiatorAddr && dst == m_dwResponderAddr && sport == m_wInitiatorPort &&
        dport == m_wResponderPort) {
        m_byDir = 0;
        m_byOtherDir = 1;
        return 1;
    }
    if (src == m_dwResponderAddr && dst == m_dwInitiatorAddr && sport == m_wResponderPort &&
        dport == m_wInitiatorPort) {
        m_byDir = 1;
        m_byOtherDir = 0;
        return -1;
    }
    return 0;
}

int CTcpStream::ProcessPacket(const uint8_t *ip, size_t captured)
{
    // A packet whose headers were not captured cannot be read; it is nobody's, and no state
    // is touched.
    if (!IsReadable(ip, captured))
        return 0;
    const size_t ipHeader = size_t(GetIpHeaderLength(ip));
    const uint8_t *tcp = ip + ipHeader;
    const int m = MatchDirection(ip);
    if (m != 0 && IsTcpRst(tcp)) {
        m_nState = -1;
        return -1;
    }
    if (m_nState < 0 || m_nState > 5)
        return m != 0 ? -1 : 0;

    const bool writes = m != 0 && m_nState >= 3;
    if (writes) {
        // The announced payload may not have been captured whole: only the bytes that are
        // present are written, the rest stays a gap.
        const size_t tcpHeader = size_t(GetTcpHeaderLength(tcp));
        const long announced = long(GetIpPayloadLength(ip)) - long(tcpHeader);
        const size_t headers = ipHeader + tcpHeader;
        const long present = captured > headers ? long(captured - headers) : 0;
        const long length = announced < present ? announced : present;
        if (announced > 0 && length > 0)
            WritePayload(tcp, tcp + tcpHeader, announced, length);
    }
    return Transition(ip, tcp, m);
}

int CTcpStream::Transition(const uint8_t *ip, const uint8_t *tcp, int m)
{
    const bool ack = IsTcpAck(tcp);
    const bool syn = IsTcpSyn(tcp);
    const bool fin = IsTcpFin(tcp);
    switch (m_nState) {
    case 0:
        if (syn && !ack) {
            m_dwInitiatorAddr = GetIpSourceAddress(ip);
            m_dwResponderAddr = GetIpDestinationAddress(ip);
            m_wInitiatorPort = GetTcpSourcePort(tcp);
            m_wResponderPort = GetTcpDestinationPort(tcp);
            m_dwIsn[0] = GetTcpSequenceNumber(tcp);
            m_nState = 1;
            return 1;
        }
        return 0;
    case 1:
        if (m == 0)
            return 0;
        if (m == 1 || !(syn && ack))
            return 1;
        m_dwIsn[1] = GetTcpSequenceNumber(tcp);
        m_nState = GetTcpAckNumber(tcp) == m_dwIsn[0] + 1 ? 2 : 0;
        return m_nState;
    case 2:
        if (m == 0)
            return 0;
        if (m == -1 || !ack || syn)
            return 2;
        // The handshake's last ACK: its payload, if any, is not written.
        m_nState = GetTcpAckNumber(tcp) == m_dwIsn[1] + 1 ? 3 : 1;
        return m_nState;
    case 3:
        if (m == 0)
            return 0;
        if (fin) {
            m_nFinSender = m;
            m_nState = 4;
        }
        return m_nState;
    case 4:
        if (m == 0)
            return 0;
        if (m != m_nFinSender && ack && fin) {
            m_nFinSender = m;
            m_nState = 5;
        }
        return m_nState;
    default: // 5
        if (m == 0)
            return 0;
        if (m != m_nFinSender && ack && !fin) {
            CutFiles(tcp);
            m_nState = -1;
        }
        return m_nState;
    }
}

int64_t CTcpStream::PlaceInStream(int dir, uint32_t distanceFromIsn) const
{
    // Sequence numbers are 32 bits wide, files are not: a distance is placed within 2 GiB of
    // the furthest byte written so far, so files grow past 4 GiB in order, and a segment from
    // before the first data byte lands at a negative offset instead of near 2^32.
    const uint64_t high = m_qwHigh[dir];
    return int64_t(high) + int32_t(distanceFromIsn - uint32_t(high));
}

void CTcpStream::WritePayload(const uint8_t *tcp, const uint8_t *payload, long announced,
                              long length)
{
    const int dir = m_byDir;
    if (!m_pFile[dir])
        return;
    int64_t offset = PlaceInStream(dir, GetTcpSequenceNumber(tcp) - m_dwIsn[dir] - 1);
    const int64_t high = int64_t(m_qwHigh[dir]);
    // A keep-alive probe resends the byte before the next expected one, often as garbage.
    // That byte was written by the segment that reached the current end; keep it.
    if (announced == 1 && high > 0 && offset == high - 1)
        return;
    if (offset < 0) {
        if (-offset >= length)
            return;
        payload += -offset;
        length -= long(-offset);
        offset = 0;
    }
    if (!m_pFile[dir]->WriteAt(uint64_t(offset), payload, size_t(length))) {
        RecordFailure(dir);
        return;
    }
    if (offset + length > high)
        m_qwHigh[dir] = uint64_t(offset + length);
}

void CTcpStream::CutFiles(const uint8_t *tcp)
{
    // The final ACK's seq lies one past its sender's FIN and its ack one past the other side's
    // FIN; each side's SYN used one number too. So seq - isn - 2 and ack - isn - 2 are the
    // numbers of data bytes the two sides sent.
    const uint32_t sent[2] = {GetTcpSequenceNumber(tcp) - m_dwIsn[m_byDir] - 2,
                              GetTcpAckNumber(tcp) - m_dwIsn[m_byOtherDir] - 2};
    const int dirs[2] = {m_byDir, m_byOtherDir};
    for (int i = 0; i < 2; ++i) {
        const int dir = dirs[i];
        if (!m_pFile[dir])
            continue;
        const int64_t length = PlaceInStream(dir, sent[i]);
        if (length < 0)
            continue;
        if (!m_pFile[dir]->SetLength(uint64_t(length)))
            RecordFailure(dir);
    }
}

void CTcpStream::RecordFailure(int dir)
{
    if (m_nFailures[dir]++ == 0)
        m_uNewFailures |= 1u << dir;
    m_nLastError[dir] = errno;
}

unsigned CTcpStream::TakeNewFailures()
{
    const unsigned bits = m_uNewFailures;
    m_uNewFailures = 0;
    return bits;
}
