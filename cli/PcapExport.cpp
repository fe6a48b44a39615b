#include "PcapExport.h"

#include "CaptureSource.h"
#include "Folder.h"
#include "IndexRows.h"
#include "OutputFiles.h"
#include "Privileges.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Records gather in memory and go out in writes of about this size.
constexpr size_t kWriteBytes = 64 * 1024;
// A line is kept up to this length: longer than any row, so that a longer line still fails.
constexpr size_t kLongestLine = 128;
// A pcap record holds its seconds since 1970 in 32 bits without a sign.
constexpr int64_t kLastSecond = 0xFFFFFFFF;

struct CFileCloser
{
    void operator()(FILE *f) const { std::fclose(f); }
};
using CFilePtr = std::unique_ptr<FILE, CFileCloser>;

// Why a row of frames.csv is not written; the order of the counts and texts below.
enum class RowFault { None, NotARow, LongerThanSent, TooLong, OutOfTime };

// What the first pass over frames.csv finds: the link type of the file (the first written
// row's), the largest captured_length among the rows to write, and how many rows there are.
struct CPlan
{
    int nLinkType = -1;
    uint32_t dwSnapLength = 0;
    long nRows = 0;
};

// The capture file being written: a file created in its folder as every output file is, or
// standard output. Every write is checked.
class CPcapOut
{
public:
    CPcapOut() = default;
    ~CPcapOut() { Close(); }
    CPcapOut(const CPcapOut &) = delete;
    CPcapOut &operator=(const CPcapOut &) = delete;

    // Creates path, or takes standard output for "-". False with error saying why.
    bool Open(const std::string &path, std::string &error)
    {
        m_strPath = path;
        if (path == "-") {
            m_strPath = "standard output";
            m_fd = STDOUT_FILENO;
            return true;
        }
        const size_t slash = path.rfind('/');
        m_strName = slash == std::string::npos ? path : path.substr(slash + 1);
        errno = EISDIR;
        if (!m_strName.empty() &&
            m_folder.Open(slash == std::string::npos ? "." : path.substr(0, slash + 1)))
            m_fd = m_folder.CreateFile(m_strName);
        if (m_fd < 0)
            error = Failure();
        return m_fd >= 0;
    }
    // Writes data whole and empties it; false with errno set.
    bool Write(std::string &data)
    {
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = ENOSPC;
                return false;
            }
            done += size_t(n);
        }
        data.clear();
        return true;
    }
    // Makes what was written durable and closes the file: some file systems tell a full disk
    // only here. Standard output that cannot be synced (a pipe, a terminal) needs no sync.
    bool Finish()
    {
        if (::fsync(m_fd) != 0 && !(m_strName.empty() && (errno == EINVAL || errno == EROFS)))
            return false;
        return m_strName.empty() || ::close(std::exchange(m_fd, -1)) == 0;
    }
    // Removes the file created; standard output is left as it is.
    void Remove()
    {
        Close();
        if (!m_strName.empty())
            m_folder.RemoveFile(m_strName);
    }
    // "path: the system's text for errno"
    std::string Failure() const { return m_strPath + ": " + std::strerror(errno); }

private:
    void Close()
    {
        if (m_fd >= 0 && !m_strName.empty())
            ::close(std::exchange(m_fd, -1));
    }

    CFolder m_folder;
    std::string m_strPath; // for messages
    std::string m_strName; // the file's name in its folder; empty for standard output
    int m_fd = -1;
};

// The next line of file, its '\n' included, into line. A line longer than any row is kept only
// in part, enough to fail as a row: a line of any length is one row, in bounded memory. False
// at the end of the file or on a read error (ferror tells which).
bool NextLine(FILE *file, std::string &line)
{
    line.clear();
    for (int c; (c = getc_unlocked(file)) != EOF;) {
        if (line.size() < kLongestLine)
            line += char(c);
        if (c == '\n')
            return true;
    }
    return !line.empty() && !std::ferror(file);
}

