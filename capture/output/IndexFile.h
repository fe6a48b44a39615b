#pragma once
#include "File.h"
#include "OutputEvents.h"

#include <cstdint>
#include <string>

class CFolder;

// An index of the output folder, appended row by row through a buffer of its own. Rows reach
// the file once kWriteBytes of them wait, on Flush and on Close. The file holds whole rows
// only: when a write fails, the file is cut back to its last whole row and the rows keep
// waiting, to be tried again at the next Flush, up to kMaxWaiting bytes of them; rows beyond
// that, and the rows of a file that could not be created, are dropped. The file tells its first
// failure to events.
class CIndexFile
{
public:
    static constexpr size_t kWriteBytes = 32 * 1024;
    static constexpr size_t kMaxWaiting = 1024 * 1024;

    explicit CIndexFile(IOutputEvents &events) : m_file(nullptr, &events) {}
    ~CIndexFile() { Close(); }
    CIndexFile(const CIndexFile &) = delete;
    CIndexFile &operator=(const CIndexFile &) = delete;

    // Creates name in folder (replacing an older index) and appends header.
    void Open(const CFolder &folder, const std::string &name, const std::string &header);
    // Appends row, writing what waits once there is enough of it, unless the last write
    // failed: then rows wait for the next Flush.
    void Append(const std::string &row);
    // Writes every row that waits; rows that could not be written (or whose file could not be
    // created) keep waiting.
    void Flush();
    // Flushes and closes the file.
    void Close();
    // Bytes of rows that wait to be written.
    size_t GetWaiting() const { return m_strBuffer.size(); }
    // The error of the last failed write or create; 0 when there was none.
    int GetError() const { return m_nError; }

private:
    CFile m_file;
    std::string m_strBuffer;
    uint64_t m_qwLength = 0; // the whole rows in the file
    int m_nError = 0;
};
