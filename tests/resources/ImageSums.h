#pragma once

#include <cstddef>
#include <cstdint>

// Reading a firmware image the way the amplifier checks it, written apart from the
// generator so that both cannot share a mistake.
namespace imagesums
{
constexpr size_t recordStart = 0x400;
constexpr size_t recordEnd = 0x454;

inline uint32_t le32 (const unsigned char* p)
{
    return uint32_t (p[0]) | uint32_t (p[1]) << 8 | uint32_t (p[2]) << 16 | uint32_t (p[3]) << 24;
}

// Sum mod 2^32 of the whole little-endian words that start in [begin, end) of an image of
// `size` bytes, the description record's bytes left out. A trailing partial word is not a word.
inline uint32_t sumBytes (const unsigned char* image, size_t size, size_t begin, size_t end)
{
    uint32_t sum = 0;

    for (size_t at = begin; at + 4 <= size && at < end; at += 4)
        if (at < recordStart || at >= recordEnd)
            sum += le32 (image + at);

    return sum;
}

struct Record
{
    unsigned char deviceName[4];
    unsigned char bootloaderVersion[4];
    unsigned char fwVersion[4];
    uint32_t fwLength;
    uint32_t checksum;
    uint32_t sectorLen[8];
    uint32_t sectorChecksum[8];
};

inline Record readRecord (const unsigned char* image)
{
    const auto* r = image + recordStart;
    Record record {};

    for (int i = 0; i < 4; ++i)
    {
        record.deviceName[i] = r[i];
        record.bootloaderVersion[i] = r[4 + i];
        record.fwVersion[i] = r[8 + i];
    }

    record.fwLength = le32 (r + 12);
    record.checksum = le32 (r + 16);

    for (int s = 0; s < 8; ++s)
    {
        record.sectorLen[s] = le32 (r + 20 + 8 * s);
        record.sectorChecksum[s] = le32 (r + 24 + 8 * s);
    }

    return record;
}
} // namespace imagesums
