#include "Constants.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

namespace
{
// The view tests compare against these names, so their values are pinned here.
TEST (Constants, ColoursHaveTheirValues)
{
    EXPECT_EQ (constant::NORMAL_TEXT_COLOUR.getARGB(), 0xffc8c8c8u);
    EXPECT_EQ (constant::LABEL_TEXT_COLOUR.getARGB(), 0xff737373u);
    EXPECT_EQ (constant::ACTION_BUTTON_BACKGROUND_COLOUR.getARGB(), 0xff282828u);
    EXPECT_EQ (constant::SPLITTER_LINE_COLOUR.getARGB(), 0x80424242u);
    EXPECT_EQ (constant::TOAST_BACKGROUND_COLOUR.getARGB(), 0xff404040u);
}

TEST (Constants, FontsComeFromTheirOwnTypefaces)
{
    // A face that fell back to a system font would still report its style name, but at one
    // height the three embedded faces set the same text at three different widths.
    const juce::String text ("Connect your Tarvo Amp with USB cable.");
    auto widthAt14 = [&text] (const juce::Font& font) { return font.withHeight (14.0f).getStringWidthFloat (text); };

    EXPECT_GT (widthAt14 (constant::EDIT_TEXT_FONT), 100.0f);
    EXPECT_LT (widthAt14 (constant::EDIT_TEXT_FONT), widthAt14 (constant::DEFAULT_TEXT_FONT));
    EXPECT_LT (widthAt14 (constant::DEFAULT_TEXT_FONT), widthAt14 (constant::EDIT_LABEL_FONT));

}

TEST (Constants, FirstUseFromSeveralThreadsGivesOneSharedFont)
{
    std::array<const juce::Font*, 4> seen {};
    std::array<std::thread, 4> threads;

    for (size_t i = 0; i < threads.size(); ++i)
        threads[i] = std::thread ([&seen, i] { seen[i] = &constant::EDIT_LABEL_FONT.get(); });

    for (auto& t : threads)
        t.join();

    for (auto* font : seen)
        EXPECT_EQ (font, &static_cast<const juce::Font&> (constant::EDIT_LABEL_FONT));

    EXPECT_EQ (constant::EDIT_LABEL_FONT->getTypefaceStyle(), "Bold");
}
} // namespace
