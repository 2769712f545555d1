#include "Constants.h"
#include "LookAndFeel.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

namespace
{
using viewtest::isClose;

juce::Image drawBackground (juce::LookAndFeel& look, juce::Button& button, juce::Colour background,
                            bool pointedAt, bool heldDown)
{
    juce::Image image (juce::Image::ARGB, button.getWidth(), button.getHeight(), true);
    juce::Graphics g (image);
    look.drawButtonBackground (g, button, background, pointedAt, heldDown);
    return image;
}

struct PillCase
{
    juce::uint32 background, normal, pointedAt, heldDown;
};

// Darkening multiplies each of red, green and blue by 1 / 1.4 and truncates.
const PillCase pillCases[] = {
    { 0xffe4af09, 0xffe4af09, 0xffa27d06, 0xff735904 },
    { 0xff282828, 0xff282828, 0xff1c1c1c, 0xff141414 },
};

TEST (ConnectButtonLook, PillIsDarkenedOnceWhenPointedAtAndTwiceWhenHeldDown)
{
    lookandfeel::ConnectButtonLookAndFeel look;
    juce::TextButton button;
    button.setSize (251, 40);

    for (const auto& c : pillCases)
    {
        SCOPED_TRACE (viewtest::describe (juce::Colour (c.background)).toStdString());
        const juce::Colour background (c.background);
        const juce::Point<int> middle (125, 20);

        EXPECT_EQ (drawBackground (look, button, background, false, false).getPixelAt (middle.x, middle.y),
                   juce::Colour (c.normal));
        EXPECT_EQ (drawBackground (look, button, background, true, false).getPixelAt (middle.x, middle.y),
                   juce::Colour (c.pointedAt));
        // Held down while also pointed at, as the framework reports a press: the press wins.
        EXPECT_EQ (drawBackground (look, button, background, true, true).getPixelAt (middle.x, middle.y),
                   juce::Colour (c.heldDown));
        EXPECT_EQ (drawBackground (look, button, background, false, true).getPixelAt (middle.x, middle.y),
                   juce::Colour (c.heldDown));
    }
}

TEST (ConnectButtonLook, PillHasHalfCircleEnds)
{
    lookandfeel::ConnectButtonLookAndFeel look;
    juce::TextButton button;
    button.setSize (251, 40);
    const auto image = drawBackground (look, button, juce::Colour (0xffe4af09), false, false);

    // Corners lie outside the half circles of radius 20; the straight edges are filled.
    EXPECT_EQ (image.getPixelAt (0, 0).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (250, 39).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (3, 3).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (125, 0).getAlpha(), 255);
    EXPECT_EQ (image.getPixelAt (125, 39).getAlpha(), 255);
    EXPECT_EQ (image.getPixelAt (1, 20).getAlpha(), 255);
    EXPECT_EQ (image.getPixelAt (249, 20).getAlpha(), 255);

    // The same look on a 90 x 28 action button: corner radius 14.
    button.setSize (90, 28);
    const auto small = drawBackground (look, button, constant::ACTION_BUTTON_BACKGROUND_COLOUR, false, false);
    EXPECT_EQ (small.getPixelAt (1, 1).getAlpha(), 0);
    EXPECT_EQ (small.getPixelAt (45, 0).getAlpha(), 255);
    EXPECT_EQ (small.getPixelAt (45, 14), constant::ACTION_BUTTON_BACKGROUND_COLOUR);
}

TEST (UrlButtonLook, UnderlineRunsAlongTheBottomRowShortOfBothSides)
{
    lookandfeel::UrlButtonLookAndFeel look;
    juce::TextButton button;
    button.setSize (375, 40);

    const auto image = drawBackground (look, button, juce::Colours::transparentBlack, false, false);

    for (int x = 0; x < 375; ++x)
    {
        const auto pixel = image.getPixelAt (x, 39);

        if (x >= 38 && x < 38 + 299)
            EXPECT_TRUE (isClose (pixel, constant::SPLITTER_LINE_COLOUR, 2)) << "x " << x << " " << viewtest::describe (pixel);
        else
            EXPECT_EQ (pixel.getAlpha(), 0) << "x " << x;
    }

    EXPECT_EQ (viewtest::countVisiblePixels (image, { 0, 0, 375, 39 }), 0);
}

TEST (UrlButtonLook, PointerAndPressChangeNothing)
{
    lookandfeel::UrlButtonLookAndFeel look;
    juce::TextButton button;
    button.setSize (200, 40);

    const auto plain = drawBackground (look, button, juce::Colours::transparentBlack, false, false);

    for (auto flags : { std::make_pair (true, false), std::make_pair (true, true), std::make_pair (false, true) })
    {
        const auto other = drawBackground (look, button, juce::Colours::transparentBlack, flags.first, flags.second);

        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 200; ++x)
                ASSERT_EQ (other.getPixelAt (x, y), plain.getPixelAt (x, y)) << x << "," << y;
    }
}

TEST (UrlButtonLook, BackgroundColourFillsTheWholeButton)
{
    lookandfeel::UrlButtonLookAndFeel look;
    juce::TextButton button;
    button.setSize (200, 40);

    const auto image = drawBackground (look, button, juce::Colours::red, false, false);

    EXPECT_EQ (image.getPixelAt (0, 0), juce::Colours::red);
    EXPECT_EQ (image.getPixelAt (199, 38), juce::Colours::red);
    EXPECT_EQ (image.getPixelAt (10, 39), juce::Colours::red);
    // The half transparent underline blends into the red.
    EXPECT_NE (image.getPixelAt (100, 39), juce::Colours::red);
}

TEST (UrlButtonLook, NarrowLinkHasNoUnderline)
{
    lookandfeel::UrlButtonLookAndFeel look;
    juce::TextButton button;

    for (int width : { 20, 60, 76 })
    {
        button.setSize (width, 40);
        const auto image = drawBackground (look, button, juce::Colours::transparentBlack, false, false);
        EXPECT_EQ (viewtest::countVisiblePixels (image, image.getBounds()), 0) << "width " << width;
    }

    button.setSize (77, 40);
    const auto image = drawBackground (look, button, juce::Colours::transparentBlack, false, false);
    EXPECT_EQ (viewtest::countVisiblePixels (image, image.getBounds()), 1);
    EXPECT_NE (image.getPixelAt (38, 39).getAlpha(), 0);
}

TEST (ButtonLooks, EveryButtonTextIsRobotoMedium14)
{
    lookandfeel::ConnectButtonLookAndFeel pill;
    lookandfeel::UrlButtonLookAndFeel link;
    juce::TextButton button;

    for (juce::LookAndFeel* look : { static_cast<juce::LookAndFeel*> (&pill), static_cast<juce::LookAndFeel*> (&link) })
    {
        for (int height : { 40, 28, 100 })
        {
            const auto font = look->getTextButtonFont (button, height);
            EXPECT_EQ (font.getTypefaceName(), "Roboto");
            EXPECT_EQ (font.getTypefaceStyle(), "Medium");
            EXPECT_FLOAT_EQ (font.getHeight(), 14.0f);
        }
    }
}

TEST (ButtonLooks, UnsetTextColoursAreOpaqueBlack)
{
    lookandfeel::ConnectButtonLookAndFeel pill;
    juce::TextButton button;
    button.setLookAndFeel (&pill);

    EXPECT_EQ (button.findColour (juce::TextButton::textColourOffId), juce::Colour (0xff000000));
    EXPECT_EQ (button.findColour (juce::TextButton::textColourOnId), juce::Colour (0xff000000));

    button.setLookAndFeel (nullptr);
}
} // namespace
