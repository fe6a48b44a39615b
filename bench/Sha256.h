#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4), for the workload generator's list of the stream contents it wrote, in
// the format of sha256sum.
class CSha256
{
public:
    CSha256();
    void Add(const uint8_t *data, size_t n);
    // The digest in lower-case hex; the object is spent afterwards.
    std::string Hex();

private:
    void Block(const uint8_t *p);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_block{};
    size_t m_nFill = 0;
    uint64_t m_qwLength = 0;
};
