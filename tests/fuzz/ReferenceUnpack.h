#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzing
{
/** The seven-bit unpacking, written out again independently of the device code: each
    group of up to 8 bytes is a header byte holding the high bits of the up to 7 bytes after
    it; a group of one byte gives nothing. */
inline std::vector<uint8_t> referenceUnpack (const uint8_t* in, size_t len)
{
    std::vector<uint8_t> out;

    for (size_t pos = 0; pos < len; pos += 8)
    {
        const auto group = std::min<size_t> (8, len - pos);

        for (size_t j = 1; j < group; ++j)
            out.push_back ((uint8_t) (in[pos + j] | (((in[pos] >> (j - 1)) & 1) << 7)));
    }

    return out;
}
} // namespace fuzzing
