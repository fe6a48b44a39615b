#include "CaptureWorker.h"

#include "CaptureControl.h"
#include "CaptureFilter.h"
#include "CaptureHost.h"
#include "CaptureSource.h"
#include "DescriptorCache.h"
#include "DescriptorLimit.h"
#include "FailureReport.h"
#include "File.h"
#include "Folder.h"
#include "IndexFile.h"
#include "IndexRows.h"
#include "OutputFiles.h"
#include "PacketFields.h"
#include "StreamEvents.h"
#include "StreamTable.h"
#include "WriteBehind.h"

#include <cerrno>
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
const char *const kFinishedTitle = "キャプチャ終了";

// Packets read per call into libpcap: a live capture looks up between batches, to write what
// is pending when it has caught up and to see a stop.
constexpr int kBatch = 256;
// Under a backlog that never lets the reader catch up, pending bytes still reach the files
// this often.
constexpr int64_t kFlushEveryMs = 100;
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

int64_t Microseconds(const timeval &t) { return int64_t(t.tv_sec) * 1000000 + t.tv_usec; }

class CCaptureWorker : private IStreamEvents
{
public:
    explicit CCaptureWorker(ICaptureHost &host) : m_host(host) {}
    void Run();

private:
    bool Start();
    bool OpenSource();
    bool SetFilter();
    bool CreateLog();
    bool WriteLog(const std::string &text);
    void PrepareMode();
    void ReadLoop();
    static void OnPacket(u_char *user, const pcap_pkthdr *header, const u_char *data);
    void OnRawPacket(const pcap_pkthdr &header, const uint8_t *data);
    void OnCombinePacket(const pcap_pkthdr &header, const uint8_t *data);
    void FlushAll();
    void Finish();
    void Fail(const std::string &logLine, const std::string &detail = {});
    void Problem(const std::string &line) { m_host.AppendLog(line, LineKind::Problem); }
    void ReportProgress();

    void OnStreamCreated(int number) override;
    void OnStreamEnded(const CStreamRecord &record) override;
    void OnFileFailure(FileFailure kind, const std::string &path, int error) override;
    void OnDescriptorsShort() override { Problem(kDescriptorsShort); }

    ICaptureHost &m_host;
    CCaptureSource m_source;
    CFolder m_folder;
    int m_nLinkType = 0;
    int m_nHeaderSize = -1;
    bool m_bCombine = false;
    CFile m_log;
    uint64_t m_qwLogLength = 0;
    bool m_bLogFailed = false;
    int m_nCounter = 0;
    CFailureReport m_failures;
    bool m_bEvictionTold = false;
    CIndexFile m_index{*this};
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
    m_host.GetControl().Detach();
    m_source.Close();
    m_host.SetTitle(kFinishedTitle);
    m_host.ReportOutcome(m_outcome);
    m_host.EnableControls(true);
}

bool CCaptureWorker::Start()
{
    if (!OpenSource())
        return false;
    m_nLinkType = m_source.GetLinkType();
    m_nHeaderSize = GetDataLinkHeaderSize(m_nLinkType);
    m_bCombine = m_host.GetCombineCheck();
    if (!SetFilter() || !CreateLog())
        return false;
    if (m_nHeaderSize >= 0) {
        if (!WriteLog(Format("DataLinkLayer Headersize : %ld\r\n", m_nHeaderSize)))
            return false;
    } else {
        if (!WriteLog("DataLinkLayer Headersize : Unknown\r\n"))
            return false;
        if (m_host.GetCombineCheck()) {
            // The filter stays: such a capture writes only frames that match it, whole.
            m_host.ShowMessage(kUnsupportedLink);
            m_host.ClearCombineCheck();
            m_bCombine = false;
        }
    }
    m_nCounter = 0;
    if (!WriteLog(m_bCombine ? "Packet Combine mode\r\n" : "RAW mode\r\n"))
        return false;
    PrepareMode();
    m_host.GetControl().Attach(m_source.GetHandle());
    return true;
}

bool CCaptureWorker::OpenSource()
{
    std::string error;
    const std::string file = m_host.GetCaptureFile();
    if (!file.empty()) {
        if (!m_source.OpenFile(file, error)) {
            Fail(kOpenFailed, error);
            return false;
        }
        return true;
    }
    const pcap_if *device = m_host.GetSelectedDevice();
    if (!device) {
        Fail(kNoDevice);
        return false;
    }
    if (!m_source.OpenLive(*device, error)) {
        Fail(kOpenFailed, error);
        return false;
    }
    return true;
}

