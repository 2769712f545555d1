#include "BinaryData.h"
#include <cstring>

#include <gtest/gtest.h>

#include <juce_graphics/juce_graphics.h>

namespace
{
juce::Image loadPicture()
{
    return juce::ImageFileFormat::loadFrom (BinaryData::temp_binary_data_3,
                                            size_t (BinaryData::temp_binary_data_3Size));
}

uint32_t be32 (const unsigned char* p)
{
    return uint32_t (p[0]) << 24 | uint32_t (p[1]) << 16 | uint32_t (p[2]) << 8 | uint32_t (p[3]);
}
} // namespace

TEST (EmbeddedPicture, IsAnRgbaPngOfTheRightSize)
{
    const auto* png = BinaryData::temp_binary_data_3;
    ASSERT_GT (BinaryData::temp_binary_data_3Size, 33);

    const unsigned char signature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
    EXPECT_EQ (std::memcmp (png, signature, 8), 0);
    EXPECT_EQ (std::memcmp (png + 12, "IHDR", 4), 0);
    EXPECT_EQ (be32 (png + 16), 754u);
    EXPECT_EQ (be32 (png + 20), 422u);
    EXPECT_EQ (png[24], 8) << "bits per channel";
    EXPECT_EQ (png[25], 6) << "colour type: RGB with alpha";
    EXPECT_EQ (png[28], 0) << "not interlaced";

    const auto image = loadPicture();
    ASSERT_TRUE (image.isValid());
    EXPECT_EQ (image.getWidth(), 754);
    EXPECT_EQ (image.getHeight(), 422);
    EXPECT_TRUE (image.hasAlphaChannel());
}

TEST (EmbeddedPicture, ShowsTheWindowThroughCornersAndUnderTheCabinetOnly)
{
    const auto image = loadPicture();
    ASSERT_TRUE (image.isValid());

    EXPECT_EQ (image.getPixelAt (0, 0).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (753, 0).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (377, 421).getAlpha(), 0) << "between the feet";
    EXPECT_EQ (image.getPixelAt (377, 211).getAlpha(), 255) << "centre of the cabinet";
    EXPECT_EQ (image.getPixelAt (377, 0).getAlpha(), 255) << "top edge between the corners";
    EXPECT_EQ (image.getPixelAt (0, 211).getAlpha(), 255) << "left side";
    EXPECT_EQ (image.getPixelAt (753, 211).getAlpha(), 255) << "right side";

    const juce::Image::BitmapData pixels (image, juce::Image::BitmapData::readOnly);
    int transparent = 0;
    int strayHoles = 0;

    for (int y = 0; y < image.getHeight(); ++y)
    {
        for (int x = 0; x < image.getWidth(); ++x)
        {
            if (pixels.getPixelColour (x, y).getAlpha() != 0)
                continue;

            ++transparent;

            const bool inUpperCorner = y < 40 && (x < 40 || x >= image.getWidth() - 40);
            const bool underCabinet = y >= image.getHeight() - 24;

            if (! inUpperCorner && ! underCabinet)
                ++strayHoles;
        }
    }

    const auto fraction = double (transparent) / double (image.getWidth() * image.getHeight());
    EXPECT_GT (fraction, 0.01);
    EXPECT_LT (fraction, 0.06);
    EXPECT_EQ (strayHoles, 0) << "the cabinet itself must be opaque";
}
