#include "BinaryData.h"
#include "ImageSums.h"
#include "SimulatorResources.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace imagesums;

namespace
{
constexpr uint32_t sectorLengths[8] = { 4096, 4096, 16384, 32768, 32768, 32768, 32768, 32768 };

// Sectors 0 to 5 must each sum to the checksum that the record gives them; the record
// gives the last two sectors no checksum.
void expectSectorsConsistent (const unsigned char* image, size_t size, const Record& record)
{
    size_t begin = 0;

    for (int s = 0; s < 6; ++s)
    {
        const size_t end = begin + size_t (record.sectorLen[s]) * 4;
        ASSERT_LE (end, size) << "sector " << s;
        EXPECT_EQ (sumBytes (image, size, begin, end), record.sectorChecksum[s]) << "sector " << s;
        begin = end;
    }
}

void expectSameLayout (const unsigned char* image, const Record& record)
{
    EXPECT_EQ (le32 (image), 0x20009B18u);
    EXPECT_EQ (le32 (image + 4), 0x080B0B15u);

    EXPECT_EQ (record.deviceName[0], 'E');
    EXPECT_EQ (record.deviceName[1], 'V');
    EXPECT_EQ (record.deviceName[2], 'T');
    EXPECT_EQ (record.deviceName[3], 0);

    for (auto b : record.bootloaderVersion)
        EXPECT_EQ (b, 0);

    EXPECT_EQ (record.fwLength, 177214u);

    for (int s = 0; s < 8; ++s)
        EXPECT_EQ (record.sectorLen[s], sectorLengths[s]) << "sector " << s;

    EXPECT_EQ (record.sectorChecksum[6], 0u);
    EXPECT_EQ (record.sectorChecksum[7], 0u);
}
} // namespace

TEST (EmbeddedFirmwareImage, HasTheUpdaterImageSize)
{
    static_assert (BinaryData::temp_binary_data_2Size == 708859, "size must be known at compile time");
    static_assert (sizeof (BinaryData::temp_binary_data_2) == 708859, "array bound must be declared");
    EXPECT_EQ (BinaryData::temp_binary_data_2Size, 708859);
}

TEST (EmbeddedFirmwareImage, StartsWithTheVectorTableAndCarriesItsRecord)
{
    const auto* image = BinaryData::temp_binary_data_2;
    const auto record = readRecord (image);

    expectSameLayout (image, record);

    EXPECT_EQ (record.fwVersion[0], 0x01);
    EXPECT_EQ (record.fwVersion[1], 0x02);
    EXPECT_EQ (record.fwVersion[2], 0x03);
    EXPECT_EQ (record.fwVersion[3], 0x25);
    EXPECT_EQ (record.checksum, 0x618D2F40u);

    const uint32_t sectorChecksums[6] = { 0x46ECE970u, 0xF5C30180u, 0x396ECAC9u,
                                          0xB17AB86Bu, 0x80EE7AE7u, 0x9A8CB21Cu };

    for (int s = 0; s < 6; ++s)
        EXPECT_EQ (record.sectorChecksum[s], sectorChecksums[s]) << "sector " << s;
}

TEST (EmbeddedFirmwareImage, SumsHoldForTheWholeImageAndEachSector)
{
    const auto* image = BinaryData::temp_binary_data_2;
    const size_t size = BinaryData::temp_binary_data_2Size;

    EXPECT_EQ (sumBytes (image, size, 0, size), 0x618D2F40u);
    expectSectorsConsistent (image, size, readRecord (image));
}

TEST (EmbeddedFirmwareImage, SumRuleSeesEveryWordButTheRecordAndTheTail)
{
    std::vector<unsigned char> copy (BinaryData::temp_binary_data_2,
                                     BinaryData::temp_binary_data_2 + BinaryData::temp_binary_data_2Size);
    const auto original = sumBytes (copy.data(), copy.size(), 0, copy.size());

    // Inside the record and in the three trailing bytes: not part of the sum.
    copy[0x400 + 17] ^= 0x5A;
    copy[0x453] ^= 0x01;
    copy[708857] ^= 0xFF;
    EXPECT_EQ (sumBytes (copy.data(), copy.size(), 0, copy.size()), original);

    // Just outside the record on either side, and the last whole word: part of it.
    for (size_t at : { size_t (0x3FF), size_t (0x454), size_t (708855) })
    {
        copy[at] ^= 0x01;
        EXPECT_NE (sumBytes (copy.data(), copy.size(), 0, copy.size()), original) << at;
        copy[at] ^= 0x01;
    }
}

TEST (EmbeddedFirmwareImage, SplitsIntoWriteFlashBlocks)
{
    const size_t size = BinaryData::temp_binary_data_2Size;
    size_t blocks = 0;
    size_t lastOffset = 0;
    size_t lastLength = 0;

    for (size_t offset = 0; offset < size; offset += 256)
    {
        ++blocks;
        lastOffset = offset;
        lastLength = std::min<size_t> (256, size - offset);
    }

    EXPECT_EQ (blocks, 2769u);
    EXPECT_EQ (lastOffset, 708608u);
    EXPECT_EQ (lastLength, 251u);
}

TEST (EmbeddedFirmwareImage, FileInTheBuildTreeIsTheEmbeddedImage)
{
    juce::MemoryBlock file;
    ASSERT_TRUE (juce::File (TARVO_FIRMWARE_IMAGE_FILE).loadFileAsData (file));
    ASSERT_EQ (file.getSize(), size_t (BinaryData::temp_binary_data_2Size));
    EXPECT_EQ (std::memcmp (file.getData(), BinaryData::temp_binary_data_2, file.getSize()), 0);
}

TEST (OlderFirmwareImage, SameLayoutOlderVersionOwnConsistentSums)
{
    static_assert (simresources::olderFirmwareImageSize == 708859, "size must be known at compile time");

    const auto* image = simresources::olderFirmwareImage;
    const size_t size = simresources::olderFirmwareImageSize;
    const auto record = readRecord (image);

    expectSameLayout (image, record);

    EXPECT_EQ (record.fwVersion[0], 1);
    EXPECT_EQ (record.fwVersion[1], 2);
    EXPECT_EQ (record.fwVersion[2], 3);
    EXPECT_EQ (record.fwVersion[3], 30);

    EXPECT_EQ (sumBytes (image, size, 0, size), record.checksum);
    expectSectorsConsistent (image, size, record);

    EXPECT_NE (std::memcmp (image + 0x454, BinaryData::temp_binary_data_2 + 0x454, size - 0x454), 0)
        << "the older image must have content of its own";
}