bool CCaptureWorker::SetFilter()
{
    const std::string user = m_host.GetFilterExpression();
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

bool CCaptureWorker::CreateLog()
{
    std::string error;
    if (!m_host.OpenOutputFolder(m_folder, error)) {
        Fail(kLogOpenFailed, error);
        return false;
    }
    if (!m_log.Open(m_folder, LogFileName())) {
        Fail(kLogOpenFailed, m_log.GetPath() + ": " + std::strerror(errno));
        return false;
    }
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
        m_index.Open(m_folder, FrameIndexName(), kFrameIndexHeader);
        return;
    }
    m_index.Open(m_folder, ConnectionIndexName(), kConnectionIndexHeader);
    // Stream files share the descriptors the process may hold, less a reserve; beyond that
    // the cache closes and reopens them, so no stream goes without its files.
    const long limit = RaiseDescriptorLimit();
    const long room = limit < 0 ? kDefaultDescriptors : limit - kDescriptorReserve;
    IStreamEvents &events = *this;
    m_pDescriptors = std::make_unique<CDescriptorCache>(
        size_t(room > kMinimumCache ? room : kMinimumCache), &events);
    m_pOutput = std::make_unique<CWriteBehind>(*m_pDescriptors, events);
    m_pTable = std::make_unique<CStreamTable>(m_folder, events, *m_pOutput);
}

void CCaptureWorker::ReadLoop()
{
    CCaptureControl &control = m_host.GetControl();
    int64_t lastFlush = NowMs();
    while (control.IsRunning() && !m_bLogFailed) {
        const int n =
            m_source.Dispatch(kBatch, &CCaptureWorker::OnPacket, reinterpret_cast<u_char *>(this));
        // A stop woke the read (or, reading a pipe, interrupted it): the flag ends the loop.
        if (n == PCAP_ERROR_BREAK || (n < 0 && !control.IsRunning()))
            continue;
        if (n < 0) {
            const std::string text = m_source.GetError();
            Problem(text);
            m_outcome.bFailed = true;
            m_outcome.strError = text;
            break;
        }
        if (m_source.IsOffline()) {
            if (n == 0)
                break; // the end of the file
            continue;
        }
        // Fewer packets than asked for: the reader has caught up, and the files are made
        // current before it waits.
        if (n < kBatch || NowMs() - lastFlush >= kFlushEveryMs) {
            FlushAll();
            lastFlush = NowMs();
        }
    }
}

void CCaptureWorker::OnPacket(u_char *user, const pcap_pkthdr *header, const u_char *data)
{
    auto *self = reinterpret_cast<CCaptureWorker *>(user);
    ++self->m_outcome.nPackets;
    if (self->m_bCombine)
        self->OnCombinePacket(*header, data);
    else
        self->OnRawPacket(*header, data);
    if (self->m_outcome.nPackets % kProgressEvery == 0)
        self->ReportProgress();
}

void CCaptureWorker::OnRawPacket(const pcap_pkthdr &header, const uint8_t *data)
{
    ++m_nCounter;
    // The file tells its own failure. A frame file is whole or gone: a part of a frame would
    // pass for the frame.
    CFile file(nullptr, this);
    if (file.Open(m_folder, PacketFileName(m_nCounter))) {
        if (file.WriteAt(0, data, header.caplen))
            m_index.Append(FrameRow(m_nCounter, Microseconds(header.ts), header.caplen, header.len,
                                    m_nLinkType));
        else
            file.Remove();
    }
    m_host.AppendLog(Format("Capture Packet %ld\r\n", m_nCounter), LineKind::Progress);
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
    m_index.Flush();
}

void CCaptureWorker::OnStreamCreated(int number)
{
    m_nCounter = number;
    char line[64];
    std::snprintf(line, sizeof line, "Capture : p%010d\r\n", number);
    m_host.AppendLog(line, LineKind::Progress);
}

void CCaptureWorker::OnStreamEnded(const CStreamRecord &record)
{
    m_index.Append(ConnectionRow(record));
    if (record.qwMissing[0] + record.qwMissing[1] > 0)
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
        m_pTable.reset();
        m_pOutput.reset();
        m_pDescriptors.reset();
    }
    m_index.Close();
    const std::string untold = m_failures.Summary();
    if (!untold.empty())
        Problem(untold);
    m_outcome.nFailedFiles = m_failures.GetCount();
    if (!m_source.IsOffline()) {
        m_outcome.nDropped = m_source.GetDropped();
        if (m_outcome.nDropped >= 0) {
            const std::string line =
                Format("カーネルで破棄されたパケット : %ld\r\n", long(m_outcome.nDropped));
            m_host.AppendLog(line, m_outcome.nDropped ? LineKind::Problem : LineKind::Progress);
        }
    }
    ReportProgress();
    WriteLog(Format("Captured Packet : %ld\r\n", m_nCounter));
    m_log.Close();
    // IMPORTANT: the handle goes before the file manager starts: its packet socket and wake-up
    // descriptor are inherited by programs started meanwhile, and would let them capture.
    m_host.GetControl().Detach();
    m_source.Close();
    m_host.OpenFolder(m_folder.GetPath());
}

void CCaptureWorker::Fail(const std::string &logLine, const std::string &detail)
{
    Problem(logLine);
    m_outcome.bFailed = true;
    m_outcome.strError = WithoutLineEnd(logLine);
    if (!detail.empty())
        m_outcome.strError += " (" + detail + ")";
}

void CCaptureWorker::ReportProgress()
{
    CCaptureProgress progress;
    progress.nPackets = m_outcome.nPackets;
    progress.nFileBytes = m_source.GetFilePosition();
    m_host.ReportProgress(progress);
}

} // namespace

void CaptureThreadProc(ICaptureHost *host)
{
    CCaptureWorker worker(*host);
    worker.Run();
}
