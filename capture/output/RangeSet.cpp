#include "RangeSet.h"

#include <algorithm>

void CRangeSet::Add(uint64_t begin, uint64_t end)
{
    if (begin >= end)
        return;
    // In-order data continues the last range: the common case costs two comparisons.
    if (!m_ranges.empty() && begin >= m_ranges.back().begin && begin <= m_ranges.back().end) {
        m_ranges.back().end = std::max(m_ranges.back().end, end);
        return;
    }
    // The first range that ends at or after begin is the first that joins the new one.
    auto first = std::lower_bound(m_ranges.begin(), m_ranges.end(), begin,
                                  [](const CByteRange &r, uint64_t at) { return r.end < at; });
    auto last = first;
    while (last != m_ranges.end() && last->begin <= end) {
        begin = std::min(begin, last->begin);
        end = std::max(end, last->end);
        ++last;
    }
    first = m_ranges.erase(first, last);
    m_ranges.insert(first, CByteRange{begin, end});
    if (m_ranges.size() > kMaxRanges)
        MergeClosest();
}

void CRangeSet::Remove(uint64_t begin, uint64_t end)
{
    if (begin >= end)
        return;
    std::vector<CByteRange> kept;
    kept.reserve(m_ranges.size() + 1);
    for (const CByteRange &r : m_ranges) {
        if (r.end <= begin || r.begin >= end) {
            kept.push_back(r);
            continue;
        }
        if (r.begin < begin)
            kept.push_back({r.begin, begin});
        if (r.end > end)
            kept.push_back({end, r.end});
    }
    m_ranges.swap(kept);
    if (m_ranges.size() > kMaxRanges)
        MergeClosest();
}

void CRangeSet::MergeClosest()
{
    size_t closest = 0;
    for (size_t i = 1; i + 1 < m_ranges.size(); ++i) {
        if (m_ranges[i + 1].begin - m_ranges[i].end <
            m_ranges[closest + 1].begin - m_ranges[closest].end)
            closest = i;
    }
    m_ranges[closest].end = m_ranges[closest + 1].end;
    m_ranges.erase(m_ranges.begin() + long(closest) + 1);
    m_bExact = false;
}

uint64_t CRangeSet::CountMissing(uint64_t length) const
{
    uint64_t covered = 0;
    for (const CByteRange &r : m_ranges) {
        if (r.begin >= length)
            break;
        covered += std::min(r.end, length) - r.begin;
    }
    return length - covered;
}
