#include "Constants.h"
#include "LookAndFeel.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

namespace
{
juce::Image drawBackground (juce::LookAndFeel& look, juce::Button& button, juce::Colour background,
                            bool pointedAt = false, bool heldDown = false)
{
    juce::Image image (juce::Image::ARGB, button.getWidth(), button.getHeight(), true);
    juce::Graphics g (image);
    look.drawButtonBackground (g, button, background, pointedAt, heldDown);
    return image;
}

TEST (ConnectButtonLook, PillIsDarkenedOnceWhenPointedAtAndTwiceWhenHeldDown)
{
    // The connect pill and the rows' action buttons, each at its own size.
    struct Case { juce::uint32 background, pointedAt, heldDown; int width, height; };
    const Case cases[] = { { 0xffe4af09, 0xffa27d06, 0xff735904, 251, 40 },
                           { 0xff282828, 0xff1c1c1c, 0xff141414, 90, 28 } };

    lookandfeel::ConnectButtonLookAndFeel look;
    juce::TextButton button;

    for (const auto& c : cases)
    {
        const juce::Colour background (c.background);
        SCOPED_TRACE (background.toDisplayString (true).toStdString());
        button.setSize (c.width, c.height);
        const int midX = c.width / 2, midY = c.height / 2;

        const auto plain = drawBackground (look, button, background);
        EXPECT_EQ (plain.getPixelAt (midX, midY), background);
        EXPECT_EQ (drawBackground (look, button, background, true, false).getPixelAt (midX, midY), juce::Colour (c.pointedAt));
        // Held down while also pointed at, as the framework reports a press: the press wins.
        EXPECT_EQ (drawBackground (look, button, background, true, true).getPixelAt (midX, midY), juce::Colour (c.heldDown));
        EXPECT_EQ (drawBackground (look, button, background, false, true).getPixelAt (midX, midY), juce::Colour (c.heldDown));

        // Half circle ends: the corners stay clear, the straight edges and the ends' middles are filled.
        for (auto corner : { juce::Point<int> (1, 1), { c.width - 1, c.height - 1 }, { 3, 3 } })
            EXPECT_EQ (plain.getPixelAt (corner.x, corner.y).getAlpha(), 0) << corner.toString();

        for (auto edge : { juce::Point<int> (midX, 0), { midX, c.height - 1 }, { 1, midY }, { c.width - 2, midY } })
            EXPECT_EQ (plain.getPixelAt (edge.x, edge.y).getAlpha(), 255) << edge.toString();
    }
}

TEST (UrlButtonLook, UnderlineRunsAlongTheBottomRowShortOfBothSides)
{
    lookandfeel::UrlButtonLookAndFeel look;
    juce::TextButton button;
    button.setSize (375, 40);
    const auto image = drawBackground (look, button, juce::Colours::transparentBlack);

    for (int x = 0; x < 375; ++x)
    {
        const auto pixel = image.getPixelAt (x, 39);

        if (x >= 38 && x < 38 + 299)
            EXPECT_TRUE (viewtest::isClose (pixel, constant::SPLITTER_LINE_COLOUR, 2)) << "x " << x;
        else
            EXPECT_EQ (pixel.getAlpha(), 0) << "x " << x;
    }

    EXPECT_EQ (viewtest::countPixels (image, { 0, 0, 375, 39 }), 0);

    // Pointer and press change nothing.
    for (auto [pointedAt, heldDown] : { std::make_pair (true, false), { true, true }, { false, true } })
    {
        const auto other = drawBackground (look, button, juce::Colours::transparentBlack, pointedAt, heldDown);
        int differing = 0;

        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 375; ++x)
                differing += other.getPixelAt (x, y) != image.getPixelAt (x, y) ? 1 : 0;

        EXPECT_EQ (differing, 0) << "pointed at " << pointedAt << ", held down " << heldDown;
    }

    // The button's colour fills it all; the half transparent underline blends into it.
    const auto red = drawBackground (look, button, juce::Colours::red);
    EXPECT_EQ (viewtest::countPixels (red, { 0, 0, 375, 39 }, viewtest::closeTo (juce::Colours::red, 0)), 375 * 39);
    EXPECT_EQ (red.getPixelAt (10, 39), juce::Colours::red);
    EXPECT_NE (red.getPixelAt (100, 39), juce::Colours::red);

    // Too narrow for the 38 pixels kept clear on each side: no underline at all.
    for (auto [width, underlined] : { std::make_pair (20, 0), { 76, 0 }, { 77, 1 } })
    {
        button.setSize (width, 40);
        const auto narrow = drawBackground (look, button, juce::Colours::transparentBlack);
        EXPECT_EQ (viewtest::countPixels (narrow, narrow.getBounds()), underlined) << "width " << width;
    }
}
} // namespace