// frames.csv of folder, opened without following a link and read past its header row.
CFilePtr OpenIndex(const CFolder &folder, std::string &error)
{
    const std::string path = folder.GetPath() + FrameIndexName();
    const int fd = folder.OpenForReading(FrameIndexName());
    CFilePtr file(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    std::string line;
    if (!NextLine(file.get(), line) || line != kFrameIndexHeader) {
        error =
            path + ": " + (std::ferror(file.get()) ? std::strerror(errno) : "not a frame index");
        return nullptr;
    }
    return file;
}

RowFault Check(const std::string &line, CFrameIndexRow &row)
{
    if (!ParseFrameRow(line, row))
        return RowFault::NotARow;
    if (row.dwCaptured > row.dwOriginal)
        return RowFault::LongerThanSent;
    if (row.dwCaptured > uint32_t(CCaptureSource::kSnapLength))
        return RowFault::TooLong;
    if (row.llTime < 0 || row.llTime / 1000000 > kLastSecond)
        return RowFault::OutOfTime;
    return RowFault::None;
}

bool Plan(FILE *index, CPlan &plan)
{
    std::string line;
    CFrameIndexRow row;
    for (; NextLine(index, line); ++plan.nRows) {
        if (Check(line, row) != RowFault::None)
            continue;
        if (plan.nLinkType < 0)
            plan.nLinkType = row.nLinkType;
        if (row.nLinkType == plan.nLinkType)
            plan.dwSnapLength = std::max(plan.dwSnapLength, row.dwCaptured);
    }
    if (plan.nLinkType < 0)
        plan.nLinkType = DLT_EN10MB;
    return !std::ferror(index);
}

// The 24-byte file header of the plan's pcap file, with microsecond time stamps, as libpcap
// writes it: frames.csv gives libpcap's number of the link type, which a file may write as
// another. Empty when libpcap writes no file of that link type.
std::string FileHeader(const CPlan &plan)
{
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(plan.nLinkType, int(plan.dwSnapLength),
                                                        PCAP_TSTAMP_PRECISION_MICRO);
    char *bytes = nullptr;
    size_t size = 0;
    FILE *memory = dead ? open_memstream(&bytes, &size) : nullptr;
    pcap_dumper_t *dumper = memory ? pcap_dump_fopen(dead, memory) : nullptr;
    if (dumper)
        pcap_dump_close(dumper); // closes memory, leaving bytes and size set
    else if (memory)
        std::fclose(memory);
    std::string header = dumper && bytes ? std::string(bytes, size) : std::string();
    std::free(bytes);
    if (dead)
        pcap_close(dead);
    return header;
}

void Count(RowFault fault, long line, CPcapExportResult &result)
{
    long *const counts[] = {nullptr, &result.nNotRows, &result.nLongerThanSent, &result.nTooLong,
                            &result.nOutOfTime};
    const std::string texts[] = {"", "not a frame row", "captured_length exceeds original_length",
                                 "captured_length exceeds " +
                                     std::to_string(CCaptureSource::kSnapLength),
                                 "a time that a pcap file cannot hold"};
    ++*counts[int(fault)];
    if (result.strProblem.empty())
        result.strProblem =
            FrameIndexName() + " line " + std::to_string(line) + ": " + texts[int(fault)];
}

// Appends the frame's record to records, its 16-byte header and then the bytes of its file,
// when that is a plain file of the listed length. Nothing is allocated before the length is
// checked.
bool AppendRecord(const CFolder &folder, const CFrameIndexRow &row, std::string &records,
                  CPcapExportResult &result)
{
    const int fd = folder.OpenForReading(PacketFileName(row.nNumber));
    struct stat st
    {
    };
    long *fault = nullptr;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fault = &result.nMissing;
    } else if (uint64_t(st.st_size) != row.dwCaptured) {
        fault = &result.nWrongLength;
    } else {
        const uint32_t header[4] = {uint32_t(row.llTime / 1000000), uint32_t(row.llTime % 1000000),
                                    row.dwCaptured, row.dwOriginal};
        const size_t at = records.size();
        records.append(reinterpret_cast<const char *>(header), sizeof header);
        records.resize(at + sizeof header + row.dwCaptured);
        const ssize_t n = ::read(fd, records.data() + at + sizeof header, row.dwCaptured);
        if (n != ssize_t(row.dwCaptured)) {
            records.resize(at);
            fault = n < 0 ? &result.nMissing : &result.nWrongLength;
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (fault)
        ++*fault;
    return !fault;
}

// The second pass: the plan's rows, each written or counted. False with result.strError.
bool WriteRecords(const CFolder &folder, FILE *index, const CPlan &plan, std::string records,
                  CPcapOut &out, CPcapExportResult &result)
{
    std::string line;
    CFrameIndexRow row;
    for (long n = 0; n < plan.nRows && NextLine(index, line); ++n) {
        const RowFault fault = Check(line, row);
        if (fault != RowFault::None) {
            Count(fault, n + 2, result); // line 1 is the header
        } else if (row.nLinkType != plan.nLinkType) {
            ++result.nOtherLink;
        } else if (row.dwCaptured > plan.dwSnapLength) {
            result.strError = folder.GetPath() + FrameIndexName() + ": changed while it was read";
            return false;
        } else if (AppendRecord(folder, row, records, result)) {
            ++result.nWritten;
        }
        if (records.size() >= kWriteBytes && !out.Write(records)) {
            result.strError = out.Failure();
            return false;
        }
    }
    if (std::ferror(index)) {
        result.strError = folder.GetPath() + FrameIndexName() + ": " + std::strerror(errno);
        return false;
    }
    if (!out.Write(records) || !out.Finish()) {
        result.strError = out.Failure();
        return false;
    }
    return true;
}

} // namespace

CPcapExportResult ExportToPcap(const std::string &folderPath, const std::string &out,
                               const CUser *user)
{
    CPcapExportResult result;
    CFolder folder;
    if (!folder.Open(folderPath)) {
        result.strError = folderPath + ": " + std::strerror(errno);
        return result;
    }
    // From here on, a file the user may not read is not read: a hard link planted in the
    // folder gives nothing away.
    if (user && !Privileges::GiveUp(user, result.strError))
        return result;
    const CFilePtr index = OpenIndex(folder, result.strError);
    if (!index)
        return result;
    const long rows = std::ftell(index.get());
    CPlan plan;
    if (!Plan(index.get(), plan) || std::fseek(index.get(), rows, SEEK_SET) != 0) {
        result.strError = folder.GetPath() + FrameIndexName() + ": " + std::strerror(errno);
        return result;
    }
    std::string header = FileHeader(plan);
    if (header.empty()) {
        result.strError = folder.GetPath() + FrameIndexName() + ": link type " +
                          std::to_string(plan.nLinkType) + " cannot be written into a pcap file";
        return result;
    }
    CPcapOut pcap;
    if (!pcap.Open(out, result.strError))
        return result;
    if (!WriteRecords(folder, index.get(), plan, std::move(header), pcap, result))
        pcap.Remove();
    return result;
}
