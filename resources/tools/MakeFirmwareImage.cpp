// Host tool: writes a raw firmware image for the amplifier's processor.
//
//   MakeFirmwareImage current <output>   the image that the updater carries (1.2.3.37)
//   MakeFirmwareImage older <output>     the emulated amplifier's older image (1.2.3.30)
//
// The image is made of pseudo-random filler with a vector table at offset 0 and the
// firmware description at 0x400. The description's checksums must hold for the image,
// because the amplifier may compare them: one filler word in each checked sector and one
// word past the last checked sector are adjusted until every sum comes out right. The
// output depends on nothing but the profile, so every build makes the same bytes.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace
{
constexpr size_t imageSize = 708859;
constexpr size_t wordCount = imageSize / 4;
constexpr size_t recordOffset = 0x400;
constexpr size_t recordSize = 84;
constexpr size_t recordFirstWord = recordOffset / 4;
constexpr size_t recordEndWord = (recordOffset + recordSize) / 4;
constexpr size_t sectorCount = 8;
constexpr size_t checkedSectors = 6; // the sectors that the image fills completely

constexpr std::array<uint32_t, sectorCount> sectorWords { 4096, 4096, 16384, 32768,
                                                          32768, 32768, 32768, 32768 };

struct Profile
{
    const char* name;
    uint64_t seed;
    std::array<uint8_t, 4> version;
    // Wanted sums; empty means "whatever the filler gives" (nothing is adjusted).
    std::optional<uint32_t> checksum;
    std::optional<std::array<uint32_t, checkedSectors>> sectorChecksums;
};

const Profile profiles[] = {
    { "current", 0x7461727630303337ull, { 1, 2, 3, 37 }, 0x618D2F40u,
      std::array<uint32_t, checkedSectors> { 0x46ECE970u, 0xF5C30180u, 0x396ECAC9u,
                                             0xB17AB86Bu, 0x80EE7AE7u, 0x9A8CB21Cu } },
    { "older", 0x7461727630303330ull, { 1, 2, 3, 30 }, std::nullopt, std::nullopt },
};

// splitmix64: tiny, and the same on every compiler, unlike std's distributions.
struct Filler
{
    uint64_t state;

    uint8_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint8_t> ((z ^ (z >> 31)) >> 24);
    }
};

uint32_t readWord (const std::vector<uint8_t>& image, size_t word)
{
    const auto* p = image.data() + word * 4;
    return uint32_t (p[0]) | (uint32_t (p[1]) << 8) | (uint32_t (p[2]) << 16) | (uint32_t (p[3]) << 24);
}

void writeWord (std::vector<uint8_t>& image, size_t byteOffset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        image[byteOffset + i] = static_cast<uint8_t> (value >> (8 * i));
}

// The sum that the description's checksums stand for: whole little-endian words,
// the description's own words left out.
uint32_t sumWords (const std::vector<uint8_t>& image, size_t firstWord, size_t endWord)
{
    uint32_t sum = 0;

    for (size_t w = firstWord; w < endWord && w < wordCount; ++w)
        if (w < recordFirstWord || w >= recordEndWord)
            sum += readWord (image, w);

    return sum;
}

// Adds whatever is missing to one word so that the range sums to the wanted value.
void settleSum (std::vector<uint8_t>& image, size_t firstWord, size_t endWord,
                size_t adjustWord, uint32_t wanted)
{
    const auto missing = wanted - sumWords (image, firstWord, endWord);
    writeWord (image, adjustWord * 4, readWord (image, adjustWord) + missing);
}

std::vector<uint8_t> makeImage (const Profile& profile)
{
    std::vector<uint8_t> image (imageSize);
    Filler filler { profile.seed };

    for (auto& b : image)
        b = filler.next();

    // Cortex-M vector table: initial stack pointer, then the reset handler (Thumb bit set).
    writeWord (image, 0, 0x20009B18u);
    writeWord (image, 4, 0x080B0B15u);

    // Sectors first: the whole-image sum must see their adjusted words. The last word of
    // each sector is free to adjust, being neither the vector table nor the description.
    std::array<uint32_t, checkedSectors> sectorSums {};
    size_t sectorStart = 0;

    for (size_t s = 0; s < checkedSectors; ++s)
    {
        const auto sectorEnd = sectorStart + sectorWords[s];

        if (profile.sectorChecksums)
            settleSum (image, sectorStart, sectorEnd, sectorEnd - 1, (*profile.sectorChecksums)[s]);

        sectorSums[s] = sumWords (image, sectorStart, sectorEnd);
        sectorStart = sectorEnd;
    }

    // The last whole word lies past every checked sector, so it moves no sector's sum.
    if (profile.checksum)
        settleSum (image, 0, wordCount, wordCount - 1, *profile.checksum);

    const auto checksum = sumWords (image, 0, wordCount);

    std::array<uint8_t, recordSize> record {};
    std::memcpy (record.data(), "EVT", 4);
    // bootloader version stays 0.0.0.0
    std::memcpy (record.data() + 8, profile.version.data(), 4);

    auto putWord = [&record] (size_t offset, uint32_t value)
    {
        for (size_t i = 0; i < 4; ++i)
            record[offset + i] = static_cast<uint8_t> (value >> (8 * i));
    };

    putWord (12, static_cast<uint32_t> (wordCount));
    putWord (16, checksum);

    for (size_t s = 0; s < sectorCount; ++s)
    {
        putWord (20 + 8 * s, sectorWords[s]);
        putWord (24 + 8 * s, s < checkedSectors ? sectorSums[s] : 0);
    }

    std::memcpy (image.data() + recordOffset, record.data(), recordSize);
    return image;
}
} // namespace

int main (int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf (stderr, "usage: %s current|older <output>\n", argv[0]);
        return 2;
    }

    for (const auto& profile : profiles)
    {
        if (std::strcmp (profile.name, argv[1]) != 0)
            continue;

        const auto image = makeImage (profile);
        std::ofstream out (argv[2], std::ios::binary | std::ios::trunc);
        out.write (reinterpret_cast<const char*> (image.data()), static_cast<std::streamsize> (image.size()));

        if (! out.flush())
        {
            std::fprintf (stderr, "%s: cannot write %s\n", argv[0], argv[2]);
            return 1;
        }

        return 0;
    }

    std::fprintf (stderr, "%s: unknown image '%s'\n", argv[0], argv[1]);
    return 2;
}
