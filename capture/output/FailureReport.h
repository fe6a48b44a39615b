#pragma once
#include "OutputEvents.h"

#include <set>
#include <string>
#include <utility>

// Tells the failures of a capture's files without flooding the log: the first failure of each
// kind and error gets a line of its own, the later ones are only counted and told together at
// the end. A disk that fills up thus gives two lines, not one per file.
class CFailureReport
{
public:
    // The line to show for this file's failure, or empty when it is only counted.
    std::string Add(FileFailure kind, const std::string &path, int error);
    // The closing line for the failures that got no line of their own; empty when none.
    std::string Summary() const;
    // Files that failed.
    int GetCount() const { return m_nFiles; }

private:
    std::set<std::pair<FileFailure, int>> m_told;
    int m_nFiles = 0;
    int m_nUntold = 0;
};
