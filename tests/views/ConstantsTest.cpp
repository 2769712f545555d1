#include "Constants.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

namespace
{
TEST (Constants, ColoursHaveTheirValues)
{
    EXPECT_EQ (constant::NORMAL_TEXT_COLOUR.getARGB(), 0xffc8c8c8u);
    EXPECT_EQ (constant::LABEL_TEXT_COLOUR.getARGB(), 0xff737373u);
    EXPECT_EQ (constant::ACTION_BUTTON_BACKGROUND_COLOUR.getARGB(), 0xff282828u);
    EXPECT_EQ (constant::SPLITTER_LINE_COLOUR.getARGB(), 0x80424242u);
    EXPECT_EQ (constant::TOAST_BACKGROUND_COLOUR.getARGB(), 0xff404040u);
}

struct FontCase
{
    const constant::EmbeddedFont& font;
    const char* style;
    float height;
};

TEST (Constants, FontsAreRobotoInTheirStylesAndHeights)
{
    const FontCase cases[] = {
        { constant::DEFAULT_TEXT_FONT, "Medium", 14.0f },
        { constant::EDIT_TEXT_FONT, "Regular", 16.0f },
        { constant::EDIT_LABEL_FONT, "Bold", 14.0f },
    };

    for (const auto& c : cases)
    {
        const juce::Font& font = c.font;
        SCOPED_TRACE (c.style);

        EXPECT_EQ (font.getTypefaceName(), "Roboto");
        EXPECT_EQ (font.getTypefaceStyle(), c.style);
        EXPECT_FLOAT_EQ (font.getHeight(), c.height);
        EXPECT_FLOAT_EQ (font.getHorizontalScale(), 1.0f);
        EXPECT_FLOAT_EQ (font.getExtraKerningFactor(), 0.0f);
        EXPECT_FALSE (font.isUnderlined());
    }
}

TEST (Constants, FontsComeFromTheirOwnTypefaces)
{
    // At one height the three faces set the same text at three different widths:
    // heavier strokes take more room.
    const juce::String text ("Connect your Tarvo Amp with USB cable.");

    auto widthAt14 = [&text] (const juce::Font& font)
    {
        return font.withHeight (14.0f).getStringWidthFloat (text);
    };

    const auto regular = widthAt14 (constant::EDIT_TEXT_FONT);
    const auto medium = widthAt14 (constant::DEFAULT_TEXT_FONT);
    const auto bold = widthAt14 (constant::EDIT_LABEL_FONT);

    EXPECT_GT (regular, 100.0f);
    EXPECT_LT (regular, medium);
    EXPECT_LT (medium, bold);

    // Each typeface really carries glyphs: an outline of a letter is not empty.
    for (const juce::Font& font : { constant::DEFAULT_TEXT_FONT.get(), constant::EDIT_TEXT_FONT.get(),
                                    constant::EDIT_LABEL_FONT.get() })
    {
        auto typeface = font.getTypefacePtr();
        ASSERT_NE (typeface, nullptr);

        juce::Array<int> glyphs;
        juce::Array<float> offsets;
        typeface->getGlyphPositions ("R", glyphs, offsets);
        ASSERT_EQ (glyphs.size(), 1);

        juce::Path outline;
        EXPECT_TRUE (typeface->getOutlineForGlyph (glyphs[0], outline));
        EXPECT_FALSE (outline.isEmpty());
    }
}

TEST (Constants, EachFontIsMadeOnceAndShared)
{
    const juce::Font* first = &constant::DEFAULT_TEXT_FONT.get();
    EXPECT_EQ (&constant::DEFAULT_TEXT_FONT.get(), first);
    EXPECT_EQ (&static_cast<const juce::Font&> (constant::DEFAULT_TEXT_FONT), first);
    EXPECT_NE (&constant::EDIT_TEXT_FONT.get(), first);
    EXPECT_NE (&constant::EDIT_LABEL_FONT.get(), first);
    EXPECT_NE (&constant::EDIT_LABEL_FONT.get(), &constant::EDIT_TEXT_FONT.get());
}

TEST (Constants, FirstUseFromSeveralThreadsGivesOneFont)
{
    std::array<const juce::Font*, 4> seen {};
    std::array<std::thread, 4> threads;

    for (size_t i = 0; i < threads.size(); ++i)
        threads[i] = std::thread ([&seen, i] { seen[i] = &constant::EDIT_LABEL_FONT.get(); });

    for (auto& t : threads)
        t.join();

    for (auto* font : seen)
        EXPECT_EQ (font, &constant::EDIT_LABEL_FONT.get());

    EXPECT_EQ (constant::EDIT_LABEL_FONT->getTypefaceStyle(), "Bold");
}
} // namespace
