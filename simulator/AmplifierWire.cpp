#include "AmplifierWire.h"

#include <algorithm>
#include <cstring>

namespace sim::wire
{

Bytes pack (const uint8_t* data, size_t size)
{
    Bytes out;
    out.reserve (size + (size + 6) / 7);

    for (size_t start = 0; start < size; start += 7)
    {
        const auto headerPos = out.size();
        out.push_back (0);

        for (size_t i = 0; i < 7 && start + i < size; ++i)
        {
            const auto b = data[start + i];
            out.push_back (static_cast<uint8_t> (b & 0x7f));

            if ((b & 0x80) != 0)
                out[headerPos] = static_cast<uint8_t> (out[headerPos] | (1u << i));
        }
    }

    return out;
}

Bytes pack (const Bytes& data)
{
    return pack (data.data(), data.size());
}

Bytes unpack (const uint8_t* data, size_t size)
{
    Bytes out;
    out.reserve (size);

    for (size_t start = 0; start + 1 < size; start += 8)
    {
        const auto header = data[start];

        for (size_t i = 0; i < 7 && start + 1 + i < size; ++i)
        {
            auto b = data[start + 1 + i];

            if ((header >> i) & 1)
                b = static_cast<uint8_t> (b | 0x80);

            out.push_back (b);
        }
    }

    return out;
}

uint8_t checksum (const uint8_t* data, size_t size)
{
    uint8_t x = 0;

    for (size_t i = 0; i < size; ++i)
        x = static_cast<uint8_t> (x ^ data[i]);

    return static_cast<uint8_t> (x & 0x7f);
}

Bytes frame (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& body)
{
    const auto payload = pack (body);
    Bytes out (payload.size() + 7);
    const uint8_t header[] = { 0xf0, 0x01, sid, checksum (payload.data(), payload.size()), op1, op2 };
    std::copy (std::begin (header), std::end (header), out.begin());
    std::copy (payload.begin(), payload.end(), out.begin() + 6);
    out.back() = 0xf7;
    return out;
}

bool isValidFrame (const Bytes& m)
{
    if (m.size() < 7 || m.front() != 0xf0 || m.back() != 0xf7)
        return false;

    return m[3] == checksum (m.data() + 6, m.size() - 7);
}

bool hasName (const Bytes& message, const char* name)
{
    const auto len = std::strlen (name);
    return message.size() >= len + 1 && std::memcmp (message.data() + 1, name, len) == 0;
}

Bytes named (const char* name, const Bytes& data)
{
    const auto len = std::strlen (name);
    Bytes out (len + data.size() + 2);
    out.front() = 0xf0;
    std::memcpy (out.data() + 1, name, len);
    std::copy (data.begin(), data.end(), out.begin() + static_cast<long> (len + 1));
    out.back() = 0xf7;
    return out;
}

} // namespace sim::wire
