#include "IndexFile.h"

void CIndexFile::Open(const CFolder &folder, const std::string &name, const std::string &header)
{
    m_bOpen = m_file.Open(folder, name);
    if (!m_bOpen)
        return;
    m_strBuffer.reserve(kBufferBytes);
    Append(header);
}

void CIndexFile::Append(const std::string &row)
{
    if (!m_bOpen)
        return;
    m_strBuffer += row;
    if (m_strBuffer.size() >= kBufferBytes)
        Flush();
}

void CIndexFile::Flush()
{
    if (!m_bOpen || m_strBuffer.empty())
        return;
    if (!m_file.WriteAt(m_qwLength, m_strBuffer.data(), m_strBuffer.size())) {
        m_bOpen = false;
        return;
    }
    m_qwLength += m_strBuffer.size();
    m_strBuffer.clear();
}

void CIndexFile::Close()
{
    Flush();
    m_file.Close();
    m_bOpen = false;
}
