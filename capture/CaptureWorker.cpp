// The capture worker: one capture, from opening its source to completing log.txt.
//
// A packet's path through the engine, on this one thread:
//   CCaptureSource (libpcap: an interface or a capture file, read in batches)
//     -> CCaptureWorker::OnPacket
//        RAW mode:            one CFile per frame, created, written whole, closed; a row in
//                             frames.csv (CIndexFile)
//        Packet Combine mode: DecodeFrame (decode/) -> CStreamTable::Offer (streams/)
//                             -> CTcpStream::ProcessPacket -> CWriteBehind::Write (output/)
//                             -> CFile (descriptors kept in a CDescriptorCache) -> CFolder (os/)
//   A stream that ends is described in a row of connections.csv (CIndexFile).
//
// When pending bytes reach the disk: CWriteBehind writes a file's run when a write does not
// continue it, when it is full, when the pool needs its pieces, and before a cut or a close.
// The worker writes everything pending (CWriteBehind::FlushAll, CIndexFile::Flush) whenever a
// live capture has caught up with the traffic, at least every kFlushEveryMs under a backlog,
// and at the end, before log.txt gets its last line; the host's own output follows each time,
// and at least every kTellEveryMs from a capture file.
//
// The read ends on Stop (or a signal), a read error, the end of a capture file, or a limit of
// the request: its packet count read (a batch never reads past it), or its duration passed
// (a live capture never waits past it; a host breaks a file's read that blocks).
#include "CaptureWorker.h"

#include "CaptureControl.h"
#include "CaptureFilter.h"
#include "CaptureHost.h"
#include "CaptureJson.h"
#include "CaptureRequest.h"
#include "CaptureSource.h"
#include "DescriptorCache.h"
#include "DescriptorLimit.h"
#include "FailureReport.h"
#include "File.h"
#include "Folder.h"
#include "FrameWriter.h"
#include "IndexFile.h"
#include "IndexRows.h"
#include "MakeFolder.h"
#include "OutputFiles.h"
#include "PacketFields.h"
#include "Privileges.h"
#include "StreamEvents.h"
#include "StreamTable.h"
#include "Version.h"
#include "WriteBehind.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

