#pragma once
#include "File.h"
#include "FileCache.h"
#include "StreamTable.h"

#include "CaptureHost.h"

#include <cstdint>
#include <memory>
#include <string>

struct pcap;
struct pcap_pkthdr;

// Runs one whole capture on the calling thread: opens the interface (or capture file),
// settles the mode, writes log.txt, reads packets in RAW or Packet Combine mode until the
// host's running flag is cleared or the read ends, then completes log.txt, opens the output
// folder and gives the host back its idle state.
void CaptureThreadProc(ICaptureHost *host);

class CCaptureWorker : private IStreamTableObserver
{
public:
    static constexpr int kSnapLength = 262144;
    static constexpr int kReadTimeoutMs = 5000;
    static constexpr int kBufferSize = 32 * 1024 * 1024;

    explicit CCaptureWorker(ICaptureHost &host);
    ~CCaptureWorker() override;
    CCaptureWorker(const CCaptureWorker &) = delete;
    CCaptureWorker &operator=(const CCaptureWorker &) = delete;

    void Run();

private:
    struct CPcapCloser
    {
        void operator()(pcap *p) const;
    };

    bool Start();
    bool OpenLive();
    bool OpenFile();
    bool SetFilter();
    bool CreateLog();
    bool WriteLog(const std::string &text);
    void CreateStreamTable();
    void ReadLoop();
    void OnRawPacket(const pcap_pkthdr &header, const uint8_t *data);
    void OnCombinePacket(const pcap_pkthdr &header, const uint8_t *data);
    void Finish();
    void Fail(const std::string &logLine, const std::string &detail = {});
    void ReportProgress();

    void OnStreamCreated(int number) override;
    void OnWriteFailure(const std::string &path, int error) override;
    void OnCreateFailure(const std::string &path, int error) override;

    ICaptureHost &m_host;
    std::string m_strFolder;
    std::unique_ptr<pcap, CPcapCloser> m_pcap;
    bool m_bOffline = false;
    uint32_t m_dwNetmask = 0xFFFFFFFF;
    int m_nHeaderSize = -1;
    bool m_bCombine = false;
    CFile m_log;
    uint64_t m_qwLogLength = 0;
    bool m_bLogFailed = false;
    int m_nCounter = 0;
    bool m_bCreateFailureReported = false;
    std::unique_ptr<CFileCache> m_pCache;
    std::unique_ptr<CStreamTable> m_pTable;
    CCaptureOutcome m_outcome;
};
