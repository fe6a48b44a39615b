#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// The bytes [begin, end) of a file.
struct CByteRange
{
    uint64_t begin;
    uint64_t end;
};

// The byte ranges of a file that data was written to, merged as they join or overlap. It holds
// at most kMaxRanges ranges, so its memory stays bounded however a connection's segments come:
// beyond that the two ranges closest to each other are merged over the gap between them. The
// gap then counts as written, so what is counted missing afterwards is a lower bound, and the
// set is no longer exact.
class CRangeSet
{
public:
    static constexpr size_t kMaxRanges = 64;

    // Records that [begin, end) was written.
    void Add(uint64_t begin, uint64_t end);
    // Records that [begin, end) no longer holds what was written there (its write failed).
    void Remove(uint64_t begin, uint64_t end);
    // The bytes of [0, length) that no recorded range covers.
    uint64_t CountMissing(uint64_t length) const;
    // The end of the furthest range recorded; 0 when none is.
    uint64_t End() const { return m_ranges.empty() ? 0 : m_ranges.back().end; }
    // False once ranges had to be merged over a gap.
    bool IsExact() const { return m_bExact; }

private:
    void MergeClosest();

    std::vector<CByteRange> m_ranges; // sorted, neither overlapping nor touching
    bool m_bExact = true;
};