namespace {

const char *const kNoDevice = "デバイスが選択されていません。\r\n";
const char *const kOpenFailed = "デバイスを開けませんでした。\r\n";
const char *const kFilterFailed = "フィルターの設定に失敗しました。\r\n";
const char *const kLogOpenFailed = "ログファイルを開けませんでした。\r\n";
const char *const kLogWriteFailed = "ログファイルに書き込めませんでした。\r\n";
const char *const kUnsupportedLink = "対応していないデータリンク層プロトコルです。\r\n"
                                     "パケットの組み立てを行わずに出力します。";
const char *const kDescriptorsShort = "ファイル記述子の上限に達したため、"
                                      "ストリームのファイルを開き直しながら書き込みます。\r\n";
const char *const kStreamsEvicted = "ストリーム数が上限に達したため、"
                                    "古いストリームの追跡を終了しました。\r\n";

// Packets read per call into libpcap: a live capture looks up between batches, to write what
// is pending when it has caught up and to see a stop.
constexpr int kBatch = 256;
// Under a backlog that never lets the reader catch up, pending bytes still reach the files
// this often.
constexpr int64_t kFlushEveryMs = 100;
constexpr int64_t kTellEveryMs = 1000;
constexpr int kProgressEvery = 4096;
// Descriptors the process needs besides the stream files: the capture handle, log.txt, the
// index, a packet file, and the program's own (standard streams, the GUI's connections).
constexpr long kDescriptorReserve = 32;
constexpr long kMinimumCache = 4;
constexpr long kDefaultDescriptors = 1024 - kDescriptorReserve;

std::string Format(const char *format, long value)
{
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

int64_t NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The kernel buffer a live capture asks for, in bytes.
int BufferBytes(const CCaptureRequest &request)
{
    return request.nBufferKib > 0 ? request.nBufferKib * 1024 : CCaptureSource::kBufferSize;
}

int64_t WallClockMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

class CCaptureWorker : public IStreamEvents
{
public:
    CCaptureWorker(const CCaptureRequest &request, CCaptureControl &control, ICaptureHost &host)
        : m_request(request), m_control(control), m_host(host)
    {
    }
    void Run();

private:
    bool Start();
    bool OpenSource();
    bool SetFilter();
    bool OpenFolder();
    bool FolderFailed(const std::string &error);
    bool CreateLog();
    bool WriteLog(const std::string &text);
    void PrepareMode();
    void ReadLoop();
    // Packets to read in the next batch: kBatch, or fewer to stop at the request's count; 0 once
    // it has been read.
    int BatchSize() const;
    void ReadFailed();
    static void OnPacket(u_char *user, const pcap_pkthdr *header, const u_char *data);
    void OnRawPacket(const pcap_pkthdr &header, const uint8_t *data);
    void OnCombinePacket(const pcap_pkthdr &header, const uint8_t *data);
    void FlushAll();
    void Finish();
    void TellDrops();
    void WriteFacts();
    void Fail(const std::string &logLine, const std::string &detail = {});
    void Problem(const std::string &line) { m_host.OnLogLine(line, LineKind::Problem); }
    // The number log.txt ends with: frame files numbered (RAW mode) or streams created.
    int GetCount() const { return m_bCombine ? m_nStreams : m_nFrames; }
    void ReportProgress();

    void OnStreamCreated(int number) override;
    void OnStreamEnded(const CStreamRecord &record) override;
    void OnFileFailure(FileFailure kind, const std::string &path, int error) override;
    void OnDescriptorsShort() override { Problem(kDescriptorsShort); }

    const CCaptureRequest &m_request;
    CCaptureControl &m_control;
    ICaptureHost &m_host;
    CCaptureSource m_source;
    CFolder m_madeFolder;         // the output folder, when the worker made and opened it
    CFolder *m_pFolder = nullptr; // the output folder, the host's or the one made
    int m_nLinkType = 0;
    uint32_t m_dwSnapLength = UINT32_MAX; // a capture file's frames are cut to this many bytes
    int m_nHeaderSize = -1;
    bool m_bCombine = false;
    bool m_bFellBack = false;
    bool m_bReadToEnd = false; // a capture file was read to its end
    int64_t m_llStarted = 0;   // wall-clock time of the start
    CCaptureSource::CDrops m_drops;
    bool m_bDropsKnown = false;
    uint64_t m_qwBytesMissing = 0;
    int64_t m_nRefused = 0; // segments refused for the zeros they would have made
    size_t m_nNotFollowed = 0;
    bool m_bNotFollowedExact = true;
    CFile m_log;
    uint64_t m_qwLogLength = 0;
    bool m_bLogFailed = false;
    int m_nFrames = 0;  // RAW mode: the number of the last frame file
    int m_nStreams = 0; // Packet Combine mode: the number of the last stream created
    CFailureReport m_failures;
    bool m_bEvictionTold = false;
    CIndexFile m_connections{*this};
    std::unique_ptr<CFrameWriter> m_pFrames;
    std::unique_ptr<CDescriptorCache> m_pDescriptors;
    std::unique_ptr<CWriteBehind> m_pOutput;
    std::unique_ptr<CStreamTable> m_pTable;
    CCaptureOutcome m_outcome;
};

void CCaptureWorker::Run()
{
    if (Start()) {
        m_outcome.bStarted = true;
        ReadLoop();
        Finish();
    }
    m_control.Detach();
    m_source.Close();
    m_host.OnEnded(m_outcome);
}

bool CCaptureWorker::Start()
{
    if (!OpenSource())
        return false;
    m_nLinkType = m_source.GetLinkType();
    // libpcap cuts a live capture's frames; a capture file keeps its own snap length unless a
    // shorter one was asked for.
    if (m_request.nSnapLength > 0 && m_source.IsOffline())
        m_dwSnapLength = uint32_t(m_request.nSnapLength);
    m_nHeaderSize = GetDataLinkHeaderSize(m_nLinkType);
    m_bCombine = m_request.bCombine;
    if (!SetFilter() || !CreateLog())
        return false;
    if (m_nHeaderSize >= 0) {
        if (!WriteLog(Format("DataLinkLayer Headersize : %ld\r\n", m_nHeaderSize)))
            return false;
    } else {
        if (!WriteLog("DataLinkLayer Headersize : Unknown\r\n"))
            return false;
        if (m_bCombine) {
            // The filter stays: such a capture writes only frames that match it, whole.
            m_host.ShowMessage(kUnsupportedLink);
            m_host.OnFellBackToRaw();
            m_bCombine = false;
            m_bFellBack = true;
        }
    }
    if (!WriteLog(m_bCombine ? "Packet Combine mode\r\n" : "RAW mode\r\n"))
        return false;
    PrepareMode();
    m_control.Attach(m_source.GetHandle());
    return true;
}

bool CCaptureWorker::OpenSource()
{
    std::string error;
    if (!m_request.strFile.empty()) {
        if (!m_source.OpenFile(m_request.strFile, error)) {
            Fail(kOpenFailed, error);
            return false;
        }
        return true;
    }
    if (m_request.strDevice.empty()) {
        Fail(kNoDevice);
        return false;
    }
    const int snap =
        m_request.nSnapLength > 0 ? m_request.nSnapLength : CCaptureSource::kSnapLength;
    if (!m_source.OpenLive(m_request.strDevice, snap, BufferBytes(m_request), error)) {
        Fail(kOpenFailed, error);
        return false;
    }
    return true;
}

bool CCaptureWorker::SetFilter()
{
    const std::string &user = m_request.strFilter;
    const std::string expression = CaptureFilterFor(m_nLinkType, m_bCombine, user);
    if (expression.empty())
        return true;
    std::string error;
    if (m_source.SetFilter(expression, error))
        return true;
    // Said apart, because a host may treat the user's own mistake as bad usage.
    std::string userError;
    m_outcome.bBadFilterExpression = !user.empty() && !m_source.SetFilter(user, userError);
    Fail(kFilterFailed, m_outcome.bBadFilterExpression ? userError : error);
    return false;
}

// The output folder, ready for the capture's files: the host's, or made and opened now that the
// source is open. Nothing after this point needs a privilege.
bool CCaptureWorker::OpenFolder()
{
    std::string error;
    const CUser *owner = m_request.owner ? &*m_request.owner : nullptr;
    m_pFolder = m_request.pFolder;
    if (!m_pFolder) {
        if (!MakeFolder(m_request.strFolder, m_request.bMakeParents, owner, m_madeFolder, error))
            return FolderFailed(error);
        m_pFolder = &m_madeFolder;
    }
    if (m_request.bGiveUpPrivileges && !Privileges::GiveUp(owner, error))
        return FolderFailed(error);
    return true;
}

bool CCaptureWorker::FolderFailed(const std::string &error)
{
    m_outcome.bFolderFailed = true;
    Fail(kLogOpenFailed, error);
    return false;
}

bool CCaptureWorker::CreateLog()
{
    if (!OpenFolder())
        return false;
    if (!m_log.Open(*m_pFolder, LogFileName())) {
        Fail(kLogOpenFailed, m_log.GetPath() + ": " + std::strerror(errno));
        return false;
    }
    // What an earlier capture said of the folder no longer holds.
    m_pFolder->RemoveFile(CaptureJsonName());
    m_llStarted = WallClockMicroseconds();
    return true;
}

bool CCaptureWorker::WriteLog(const std::string &text)
{
    if (m_bLogFailed)
        return false;
    if (!m_log.WriteAt(m_qwLogLength, text.data(), text.size())) {
        m_bLogFailed = true;
        Fail(kLogWriteFailed, m_log.GetPath() + ": " + std::strerror(errno));
        return false;
    }
    m_qwLogLength += text.size();
    return true;
}

void CCaptureWorker::PrepareMode()
{
    if (!m_bCombine) {
        IOutputEvents &events = *this;
        m_pFrames = std::make_unique<CFrameWriter>(*m_pFolder, events, m_nLinkType);
        m_pFrames->Open();
        return;
    }
    m_connections.Open(*m_pFolder, ConnectionIndexName(), ConnectionIndexHeader());
    // Stream files share the descriptors the process may hold, less a reserve; beyond that
    // the cache closes and reopens them, so no stream goes without its files.
    const long limit = RaiseDescriptorLimit();
    const long room = limit < 0 ? kDefaultDescriptors : limit - kDescriptorReserve;
    IStreamEvents &events = *this;
    m_pDescriptors = std::make_unique<CDescriptorCache>(
        size_t(room > kMinimumCache ? room : kMinimumCache), &events);
    m_pOutput = std::make_unique<CWriteBehind>(*m_pDescriptors, events);
    m_pTable = std::make_unique<CStreamTable>(*m_pFolder, events, *m_pOutput,
                                              CStreamTable::kCapacity, m_request.bMidstream);
}

void CCaptureWorker::ReadLoop()
{
    const int64_t started = NowMs();
    const int64_t deadline =
        m_request.llDurationMs > 0 ? started + m_request.llDurationMs : INT64_MAX;
    m_host.OnReadStarted();
    int64_t lastFlush = started;
    bool caughtUp = true;
    while (m_control.IsRunning() && !m_bLogFailed) {
        const int64_t now = NowMs();
        const int batch = BatchSize();
        // A limit reached ends the capture as a stop does.
        if (batch == 0 || now >= deadline)
            break;
        // A live capture that has caught up waits for packets or a stop, never longer than a
        // flush interval or the time left, and so never on the library alone.
        if (!m_source.IsOffline() && caughtUp &&
            m_source.Wait(m_control.GetWakeDescriptor(),
                          int(std::min(kFlushEveryMs, deadline - now))) !=
                CCaptureSource::WaitResult::Ready)
            continue;
        const int n =
            m_source.Dispatch(batch, &CCaptureWorker::OnPacket, reinterpret_cast<u_char *>(this));
        // A stop woke the read (or, reading a pipe, interrupted it): the flag ends the loop.
        if (n == PCAP_ERROR_BREAK || (n < 0 && !m_control.IsRunning()))
            continue;
        if (n < 0) {
            ReadFailed();
            break;
        }
        if (m_source.IsOffline()) {
            if (n == 0) {
                m_bReadToEnd = true;
                break;
            }
            if (NowMs() - lastFlush >= kTellEveryMs) {
                m_host.OnFlush();
                lastFlush = NowMs();
            }
            continue;
        }
        // Fewer packets than asked for: the reader has caught up, and the files are made
        // current before it waits.
        caughtUp = n < batch;
        if (caughtUp || NowMs() - lastFlush >= kFlushEveryMs) {
            FlushAll();
            lastFlush = NowMs();
        }
    }
}

int CCaptureWorker::BatchSize() const
{
    if (m_request.llPacketLimit <= 0)
        return kBatch;
    return int(std::clamp<int64_t>(m_request.llPacketLimit - m_outcome.nPackets, 0, kBatch));
}

// The library's reason is the whole message: the window shows it as its line, a host that
// tells reasons elsewhere tells it there.
void CCaptureWorker::ReadFailed()
{
    const std::string text = m_source.GetError();
    m_host.OnLogLine(text, LineKind::Reason);
    m_outcome.bFailed = true;
    m_outcome.strError = text;
    m_outcome.strReason = text;
}

void CCaptureWorker::OnPacket(u_char *user, const pcap_pkthdr *header, const u_char *data)
{
    auto *self = reinterpret_cast<CCaptureWorker *>(user);
    ++self->m_outcome.nPackets;
    pcap_pkthdr cut = *header;
    cut.caplen = std::min(cut.caplen, self->m_dwSnapLength);
    if (self->m_bCombine)
        self->OnCombinePacket(cut, data);
    else
        self->OnRawPacket(cut, data);
    if (self->m_outcome.nPackets % kProgressEvery == 0) {
        self->ReportProgress();
        // Index rows that wait are written at least this often, also from a capture file.
        if (self->m_pFrames)
            self->m_pFrames->Flush();
        self->m_connections.Flush();
    }
}

void CCaptureWorker::OnRawPacket(const pcap_pkthdr &header, const uint8_t *data)
{
    ++m_nFrames;
    m_pFrames->Write(m_nFrames, header, data);
    m_host.OnLogLine(Format("Capture Packet %ld\r\n", m_nFrames), LineKind::Progress);
}

void CCaptureWorker::OnCombinePacket(const pcap_pkthdr &header, const uint8_t *data)
{
    // Frames without a readable TCP segment (headers not captured, later fragments, other
    // protocols that the filter let through) are nobody's: no stream sees them.
    CSegment segment;
    if (!DecodeFrame(m_nLinkType, data, header.caplen, segment))
        return;
    segment.llTime = Microseconds(header.ts);
    m_pTable->Offer(segment);
}

void CCaptureWorker::FlushAll()
{
    if (m_pOutput)
        m_pOutput->FlushAll();
    if (m_pFrames)
        m_pFrames->Flush();
    m_connections.Flush();
    m_host.OnFlush();
}

void CCaptureWorker::OnStreamCreated(int number)
{
    m_nStreams = number;
    char line[64];
    std::snprintf(line, sizeof line, "Capture : p%010d\r\n", number);
    m_host.OnLogLine(line, LineKind::Progress);
}

void CCaptureWorker::OnStreamEnded(const CStreamRecord &record)
{
    m_connections.Append(ConnectionRow(record));
    m_nRefused += record.nRefused;
    const uint64_t missing = record.qwMissing[0] + record.qwMissing[1];
    m_qwBytesMissing += missing;
    if (missing > 0)
        ++m_outcome.nIncompleteStreams;
    if (record.end == StreamEnd::Evicted && !std::exchange(m_bEvictionTold, true))
        Problem(kStreamsEvicted);
}

void CCaptureWorker::OnFileFailure(FileFailure kind, const std::string &path, int error)
{
    const std::string line = m_failures.Add(kind, path, error);
    if (!line.empty())
        Problem(line);
}

void CCaptureWorker::Finish()
{
    if (m_pTable) {
        m_pTable->CloseAll();
        m_outcome.nStreams = m_pTable->GetCount();
        m_nNotFollowed = m_pTable->GetNotFollowed();
        m_bNotFollowedExact = m_pTable->IsNotFollowedExact();
        m_pTable.reset();
        m_pOutput.reset();
        m_pDescriptors.reset();
    }
    m_connections.Close();
    if (m_pFrames)
        m_pFrames->Close();
    m_bDropsKnown = m_source.GetDrops(m_drops);
    WriteFacts();
    const std::string untold = m_failures.Summary();
    if (!untold.empty())
        Problem(untold);
    m_outcome.nFailedFiles = m_failures.GetCount();
    TellDrops();
    if (m_bCombine && m_outcome.nIncompleteStreams > 0)
        Problem(Format("データが欠けているストリーム : %ld\r\n", m_outcome.nIncompleteStreams));
    if (m_nRefused > 0)
        Problem(
            Format("不正なシーケンス番号のセグメントを破棄しました : %ld\r\n", long(m_nRefused)));
    ReportProgress();
    WriteLog(Format("Captured Packet : %ld\r\n", GetCount()));
    m_log.Close();
    // IMPORTANT: the handle goes before the file manager starts: its packet socket and wake-up
    // descriptor are inherited by programs started meanwhile, and would let them capture.
    m_control.Detach();
    m_source.Close();
    m_host.OnFolderComplete(m_pFolder->GetPath());
}

// The kernel's drop count, at the end of a live capture.
void CCaptureWorker::TellDrops()
{
    if (!m_bDropsKnown)
        return;
    m_outcome.nDropped = m_drops.nKernel + m_drops.nInterface;
    const std::string line =
        Format("カーネルで破棄されたパケット : %ld\r\n", long(m_outcome.nDropped));
    m_host.OnLogLine(line, m_outcome.nDropped ? LineKind::Problem : LineKind::Progress);
}

// capture.json, for whoever is handed the folder; its own failure counts as a file's.
void CCaptureWorker::WriteFacts()
{
    CCaptureFacts facts;
    facts.strProgram = m_request.strProgram;
    facts.strVersion = MARLINOX_VERSION;
    facts.bCombine = m_bCombine;
    facts.bFellBackToRaw = m_bFellBack;
    facts.bFile = !m_request.strFile.empty();
    facts.strSource = facts.bFile ? m_request.strFile : m_request.strDevice;
    if (!m_request.strFilter.empty())
        facts.filter = m_request.strFilter;
    facts.nLinkType = m_nLinkType;
    facts.nSnapLength = int(std::min(uint32_t(m_source.GetSnapLength()), m_dwSnapLength));
    if (!facts.bFile)
        facts.bufferBytes = BufferBytes(m_request);
    facts.llStarted = m_llStarted;
    facts.llEnded = WallClockMicroseconds();
    facts.nPacketsRead = m_outcome.nPackets;
    if (m_bDropsKnown) {
        facts.kernelDropped = m_drops.nKernel;
        facts.interfaceDropped = m_drops.nInterface;
    }
    if (m_bCombine) {
        facts.streams = m_outcome.nStreams;
        facts.streamsWithMissingBytes = m_outcome.nIncompleteStreams;
        facts.bytesMissing = int64_t(m_qwBytesMissing);
        facts.connectionsNotFollowed = int64_t(m_nNotFollowed);
        facts.bNotFollowedExact = m_bNotFollowedExact;
        facts.refusedSegments = m_nRefused;
    }
    facts.nFilesFailed = m_failures.GetCount();
    facts.strOutcome = m_outcome.bFailed ? "failed" : m_bReadToEnd ? "completed" : "stopped";
    WriteCaptureJson(*m_pFolder, facts, *this);
}

void CCaptureWorker::Fail(const std::string &logLine, const std::string &detail)
{
    Problem(logLine);
    if (!detail.empty())
        m_host.OnLogLine(detail + "\r\n", LineKind::Reason);
    m_outcome.bFailed = true;
    m_outcome.strError = WithoutLineEnd(logLine);
    m_outcome.strReason = detail;
    if (!detail.empty())
        m_outcome.strError += " (" + detail + ")";
}

void CCaptureWorker::ReportProgress()
{
    CCaptureProgress progress;
    progress.nPackets = m_outcome.nPackets;
    progress.nFileBytes = m_source.GetFilePosition();
    m_host.OnProgress(progress);
}

} // namespace

void CaptureThreadProc(const CCaptureRequest &request, CCaptureControl &control, ICaptureHost &host)
{
    CCaptureWorker worker(request, control, host);
    worker.Run();
}
