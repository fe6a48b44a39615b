#include "CaptureWorker.h"

#include "CaptureControl.h"
#include "DescriptorLimit.h"
#include "OutputFiles.h"
#include "PacketFields.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace {

const char *const kNoDevice = "デバイスが選択されていません。\r\n";
const char *const kOpenFailed = "デバイスを開けませんでした。\r\n";
const char *const kFilterFailed = "フィルターの設定に失敗しました。\r\n";
const char *const kLogOpenFailed = "ログファイルを開けませんでした。\r\n";
const char *const kLogWriteFailed = "ログファイルに書き込めませんでした。\r\n";
const char *const kUnsupportedLink = "対応していないデータリンク層プロトコルです。\r\n"
                                     "パケットの組み立てを行わずに出力します。";
const char *const kFinishedTitle = "キャプチャ終了";
const char *const kFilter = "ip and tcp";
constexpr int kProgressEvery = 4096;
// Descriptors the process needs besides the stream files: the capture handle, log.txt, a
// packet file, and the program's own (standard streams, the GUI's connections).
constexpr long kDescriptorReserve = 32;
constexpr long kMinimumCache = 4;
constexpr long kDefaultDescriptors = 1024 - kDescriptorReserve;
const char *const kCacheEvicting = "ファイル記述子の上限に達したため、"
                                   "ストリームのファイルを開き直しながら書き込みます。\r\n";

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

// The first IPv4 netmask among the interface's addresses. Entries of other families (IPv6,
// link-layer) have no IPv4 field to read.
uint32_t NetmaskOf(const pcap_if_t *device)
{
    for (const pcap_addr_t *a = device->addresses; a; a = a->next) {
        if (!a->addr || a->addr->sa_family != AF_INET)
            continue;
        if (!a->netmask || a->netmask->sa_family != AF_INET)
            return 0xFFFFFFFF;
        return reinterpret_cast<const sockaddr_in *>(a->netmask)->sin_addr.s_addr;
    }
    return 0xFFFFFFFF;
}

// A fragment other than the first carries no TCP header where one would be read.
bool IsLaterFragment(const uint8_t *ip) { return ((ip[6] & 0x1F) | ip[7]) != 0; }

} // namespace

void CaptureThreadProc(ICaptureHost *host)
{
    CCaptureWorker worker(*host);
    worker.Run();
}

void CCaptureWorker::CPcapCloser::operator()(pcap *p) const { pcap_close(p); }

CCaptureWorker::CCaptureWorker(ICaptureHost &host)
    : m_host(host), m_strFolder(host.GetOutputFolder())
{
}

CCaptureWorker::~CCaptureWorker() = default;

void CCaptureWorker::Run()
{
    if (Start()) {
        m_outcome.bStarted = true;
        ReadLoop();
        Finish();
    }
    m_host.GetControl().Detach();
    m_pcap.reset();
    m_host.SetTitle(kFinishedTitle);
    m_host.ReportOutcome(m_outcome);
    m_host.EnableControls(true);
}

bool CCaptureWorker::Start()
{
    m_bOffline = !m_host.GetCaptureFile().empty();
    if (!(m_bOffline ? OpenFile() : OpenLive()))
        return false;
    m_nHeaderSize = GetDataLinkHeaderSize(pcap_datalink(m_pcap.get()));
    m_bCombine = m_host.GetCombineCheck();
    if (m_bCombine && !SetFilter())
        return false;
    if (!CreateLog())
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
    if (m_bCombine)
        CreateStreamTable();
    m_host.GetControl().Attach(m_pcap.get());
    return true;
}

bool CCaptureWorker::OpenLive()
{
    const pcap_if_t *device = m_host.GetSelectedDevice();
    if (!device) {
        Fail(kNoDevice);
        return false;
    }
    char error[PCAP_ERRBUF_SIZE] = "";
    m_pcap.reset(pcap_create(device->name, error));
    if (!m_pcap) {
        Fail(kOpenFailed, error);
        return false;
    }
    // Immediate mode hands every packet over as it arrives, so the log follows the traffic.
    pcap_set_snaplen(m_pcap.get(), kSnapLength);
    pcap_set_promisc(m_pcap.get(), 1);
    pcap_set_timeout(m_pcap.get(), kReadTimeoutMs);
    pcap_set_immediate_mode(m_pcap.get(), 1);
    // A kernel buffer larger than the library's 2 MB default rides out bursts (loopback
    // moves 64 KB frames at memory speed) while stream files are being written.
    pcap_set_buffer_size(m_pcap.get(), kBufferSize);
    const int rc = pcap_activate(m_pcap.get());
    if (rc < 0) {
        const std::string detail =
            rc == PCAP_ERROR ? pcap_geterr(m_pcap.get()) : pcap_statustostr(rc);
        m_pcap.reset();
        Fail(kOpenFailed, detail);
        return false;
    }
    m_dwNetmask = NetmaskOf(device);
    return true;
}

bool CCaptureWorker::OpenFile()
{
    char error[PCAP_ERRBUF_SIZE] = "";
    m_pcap.reset(pcap_open_offline(m_host.GetCaptureFile().c_str(), error));
    if (!m_pcap) {
        Fail(kOpenFailed, error);
        return false;
    }
    m_dwNetmask = PCAP_NETMASK_UNKNOWN;
    return true;
}

bool CCaptureWorker::SetFilter()
{
    bpf_program program{};
    if (pcap_compile(m_pcap.get(), &program, kFilter, 1, m_dwNetmask) < 0) {
        Fail(kFilterFailed, pcap_geterr(m_pcap.get()));
        return false;
    }
    const int rc = pcap_setfilter(m_pcap.get(), &program);
    pcap_freecode(&program);
    if (rc < 0) {
        Fail(kFilterFailed, pcap_geterr(m_pcap.get()));
        return false;
    }
    return true;
}

