#include "TcpStream.h"

#include <algorithm>

int CTcpStream::OpenFiles(const CFolder &folder, const char *name1, const char *name2)
{
    constexpr CWriteBehind::Key kNoFile = CWriteBehind::kNoFile;
    if (m_file[0] != kNoFile || m_file[1] != kNoFile)
        return 0;
    if (name1 && (m_file[0] = m_output.Open(folder, name1)) == kNoFile)
        return 0;
    if (name2 && (m_file[1] = m_output.Open(folder, name2)) == kNoFile) {
        if (m_file[0] != kNoFile)
            Forget(0, m_output.Close(m_file[0]));
        m_file[0] = kNoFile;
        return 0;
    }
    return (m_file[0] != kNoFile || m_file[1] != kNoFile) ? 1 : 0;
}

void CTcpStream::CloseFiles(int deleteFiles)
{
    m_nState = kEnded;
    for (int i = 0; i < 2; ++i) {
        if (m_file[i] == CWriteBehind::kNoFile)
            continue;
        if (deleteFiles)
            m_output.Remove(m_file[i]);
        else
            Forget(i, m_output.Close(m_file[i]));
        m_file[i] = CWriteBehind::kNoFile;
    }
}

void CTcpStream::Forget(int dir, const std::vector<CByteRange> &failed)
{
    for (const CByteRange &range : failed)
        m_written[dir].Remove(range.begin, range.end);
}

int CTcpStream::MatchDirection(const CSegment &segment)
{
    if (segment.byVersion != m_byVersion || segment.dwVlan != m_dwVlan)
        return 0;
    if (segment.source == m_initiator && segment.destination == m_responder) {
        m_byDir = 0;
        m_byOtherDir = 1;
        return 1;
    }
    if (segment.source == m_responder && segment.destination == m_initiator) {
        m_byDir = 1;
        m_byOtherDir = 0;
        return -1;
    }
    return 0;
}

int CTcpStream::ProcessPacket(const CSegment &segment)
{
    const int m = MatchDirection(segment);
    if (m != 0 && segment.IsRst()) {
        m_nState = kEnded;
        m_end = StreamEnd::Reset;
        m_llLastSeen = segment.llTime;
        return -1;
    }
    if (m_nState < kWaiting || m_nState > kFinsSeen)
        return m != 0 ? -1 : 0;
    if (m != 0 && !m_bIsnKnown[m_byDir]) {
        m_dwIsn[m_byDir] = segment.dwSeq - 1;
        m_bIsnKnown[m_byDir] = true;
    }
    if (m != 0 && m_nState >= kSynAckSeen)
        NoteSent(segment);
    if (m != 0 && m_nState >= kEstablished && segment.nCaptured > 0)
        WritePayload(segment);
    const int result = Transition(segment, m);
    if (result != 0)
        m_llLastSeen = segment.llTime;
    return result;
}

int CTcpStream::TakeMidstream(const CSegment &segment)
{
    if (m_nState != kWaiting)
        return 0;
    const bool fromServer = segment.source.wPort < 1024 && segment.destination.wPort >= 1024;
    m_byVersion = segment.byVersion;
    m_dwVlan = segment.dwVlan;
    m_initiator = fromServer ? segment.destination : segment.source;
    m_responder = fromServer ? segment.source : segment.destination;
    m_bIsnKnown[0] = m_bIsnKnown[1] = false;
    m_nState = kEstablished;
    m_bFollowed = m_bMidstream = true;
    m_llFirstSeen = segment.llTime;
    return ProcessPacket(segment);
}

