#pragma once
#include "Segment.h"

#include <cstddef>
#include <cstdint>

// What names a connection in the stream table: its two endpoints, smaller first, with the IP
// version and the VLAN tags. Both directions of a connection have the same key.
struct CStreamKey
{
    uint64_t w[5] = {};
    bool operator==(const CStreamKey &) const = default;

    // The key of the connection segment belongs to.
    static CStreamKey Of(const CSegment &segment);
};

// Hashes a key for the table's index.
struct CStreamKeyHash
{
    size_t operator()(const CStreamKey &k) const;
};