bool CCaptureWorker::CreateLog()
{
    const std::string path = LogFileName(m_strFolder);
    if (!m_log.Open(path)) {
        Fail(kLogOpenFailed, path + ": " + std::strerror(errno));
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
        Fail(kLogWriteFailed, LogFileName(m_strFolder) + ": " + std::strerror(errno));
        return false;
    }
    m_qwLogLength += text.size();
    return true;
}

void CCaptureWorker::CreateStreamTable()
{
    // Stream files share the descriptors the process may hold, less a reserve; beyond that
    // the cache closes and reopens them, so no stream goes without its files.
    const long limit = RaiseDescriptorLimit();
    const long room = limit < 0 ? kDefaultDescriptors : limit - kDescriptorReserve;
    m_pCache = std::make_unique<CFileCache>(size_t(room > kMinimumCache ? room : kMinimumCache));
    m_pTable = std::make_unique<CStreamTable>(
        m_strFolder, static_cast<IStreamTableObserver &>(*this), m_pCache.get());
}

void CCaptureWorker::ReadLoop()
{
    CCaptureControl &control = m_host.GetControl();
    while (control.IsRunning() && !m_bLogFailed) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int rc = pcap_next_ex(m_pcap.get(), &header, &data);
        if (rc == 1) {
            ++m_outcome.nPackets;
            if (m_bCombine)
                OnCombinePacket(*header, data);
            else
                OnRawPacket(*header, data);
            if (m_outcome.nPackets % kProgressEvery == 0)
                ReportProgress();
        } else if (rc == PCAP_ERROR_BREAK) {
            // Live: a stop woke the read; the flag ends the loop. A file: its end.
            if (m_bOffline)
                break;
        } else if (rc != 0) {
            const std::string text = pcap_geterr(m_pcap.get());
            m_host.AppendLog(text, LineKind::Problem);
            m_outcome.bFailed = true;
            m_outcome.strError = text;
            break;
        }
    }
}

void CCaptureWorker::OnRawPacket(const pcap_pkthdr &header, const uint8_t *data)
{
    ++m_nCounter;
    const std::string path = PacketFileName(m_strFolder, m_nCounter);
    CFile file;
    if (!file.Open(path)) {
        OnCreateFailure(path, errno);
    } else if (!file.WriteAt(0, data, header.caplen)) {
        OnWriteFailure(path, errno);
    }
    m_host.AppendLog(Format("Capture Packet %ld\r\n", m_nCounter), LineKind::Progress);
}

void CCaptureWorker::OnCombinePacket(const pcap_pkthdr &header, const uint8_t *data)
{
    if (m_nHeaderSize < 0 || header.caplen < uint32_t(m_nHeaderSize))
        return;
    const uint8_t *ip = data + m_nHeaderSize;
    const size_t captured = header.caplen - uint32_t(m_nHeaderSize);
    // Frames whose headers were not captured, and later fragments, are nobody's packets:
    // they are dropped before any stream sees them, and create no stream.
    if (!CTcpStream::IsReadable(ip, captured) || IsLaterFragment(ip))
        return;
    m_pTable->Offer(ip, captured);
    if (m_pCache->TakeFirstEviction())
        m_host.AppendLog(kCacheEvicting, LineKind::Problem);
}

void CCaptureWorker::OnStreamCreated(int number)
{
    m_nCounter = number;
    char line[64];
    std::snprintf(line, sizeof line, "Capture : p%010d\r\n", number);
    m_host.AppendLog(line, LineKind::Progress);
}

void CCaptureWorker::OnWriteFailure(const std::string &path, int error)
{
    m_host.AppendLog("ファイルに書き込めませんでした : " + path + " (" + std::strerror(error) +
                         ")\r\n",
                     LineKind::Problem);
}

void CCaptureWorker::OnCreateFailure(const std::string &path, int error)
{
    // Reported once: a folder that refuses files would otherwise add a line per packet.
    if (m_bCreateFailureReported)
        return;
    m_bCreateFailureReported = true;
    m_host.AppendLog("ファイルを作成できませんでした : " + path + " (" + std::strerror(error) +
                         ")\r\n",
                     LineKind::Problem);
}

void CCaptureWorker::Finish()
{
    if (m_pTable) {
        m_pTable->CloseAll();
        m_outcome.nStreams = m_pTable->GetCount();
        m_pTable.reset();
        m_pCache.reset();
    }
    if (!m_bOffline) {
        pcap_stat stats{};
        if (pcap_stats(m_pcap.get(), &stats) == 0)
            m_outcome.nDropped = int64_t(stats.ps_drop) + stats.ps_ifdrop;
    }
    ReportProgress();
    WriteLog(Format("Captured Packet : %ld\r\n", m_nCounter));
    m_log.Close();
    m_host.OpenFolder(m_strFolder);
}

void CCaptureWorker::Fail(const std::string &logLine, const std::string &detail)
{
    m_host.AppendLog(logLine, LineKind::Problem);
    m_outcome.bFailed = true;
    m_outcome.strError = WithoutLineEnd(logLine);
    if (!detail.empty())
        m_outcome.strError += " (" + detail + ")";
}

void CCaptureWorker::ReportProgress()
{
    CCaptureProgress progress;
    progress.nPackets = m_outcome.nPackets;
    if (m_bOffline && m_pcap) {
        if (FILE *file = pcap_file(m_pcap.get()))
            progress.nFileBytes = std::ftell(file);
    }
    m_host.ReportProgress(progress);
}
