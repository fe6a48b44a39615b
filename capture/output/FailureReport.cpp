#include "FailureReport.h"

#include <cstdio>
#include <cstring>

std::string CFailureReport::Add(FileFailure kind, const std::string &path, int error)
{
    ++m_nFiles;
    if (!m_told.emplace(kind, error).second) {
        ++m_nUntold;
        return {};
    }
    const char *what = kind == FileFailure::Create ? "ファイルを作成できませんでした : "
                                                   : "ファイルに書き込めませんでした : ";
    return what + path + " (" + std::strerror(error) + ")\r\n";
}

std::string CFailureReport::Summary() const
{
    if (m_nUntold == 0)
        return {};
    char line[128];
    std::snprintf(line, sizeof line, "ほかに %d 個のファイルに書き込めませんでした。\r\n",
                  m_nUntold);
    return line;
}