int CTcpStream::Transition(const CSegment &segment, int m)
{
    const bool ack = segment.IsAck();
    const bool syn = segment.IsSyn();
    const bool fin = segment.IsFin();
    switch (m_nState) {
    case kWaiting:
        if (syn && !ack) {
            m_byVersion = segment.byVersion;
            m_dwVlan = segment.dwVlan;
            m_initiator = segment.source;
            m_responder = segment.destination;
            m_dwIsn[0] = segment.dwSeq;
            m_nState = kSynSeen;
            m_bFollowed = true;
            m_llFirstSeen = segment.llTime;
            return kSynSeen;
        }
        return 0;
    case kSynSeen:
        if (m == 0)
            return 0;
        if (m == 1 || !(syn && ack))
            return kSynSeen;
        m_dwIsn[1] = segment.dwSeq;
        m_nState = segment.dwAck == m_dwIsn[0] + 1 ? kSynAckSeen : kWaiting;
        return m_nState;
    case kSynAckSeen:
        if (m == 0)
            return 0;
        if (m == -1 || !ack || syn)
            return kSynAckSeen;
        // The handshake's last ACK: its payload, if any, is not written.
        m_nState = segment.dwAck == m_dwIsn[1] + 1 ? kEstablished : kSynSeen;
        return m_nState;
    case kEstablished:
        if (m == 0)
            return 0;
        if (fin) {
            m_nFinSender = m;
            m_nState = kFinSeen;
        }
        return m_nState;
    case kFinSeen:
        if (m == 0)
            return 0;
        if (m != m_nFinSender && ack && fin) {
            m_nFinSender = m;
            m_nState = kFinsSeen;
        }
        return m_nState;
    default: // kFinsSeen
        if (m == 0)
            return 0;
        if (m != m_nFinSender && ack && !fin) {
            CutFiles(segment);
            m_nState = kEnded;
            m_end = StreamEnd::Closed;
        }
        return m_nState;
    }
}

namespace {

// Sequence numbers are 32 bits wide, streams are not: a distance from the initial sequence
// number is placed within 2 GiB of anchor, the furthest byte known so far, so streams grow past
// 4 GiB in order, and a segment from before the first data byte lands at a negative offset
// instead of near 2^32.
int64_t Place(uint64_t anchor, uint32_t distanceFromIsn)
{
    return int64_t(anchor) + int32_t(distanceFromIsn - uint32_t(anchor));
}

} // namespace

int64_t CTcpStream::PlaceInStream(int dir, uint32_t distanceFromIsn) const
{
    // The file's own bytes are its anchor: segments that were only seen cannot move it.
    return Place(m_qwHigh[dir], distanceFromIsn);
}

bool CTcpStream::WithinBudget(int dir, uint64_t end, uint64_t adding) const
{
    if (end <= m_written[dir].End())
        return true;
    const uint64_t data = m_qwData[dir] + adding;
    return end - std::min(end, data) <= m_qwZeroBudget + kZerosPerByte * m_qwData[dir];
}

void CTcpStream::NoteSent(const CSegment &segment)
{
    const int dir = m_byDir;
    // A segment with data ends where its data does, and so does a FIN; a bare ACK's sequence
    // number may lie past a FIN, which takes a number of its own.
    const int64_t end =
        Place(m_qwSeen[dir], segment.dwSeq - m_dwIsn[dir] - 1) + std::max(segment.nAnnounced, 0L);
    // A segment whose data would lie beyond the file's budget of zeros proves nothing.
    if ((segment.nAnnounced > 0 || segment.IsFin()) && end > 0 &&
        WithinBudget(dir, uint64_t(end), uint64_t(std::max(segment.nCaptured, 0L))))
        m_qwSeen[dir] = std::max(m_qwSeen[dir], uint64_t(end));
    if (!segment.IsAck() || !m_bIsnKnown[m_byOtherDir])
        return;
    // An acknowledgment one past the other side's FIN: ack - isn - 2 is the number of bytes it
    // sent (one short while its FIN is not acknowledged yet).
    const int other = m_byOtherDir;
    const int64_t acked = Place(m_qwSeen[other], segment.dwAck - m_dwIsn[other] - 2);
    if (acked > 0)
        m_qwAcked[other] = std::max(m_qwAcked[other], uint64_t(acked));
}

