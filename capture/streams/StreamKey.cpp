#include "StreamKey.h"

#include <cstring>

namespace {

void PutEndpoint(const CEndpoint &endpoint, uint64_t &a, uint64_t &b)
{
    std::memcpy(&a, endpoint.byAddress, 8);
    std::memcpy(&b, endpoint.byAddress + 8, 8);
}

bool Before(const CEndpoint &a, const CEndpoint &b)
{
    const int order = std::memcmp(a.byAddress, b.byAddress, sizeof a.byAddress);
    return order < 0 || (order == 0 && a.wPort < b.wPort);
}

} // namespace

CStreamKey CStreamKey::Of(const CSegment &segment)
{
    const bool sourceFirst = Before(segment.source, segment.destination);
    const CEndpoint &a = sourceFirst ? segment.source : segment.destination;
    const CEndpoint &b = sourceFirst ? segment.destination : segment.source;
    CStreamKey key;
    PutEndpoint(a, key.w[0], key.w[1]);
    PutEndpoint(b, key.w[2], key.w[3]);
    key.w[4] = uint64_t(a.wPort) << 48 | uint64_t(b.wPort) << 32 |
               uint64_t(segment.byVersion) << 28 | segment.dwVlan;
    return key;
}

size_t CStreamKeyHash::operator()(const CStreamKey &k) const
{
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (uint64_t w : k.w) {
        h ^= w + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
        h *= 0xBF58476D1CE4E5B9ull;
    }
    return size_t(h ^ (h >> 32));
}
