#pragma once
#include "File.h"
#include "OutputEvents.h"

#include <cstdint>
#include <string>

class CFolder;

// An index of the output folder, appended row by row through a buffer of its own: rows reach
// the file when the buffer fills, on Flush and on Close. Its file tells its first failure to
// events; rows that cannot be written are dropped.
class CIndexFile
{
public:
    static constexpr size_t kBufferBytes = 64 * 1024;

    explicit CIndexFile(IOutputEvents &events) : m_file(nullptr, &events) {}
    ~CIndexFile() { Close(); }
    CIndexFile(const CIndexFile &) = delete;
    CIndexFile &operator=(const CIndexFile &) = delete;

    // Creates name in folder (replacing an older index) and appends header.
    void Open(const CFolder &folder, const std::string &name, const std::string &header);
    void Append(const std::string &row);
    void Flush();
    void Close();

private:
    CFile m_file;
    bool m_bOpen = false;
    std::string m_strBuffer;
    uint64_t m_qwLength = 0;
};