void CTcpStream::WritePayload(const CSegment &segment)
{
    const int dir = m_byDir;
    if (m_file[dir] == CWriteBehind::kNoFile)
        return;
    int64_t offset = PlaceInStream(dir, segment.dwSeq - m_dwIsn[dir] - 1);
    const int64_t high = int64_t(m_qwHigh[dir]);
    // A keep-alive probe resends the byte before the next expected one, often as garbage.
    // That byte was written by the segment that reached the current end; keep it.
    if (segment.nAnnounced == 1 && high > 0 && offset == high - 1)
        return;
    const uint8_t *payload = segment.pPayload;
    long length = segment.nCaptured;
    // The announced payload may not have been captured whole: only the bytes that are present
    // are written, the rest stays a gap.
    if (offset < 0) {
        if (-offset >= length)
            return;
        payload += -offset;
        length -= long(-offset);
        offset = 0;
    }
    const uint64_t end = uint64_t(offset + length);
    // Sequence numbers far ahead of what was written would make a file of zeros.
    if (!WithinBudget(dir, end, uint64_t(length))) {
        ++m_nRefused;
        return;
    }
    Forget(dir, m_output.TakeFailed(m_file[dir]));
    m_output.Write(m_file[dir], uint64_t(offset), payload, size_t(length));
    m_written[dir].Add(uint64_t(offset), end);
    m_qwHigh[dir] = std::max(m_qwHigh[dir], end);
    m_qwData[dir] += uint64_t(length);
}

void CTcpStream::CutFiles(const CSegment &segment)
{
    // The final ACK's seq lies one past its sender's FIN and its ack one past the other side's
    // FIN; each side's SYN used one number too. So seq - isn - 2 and ack - isn - 2 are the
    // numbers of data bytes the two sides sent.
    const uint32_t sent[2] = {segment.dwSeq - m_dwIsn[m_byDir] - 2,
                              segment.dwAck - m_dwIsn[m_byOtherDir] - 2};
    const int dirs[2] = {m_byDir, m_byOtherDir};
    for (int i = 0; i < 2; ++i) {
        const int dir = dirs[i];
        const int64_t length = PlaceInStream(dir, sent[i]);
        if (length < 0)
            continue;
        // A close that would lengthen the file beyond its budget of zeros proves nothing and
        // cuts nothing.
        if (!WithinBudget(dir, uint64_t(length), 0)) {
            ++m_nRefused;
            continue;
        }
        m_qwClosedLength[dir] = uint64_t(length);
        m_bClosedLength[dir] = true;
        if (m_file[dir] == CWriteBehind::kNoFile)
            continue;
        // A file that is already as long as its side sent (the common case) is left alone.
        Forget(dir, m_output.TakeFailed(m_file[dir]));
        if (uint64_t(length) != m_written[dir].End() &&
            m_output.SetLength(m_file[dir], uint64_t(length)))
            m_bCut[dir] = true;
    }
}

uint64_t CTcpStream::FileLength(int dir) const
{
    // Only writes that reached the file, and a cut, make it longer.
    return m_bCut[dir] ? m_qwClosedLength[dir] : m_written[dir].End();
}

uint64_t CTcpStream::SentLength(int dir) const
{
    if (m_bClosedLength[dir])
        return m_qwClosedLength[dir];
    // An acknowledgment is believed only this far beyond the bytes seen: a forged one cannot
    // make a stream claim more.
    constexpr uint64_t kAckBelieved = uint64_t(1) << 30;
    const uint64_t seen = m_qwSeen[dir];
    return std::max(seen, std::min(m_qwAcked[dir], seen + kAckBelieved));
}

void CTcpStream::Describe(CStreamRecord &record) const
{
    if (!m_bFollowed) {
        record.end = StreamEnd::NotFollowed;
        return;
    }
    if (m_end != StreamEnd::CaptureEnded)
        record.end = m_end;
    record.llFirstSeen = m_llFirstSeen;
    record.llLastSeen = m_llLastSeen;
    record.byVersion = m_byVersion;
    record.dwVlan = m_dwVlan;
    record.initiator = m_initiator;
    record.responder = m_responder;
    record.bExact = true;
    record.bMidstream = m_bMidstream;
    record.nRefused = m_nRefused;
    for (int dir = 0; dir < 2; ++dir) {
        record.qwBytes[dir] = FileLength(dir);
        record.qwSent[dir] = SentLength(dir);
        record.qwMissing[dir] = m_written[dir].CountMissing(record.qwSent[dir]);
        record.bExact = record.bExact && m_written[dir].IsExact();
    }
}
