#pragma once
#include "RangeSet.h"
#include "Segment.h"
#include "StreamEvents.h"
#include "WriteBehind.h"

#include <cstdint>

class CFolder;

// Follows one TCP connection from its three-way handshake to its close and writes the payload
// of each direction into a file of its own, every byte at the offset its sequence number gives
// relative to its sender's initial sequence number. File 0 receives the initiator's bytes (the
// host whose SYN the stream accepted), file 1 the responder's. No segment is kept: what has
// been written exists only in the files.
class CTcpStream
{
public:
    // The states, as GetState returns them.
    static constexpr int kEnded = -1;      // reset, completely closed, or closed by its owner
    static constexpr int kWaiting = 0;     // waits for a SYN without ACK
    static constexpr int kSynSeen = 1;     // took the initiator's SYN
    static constexpr int kSynAckSeen = 2;  // took the responder's SYN+ACK
    static constexpr int kEstablished = 3; // took the handshake's last ACK: payload is written
    static constexpr int kFinSeen = 4;     // one side sent FIN
    static constexpr int kFinsSeen = 5;    // the other side answered with FIN+ACK

    // A file holds at most this many zeros (bytes not written: lost, or never sent by an honest
    // peer), and this many more for each byte of data written to it. Real loss stays within it;
    // a few forged segments whose sequence numbers jump buy little.
    static constexpr uint64_t kZeroBudget = uint64_t(1) << 30;
    static constexpr uint64_t kZerosPerByte = 16;

    // The stream's files are written through output, each with zeroBudget zeros at most
    // besides kZerosPerByte for each byte of data.
    explicit CTcpStream(CWriteBehind &output, uint64_t zeroBudget = kZeroBudget)
        : m_output(output), m_qwZeroBudget(zeroBudget)
    {
    }
    virtual ~CTcpStream() = default;
    CTcpStream(const CTcpStream &) = delete;
    CTcpStream &operator=(const CTcpStream &) = delete;

    // Creates (replacing) the two files in folder. Returns 1 when at least one file is open,
    // else 0. Returns 0 without a change when a file is open already; a null name is skipped.
    // When the second file cannot be created the first is closed again, left on disk, and 0
    // returned.
    int OpenFiles(const CFolder &folder, const char *name1, const char *name2);

    // Feeds one packet. Returns 1..5 when the packet belonged to this stream (the new state),
    // 0 when it did not (or the stream waits for a SYN), -1 when the stream has ended.
    int ProcessPacket(const CSegment &segment);

    // Follows the connection of segment, a segment with data and without SYN that no stream
    // took, from its middle: the stream becomes established as if it had taken a handshake,
    // and each direction's initial sequence number is its first sequence number seen, less
    // one. The initiator is the segment's source, unless it sends from a port below 1024 to one
    // of 1024 or above (a server's answer). Only in state 0 (else 0); returns what
    // ProcessPacket returns for the segment.
    int TakeMidstream(const CSegment &segment);

    // +1 when segment travels from the initiator to the responder, -1 the other way, 0 when it
    // belongs to another connection. Sets the direction of the packet being processed.
    int MatchDirection(const CSegment &segment);

    int GetState() const { return m_nState; }
    // Whether either side has sent data since the handshake that the stream took.
    bool HasCarriedData() const { return m_qwSeen[0] > 0 || m_qwSeen[1] > 0; }

    // Ends the stream: state -1, both files closed and, when deleteFiles is not 0, removed.
    // Files that are not open are neither closed nor removed. Nothing is cut.
    void CloseFiles(int deleteFiles);

    // Fills in what the stream leaves behind: its connection, times, file lengths and the
    // bytes missing from them. The end is Closed or Reset when the stream ended itself,
    // NotFollowed when it never took an opening SYN, and otherwise left as record has it.
    void Describe(CStreamRecord &record) const;

private:
    int Transition(const CSegment &segment, int m);
    void WritePayload(const CSegment &segment);
    void CutFiles(const CSegment &segment);
    // Ranges of file dir whose write failed no longer count as written.
    void Forget(int dir, const std::vector<CByteRange> &failed);
    // Notes how far the segment proves that its sender, and the other side it acknowledges,
    // have sent.
    void NoteSent(const CSegment &segment);
    int64_t PlaceInStream(int dir, uint32_t distanceFromIsn) const;
    // Whether file dir may end at end, adding bytes of data: the zeros within a file (its
    // length less the data written to it) stay within kZeroBudget and kZerosPerByte for each
    // byte of data written before.
    bool WithinBudget(int dir, uint64_t end, uint64_t adding) const;
    // The length of file dir as it stands.
    uint64_t FileLength(int dir) const;
    // The length of stream dir that the capture proves.
    uint64_t SentLength(int dir) const;

    CWriteBehind &m_output;
    uint64_t m_qwZeroBudget;
    // Each direction's file, as the write-behind knows it; kNoFile when it is not open.
    CWriteBehind::Key m_file[2] = {CWriteBehind::kNoFile, CWriteBehind::kNoFile};
    uint8_t m_byVersion = 4;
    uint32_t m_dwVlan = 0;
    CEndpoint m_initiator;
    CEndpoint m_responder;
    uint32_t m_dwIsn[2] = {0, 0};
    // A stream taken in its middle learns each direction's initial sequence number from that
    // direction's first segment.
    bool m_bIsnKnown[2] = {true, true};
    bool m_bMidstream = false;
    int m_nState = kWaiting;
    int m_nFinSender = 0;
    uint8_t m_byDir = 0;
    uint8_t m_byOtherDir = 1;
    // Per direction: the end of the furthest byte the capture has seen sent, by the segments'
    // sequence numbers and announced lengths: the anchor of what the stream proves was sent.
    uint64_t m_qwSeen[2] = {0, 0};
    // The end of the furthest payload byte written so far, per direction: the anchor of the
    // file offsets.
    uint64_t m_qwHigh[2] = {0, 0};
    // The payload bytes written to each file.
    uint64_t m_qwData[2] = {0, 0};
    // Segments, and close cuts, refused for the zeros they would have put into a file.
    int m_nRefused = 0;
    // The furthest byte the other side acknowledged, per direction.
    uint64_t m_qwAcked[2] = {0, 0};
    // The length each side sent by the final ACK of a complete close, where it is known.
    uint64_t m_qwClosedLength[2] = {0, 0};
    bool m_bClosedLength[2] = {false, false};
    // Whether each file was cut to its closed length (no write follows a close).
    bool m_bCut[2] = {false, false};
    CRangeSet m_written[2];
    bool m_bFollowed = false; // took an opening SYN
    StreamEnd m_end = StreamEnd::CaptureEnded;
    int64_t m_llFirstSeen = 0;
    int64_t m_llLastSeen = 0;
};
