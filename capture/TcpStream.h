#pragma once
#include "File.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Follows one TCP connection from its three-way handshake to its close and writes the payload
// of each direction into a file of its own, every byte at the offset its sequence number gives
// relative to its sender's initial sequence number. File 0 receives the initiator's bytes (the
// host whose SYN the stream accepted), file 1 the responder's. No segment is buffered: the
// files are up to date after every packet.
class CTcpStream
{
public:
    // Files are opened through cache when one is given (see CFileCache).
    explicit CTcpStream(CFileCache *cache = nullptr) : m_file{CFile(cache), CFile(cache)} {}
    virtual ~CTcpStream() = default;
    CTcpStream(const CTcpStream &) = delete;
    CTcpStream &operator=(const CTcpStream &) = delete;

    // Creates (or truncates) the two files. Returns 1 when at least one file is open, else 0.
    // Returns 0 without a change when a file is open already; a null path is skipped. When the
    // second file cannot be opened the first is closed again, left on disk, and 0 returned.
    int OpenFiles(const char *path1, const char *path2);

    // Feeds one packet. ip points at its IPv4 header; captured is how many bytes lie behind
    // ip's first byte. Returns 1..5 when the packet belonged to this stream (the new state),
    // 0 when it did not (or the stream waits for a SYN), -1 when the stream has ended.
    int ProcessPacket(const uint8_t *ip, size_t captured);

    // +1 when ip travels from the initiator to the responder, -1 the other way, 0 when it
    // belongs to another connection. Sets the direction of the packet being processed.
    int MatchDirection(const uint8_t *ip);

    int GetState() const { return m_nState; }

    // Ends the stream: state -1, both files closed and, when deleteFiles is not 0, removed.
    // Files that are not open are neither closed nor removed. Nothing is cut.
    void CloseFiles(int deleteFiles);

    // Write failures. A failing file operation drops that payload and never ends the stream;
    // the count and the errno of the last failure are kept per direction.
    int GetFailureCount(int dir) const { return m_nFailures[dir]; }
    int GetLastError(int dir) const { return m_nLastError[dir]; }
    const std::string &GetPath(int dir) const { return m_file[dir].GetPath(); }
    // Bit d is set for each direction whose first failure happened since the last call.
    unsigned TakeNewFailures();

    // Whether the stream can read a packet: 20 bytes of IPv4 header and the IPv4 header length
    // plus 14 bytes of TCP header (ports, numbers, offset, flags) were captured, and neither
    // header claims to be shorter than 20 bytes.
    static bool IsReadable(const uint8_t *ip, size_t captured);

private:
    int Transition(const uint8_t *ip, const uint8_t *tcp, int m);
    void WritePayload(const uint8_t *tcp, const uint8_t *payload, long announced, long length);
    void CutFiles(const uint8_t *tcp);
    int64_t PlaceInStream(int dir, uint32_t distanceFromIsn) const;
    void RecordFailure(int dir);

    CFile m_file[2];
    CFile *m_pFile[2] = {nullptr, nullptr};
    uint32_t m_dwInitiatorAddr = 0;
    uint32_t m_dwResponderAddr = 0;
    uint16_t m_wInitiatorPort = 0;
    uint16_t m_wResponderPort = 0;
    uint32_t m_dwIsn[2] = {0, 0};
    int m_nState = 0;
    int m_nFinSender = 0;
    uint8_t m_byDir = 0;
    uint8_t m_byOtherDir = 1;
    // End offset of the furthest payload byte written so far, per direction: the anchor that
    // turns 32-bit sequence distances into 64-bit file offsets.
    uint64_t m_qwHigh[2] = {0, 0};
    int m_nFailures[2] = {0, 0};
    int m_nLastError[2] = {0, 0};
    unsigned m_uNewFailures = 0;
};
