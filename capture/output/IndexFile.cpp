#include "IndexFile.h"

#include <cerrno>

void CIndexFile::Open(const CFolder &folder, const std::string &name, const std::string &header)
{
    m_nError = m_file.Open(folder, name) ? 0 : errno;
    m_strBuffer.reserve(kWriteBytes);
    Append(header);
    // Written at once: the file then has its first block before a disk can fill up, and the
    // rows that follow have room there.
    Flush();
}

void CIndexFile::Append(const std::string &row)
{
    if (!m_file.IsOpen() || m_strBuffer.size() >= kMaxWaiting)
        return;
    m_strBuffer += row;
    if (m_strBuffer.size() >= kWriteBytes && m_nError == 0)
        Flush();
}

void CIndexFile::Flush()
{
    if (!m_file.IsOpen() || m_strBuffer.empty())
        return;
    if (!m_file.WriteAt(m_qwLength, m_strBuffer.data(), m_strBuffer.size())) {
        m_nError = errno;
        // A part of a row would pass for a row: the file keeps its whole rows only.
        m_file.SetLength(m_qwLength);
        return;
    }
    m_nError = 0;
    m_qwLength += m_strBuffer.size();
    m_strBuffer.clear();
}

void CIndexFile::Close()
{
    Flush();
    m_file.Close();
}
