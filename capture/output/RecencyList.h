#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// An order of small indices, oldest first: an index joins as the newest and leaves from
// anywhere, both in constant time. The pending runs of the write-behind and the held
// descriptors of the descriptor cache keep their order in one.
//
// Used by one thread only.
class CRecencyList
{
public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // Adds index, which is not in the list, as the newest.
    void PushNewest(uint32_t index);
    // Takes index, which is in the list, out of it.
    void Remove(uint32_t index);
    uint32_t Oldest() const { return m_oldest; }
    uint32_t Newest() const { return m_newest; }
    // The index after index in the list; kNone for the newest.
    uint32_t Newer(uint32_t index) const { return m_links[index].newer; }
    size_t Size() const { return m_nSize; }

private:
    struct CLinks
    {
        uint32_t older = kNone;
        uint32_t newer = kNone;
    };

    std::vector<CLinks> m_links; // by index
    uint32_t m_oldest = kNone;
    uint32_t m_newest = kNone;
    size_t m_nSize = 0;
};
