#include "BinaryData.h"

#include <gtest/gtest.h>

#include <juce_graphics/juce_graphics.h>

#include <cstring>

namespace
{
struct EmbeddedFont
{
    const unsigned char* data;
    int size;
    const char* style;
    int weightClass;
};

const EmbeddedFont fonts[] = {
    { BinaryData::temp_binary_data_4, BinaryData::temp_binary_data_4Size, "Bold", 700 },
    { BinaryData::temp_binary_data_5, BinaryData::temp_binary_data_5Size, "Medium", 500 },
    { BinaryData::temp_binary_data_6, BinaryData::temp_binary_data_6Size, "Regular", 400 },
};

unsigned be16 (const unsigned char* p) { return unsigned (p[0]) << 8 | p[1]; }

uint32_t be32 (const unsigned char* p)
{
    return uint32_t (be16 (p)) << 16 | be16 (p + 2);
}

// Finds a table in the font's directory; null when missing or out of bounds.
const unsigned char* findTable (const EmbeddedFont& font, const char* tag, size_t minLength)
{
    const auto size = size_t (font.size);

    if (size < 12)
        return nullptr;

    const auto tables = be16 (font.data + 4);

    for (size_t i = 0; i < tables && 12 + 16 * (i + 1) <= size; ++i)
    {
        const auto* entry = font.data + 12 + 16 * i;
        const auto offset = be32 (entry + 8);
        const auto length = be32 (entry + 12);

        if (std::memcmp (entry, tag, 4) == 0 && length >= minLength && size_t (offset) + minLength <= size)
            return font.data + offset;
    }

    return nullptr;
}

juce::Typeface::Ptr makeTypeface (const EmbeddedFont& font)
{
    return juce::Typeface::createSystemTypefaceFor (font.data, size_t (font.size));
}
} // namespace

TEST (EmbeddedFonts, AreTrueTypeRobotoOfTheirWeights)
{
    for (const auto& font : fonts)
    {
        SCOPED_TRACE (font.style);
        ASSERT_GT (font.size, 12);
        EXPECT_EQ (be32 (font.data), 0x00010000u) << "TrueType outlines";

        const auto* head = findTable (font, "head", 54);
        ASSERT_NE (head, nullptr);
        EXPECT_EQ (be16 (head + 18), 2048u) << "units per em";

        const auto* os2 = findTable (font, "OS/2", 6);
        ASSERT_NE (os2, nullptr);
        EXPECT_EQ (be16 (os2 + 4), unsigned (font.weightClass));
    }
}

TEST (EmbeddedFonts, LoadAsTypefacesOfFamilyRoboto)
{
    for (const auto& font : fonts)
    {
        SCOPED_TRACE (font.style);
        const auto typeface = makeTypeface (font);
        ASSERT_NE (typeface, nullptr);
        EXPECT_EQ (typeface->getName(), "Roboto");
        EXPECT_EQ (typeface->getStyle(), font.style);
    }
}

TEST (EmbeddedFonts, HeavierWeightsSetWiderText)
{
    float widths[3] {};

    for (int i = 0; i < 3; ++i)
    {
        const auto typeface = makeTypeface (fonts[i]);
        ASSERT_NE (typeface, nullptr);
        widths[i] = juce::Font (typeface).withHeight (20.0f).getStringWidthFloat ("Firmware Updater");
        EXPECT_GT (widths[i], 0.0f);
    }

    EXPECT_GT (widths[0], widths[1]) << "Bold wider than Medium";
    EXPECT_GT (widths[1], widths[2]) << "Medium wider than Regular";
}
