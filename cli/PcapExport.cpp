#include "PcapExport.h"

#include "Folder.h"
#include "IndexRows.h"
#include "OutputFiles.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct CFrameRow
{
    int number = 0;
    timeval time{};
    uint32_t captured = 0;
    uint32_t original = 0;
    int linkType = 0;
};

struct CFileCloser
{
    void operator()(FILE *f) const { std::fclose(f); }
};
using CFilePtr = std::unique_ptr<FILE, CFileCloser>;

struct CPcapCloser
{
    void operator()(pcap_t *p) const { pcap_close(p); }
};

struct CDumperCloser
{
    void operator()(pcap_dumper_t *d) const { pcap_dump_close(d); }
};

// "0000000001,2026-12-07T03:01:49.123456Z,60,60,1"
bool ParseRow(const char *line, CFrameRow &row)
{
    tm utc{};
    long micro = 0;
    unsigned captured = 0;
    unsigned original = 0;
    if (std::sscanf(line, "%d,%4d-%2d-%2dT%2d:%2d:%2d.%6ldZ,%u,%u,%d", &row.number, &utc.tm_year,
                    &utc.tm_mon, &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &micro,
                    &captured, &original, &row.linkType) != 11)
        return false;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    row.time.tv_sec = timegm(&utc);
    row.time.tv_usec = micro;
    row.captured = captured;
    row.original = original;
    return row.number > 0;
}

bool ReadRows(const CFolder &folder, std::vector<CFrameRow> &rows, std::string &error)
{
    const int fd = folder.OpenForReading(FrameIndexName());
    CFilePtr file(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (!file) {
        error = folder.GetPath() + FrameIndexName() + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    char line[256];
    if (!std::fgets(line, sizeof line, file.get()) ||
        std::strncmp(line, kFrameIndexHeader, std::strlen(kFrameIndexHeader) - 2) != 0) {
        error = folder.GetPath() + FrameIndexName() + ": not a frame index";
        return false;
    }
    CFrameRow row;
    while (std::fgets(line, sizeof line, file.get())) {
        if (ParseRow(line, row))
            rows.push_back(row);
    }
    return true;
}

// The frame's bytes, when its file is a plain file of the listed length.
bool ReadFrame(const CFolder &folder, const CFrameRow &row, std::vector<uint8_t> &bytes,
               CPcapExportResult &result)
{
    const int fd = folder.OpenForReading(PacketFileName(row.number));
    struct stat st
    {
    };
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        ++result.nMissing;
        return false;
    }
    bytes.resize(row.captured);
    const bool whole = uint64_t(st.st_size) == row.captured &&
                       ::read(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    ::close(fd);
    if (!whole)
        ++result.nWrongLength;
    return whole;
}

// The capture file to write, created in its folder as every output file is.
CFilePtr CreateOut(const std::string &out, std::string &error)
{
    const size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : out.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? out : out.substr(slash + 1);
    CFolder folder;
    const int fd = name.empty() || !folder.Open(dir) ? -1 : folder.CreateFile(name);
    FILE *file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        error = out + ": " + std::strerror(name.empty() ? EISDIR : errno);
        if (fd >= 0)
            ::close(fd);
    }
    return CFilePtr(file);
}

} // namespace

CPcapExportResult ExportToPcap(const std::string &folderPath, const std::string &out)
{
    CPcapExportResult result;
    CFolder folder;
    std::vector<CFrameRow> rows;
    if (!folder.Open(folderPath)) {
        result.strError = folderPath + ": " + std::strerror(errno);
        return result;
    }
    if (!ReadRows(folder, rows, result.strError))
        return result;
    const int linkType = rows.empty() ? DLT_EN10MB : rows.front().linkType;
    const std::unique_ptr<pcap_t, CPcapCloser> dead(
        pcap_open_dead_with_tstamp_precision(linkType, 262144, PCAP_TSTAMP_PRECISION_MICRO));
    CFilePtr file = CreateOut(out, result.strError);
    if (!dead || !file)
        return result;
    const std::unique_ptr<pcap_dumper_t, CDumperCloser> dumper(
        pcap_dump_fopen(dead.get(), file.release()));
    if (!dumper) {
        result.strError = out + ": " + pcap_geterr(dead.get());
        return result;
    }
    std::vector<uint8_t> bytes;
    for (const CFrameRow &row : rows) {
        if (row.linkType != linkType) {
            ++result.nOtherLink;
            continue;
        }
        if (!ReadFrame(folder, row, bytes, result))
            continue;
        const pcap_pkthdr header{row.time, row.captured, row.original};
        pcap_dump(reinterpret_cast<u_char *>(dumper.get()), &header, bytes.data());
        ++result.nWritten;
    }
    if (pcap_dump_flush(dumper.get()) != 0)
        result.strError = out + ": " + std::strerror(errno);
    return result;
}
