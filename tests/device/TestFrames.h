#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

/** Message builders for tests, written apart from the codecs that they check. */
namespace testframes
{
using Bytes = std::vector<uint8_t>;

inline Bytes concat (std::initializer_list<Bytes> parts)
{
    Bytes out;

    for (const auto& part : parts)
        out.insert (out.end(), part.begin(), part.end());

    return out;
}

/** F0 01 sid checksum op1 op2 payload F7, the checksum being the XOR of the payload
    bytes masked to seven bits. */
inline Bytes frame (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& payload = {})
{
    uint8_t sum = 0;

    for (auto b : payload)
        sum ^= b;

    return concat ({ { 0xF0, 0x01, sid, (uint8_t) (sum & 0x7F), op1, op2 }, payload, { 0xF7 } });
}

/** F0, the reply name, the data bytes, F7. */
inline Bytes firmwareReply (const std::string& name, const Bytes& data = {})
{
    return concat ({ { 0xF0 }, Bytes (name.begin(), name.end()), data, { 0xF7 } });
}
} // namespace testframes
