#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

/** Message builders for tests, written apart from the codecs that they check. */
namespace testframes
{
using Bytes = std::vector<uint8_t>;

/** F0 01 sid checksum op1 op2 payload F7, the checksum being the XOR of the payload
    bytes masked to seven bits. */
inline Bytes frame (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& payload = {})
{
    uint8_t sum = 0;

    for (auto b : payload)
        sum ^= b;

    Bytes out (payload.size() + 7);
    const uint8_t header[] = { 0xF0, 0x01, sid, (uint8_t) (sum & 0x7F), op1, op2 };
    std::copy (std::begin (header), std::end (header), out.begin());
    std::copy (payload.begin(), payload.end(), out.begin() + 6);
    out.back() = 0xF7;
    return out;
}

/** F0, the reply name, the data bytes, F7. */
inline Bytes firmwareReply (const std::string& name, const Bytes& data = {})
{
    Bytes out (name.size() + data.size() + 2);
    out.front() = 0xF0;
    std::copy (name.begin(), name.end(), out.begin() + 1);
    std::copy (data.begin(), data.end(), out.begin() + 1 + (std::ptrdiff_t) name.size());
    out.back() = 0xF7;
    return out;
}

inline Bytes concat (std::initializer_list<Bytes> parts)
{
    Bytes out;

    for (const auto& part : parts)
        out.insert (out.end(), part.begin(), part.end());

    return out;
}
} // namespace testframes
