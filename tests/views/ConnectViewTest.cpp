#include "Constants.h"
#include "InitialDeviceInfoView.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

namespace
{
using Rect = juce::Rectangle<int>;

void expectFont (const juce::Font& font, const char* style, float height)
{
    EXPECT_EQ (font.getTypefaceName(), "Roboto");
    EXPECT_EQ (font.getTypefaceStyle(), style);
    EXPECT_FLOAT_EQ (font.getHeight(), height);
}

TEST (ConnectView, DefaultSizeGivesTheRectanglesOfTheWindow)
{
    // The view as the window places it: (0, 200) in a window of 375 x 667.
    juce::Component window;
    window.setSize (375, 667);
    InitialDeviceInfoView view;
    window.addAndMakeVisible (view);
    view.setBounds (0, 200, 375, 280);

    EXPECT_EQ (view.infoLabel->getBounds(), Rect (0, 38, 375, 40));
    EXPECT_EQ (view.connectButton->getBounds(), Rect (62, 78, 251, 40));
    EXPECT_EQ (view.learnMoreButton->getBounds(), Rect (0, 194, 375, 40));
    EXPECT_EQ (view.helpCenterButton->getBounds(), Rect (0, 234, 375, 40));

    auto inWindow = [&window] (juce::Component& c) { return window.getLocalArea (&c, c.getLocalBounds()); };
    EXPECT_EQ (inWindow (*view.infoLabel), Rect (0, 238, 375, 40));
    EXPECT_EQ (inWindow (*view.connectButton), Rect (62, 278, 251, 40));
    EXPECT_EQ (inWindow (*view.learnMoreButton), Rect (0, 394, 375, 40));
    EXPECT_EQ (inWindow (*view.helpCenterButton), Rect (0, 434, 375, 40));
}

TEST (ConnectView, LayoutFollowsWidthAndHeight)
{
    InitialDeviceInfoView view;

    // Wider: everything spans the width, the pill keeps 62 pixels on either side.
    view.setSize (500, 300);
    EXPECT_EQ (view.infoLabel->getBounds(), Rect (0, 38, 500, 40));
    EXPECT_EQ (view.connectButton->getBounds(), Rect (62, 78, 376, 40));
    EXPECT_EQ (view.learnMoreButton->getBounds(), Rect (0, 194, 500, 40));
    EXPECT_EQ (view.helpCenterButton->getBounds(), Rect (0, 234, 500, 40));

    // Narrower than 124 pixels: the pill has no width left.
    for (int width : { 123, 124, 60 })
    {
        view.setSize (width, 280);
        EXPECT_EQ (view.connectButton->getBounds(), Rect (62, 78, 0, 40)) << "width " << width;
        EXPECT_EQ (view.infoLabel->getWidth(), width);
    }

    view.setSize (125, 280);
    EXPECT_EQ (view.connectButton->getBounds(), Rect (62, 78, 1, 40));

    // Up to 468 pixels high the help link keeps its 40 pixels.
    view.setSize (375, 468);
    EXPECT_EQ (view.helpCenterButton->getBounds(), Rect (0, 234, 375, 40));

    // Taller: only the help link grows, to h - 428.
    view.setSize (375, 600);
    EXPECT_EQ (view.infoLabel->getBounds(), Rect (0, 38, 375, 40));
    EXPECT_EQ (view.connectButton->getBounds(), Rect (62, 78, 251, 40));
    EXPECT_EQ (view.learnMoreButton->getBounds(), Rect (0, 194, 375, 40));
    EXPECT_EQ (view.helpCenterButton->getBounds(), Rect (0, 234, 375, 172));

    // Shorter than its content: the links keep their places below the view's bottom.
    view.setSize (375, 100);
    EXPECT_EQ (view.learnMoreButton->getBounds(), Rect (0, 194, 375, 40));
    EXPECT_EQ (view.helpCenterButton->getBounds(), Rect (0, 234, 375, 40));
}

TEST (ConnectView, ChildrenHaveTheirTextsFontsAndColours)
{
    InitialDeviceInfoView view;

    auto& label = *view.infoLabel;
    EXPECT_EQ (label.getText(), "Connect your Tarvo Amp with USB cable.");
    expectFont (label.getFont(), "Medium", 14.0f);
    EXPECT_EQ (label.findColour (juce::Label::textColourId), constant::NORMAL_TEXT_COLOUR);
    EXPECT_EQ (label.getJustificationType(), juce::Justification (juce::Justification::centred));
    EXPECT_TRUE (label.isVisible());
    EXPECT_FALSE (label.isEditable());

    auto& connect = *view.connectButton;
    EXPECT_EQ (connect.getButtonText(), "Connect Hardware");
    EXPECT_EQ (connect.findColour (juce::TextButton::buttonColourId), juce::Colour (0xffe4af09));
    EXPECT_FALSE (connect.isColourSpecified (juce::TextButton::textColourOffId));
    EXPECT_EQ (connect.findColour (juce::TextButton::textColourOffId), juce::Colour (0xff000000));
    EXPECT_EQ (&connect.getLookAndFeel(), &view.connectButtonLookAndFeel);
    EXPECT_TRUE (connect.isVisible());

    const std::pair<juce::TextButton*, const char*> links[] = {
        { view.learnMoreButton.get(), "Learn more about Tarvo speaker" },
        { view.helpCenterButton.get(), "Help Center" },
    };

    for (const auto& [link, text] : links)
    {
        EXPECT_EQ (link->getButtonText(), text);
        EXPECT_EQ (link->findColour (juce::TextButton::textColourOffId), constant::NORMAL_TEXT_COLOUR);
        EXPECT_EQ (link->findColour (juce::TextButton::buttonColourId), juce::Colours::transparentBlack);
        EXPECT_EQ (&link->getLookAndFeel(), &view.urlButtonLookAndFeel);
        EXPECT_TRUE (link->isVisible());
    }

    for (auto* button : { view.connectButton.get(), view.learnMoreButton.get(), view.helpCenterButton.get() })
    {
        SCOPED_TRACE (button->getButtonText().toStdString());
        expectFont (button->getLookAndFeel().getTextButtonFont (*button, button->getHeight()), "Medium", 14.0f);
        EXPECT_TRUE (button->getMouseCursor() == juce::MouseCursor::PointingHandCursor);
        EXPECT_FALSE (button->getToggleState());
    }

    EXPECT_TRUE (label.getMouseCursor() == juce::MouseCursor::NormalCursor);
}

TEST (ConnectView, PillDarkensWithButtonStateButNotWhenDisabled)
{
    InitialDeviceInfoView view;
    view.setSize (375, 280);
    auto& connect = *view.connectButton;

    // A point inside the pill's left end, clear of the centred text.
    auto pillColour = [&connect]
    {
        return viewtest::render (connect).getPixelAt (12, 20);
    };

    EXPECT_EQ (pillColour(), juce::Colour (0xffe4af09));

    connect.setState (juce::Button::buttonOver);
    EXPECT_EQ (pillColour(), juce::Colour (0xffa27d06));

    connect.setState (juce::Button::buttonDown);
    EXPECT_EQ (pillColour(), juce::Colour (0xff735904));

    connect.setState (juce::Button::buttonNormal);
    connect.setEnabled (false);
    EXPECT_EQ (pillColour(), juce::Colour (0xffe4af09));
}

TEST (ConnectView, DisabledPillDrawsItsBlackTextAtHalfAlpha)
{
    InitialDeviceInfoView view;
    view.setSize (375, 280);
    auto& connect = *view.connectButton;
    const Rect textArea (40, 5, 171, 30);

    const auto enabledDarkest = viewtest::darkestPixel (viewtest::render (connect), textArea);
    EXPECT_LE (enabledDarkest.getRed() + enabledDarkest.getGreen() + enabledDarkest.getBlue(), 30)
        << viewtest::describe (enabledDarkest);

    connect.setEnabled (false);
    const auto disabledDarkest = viewtest::darkestPixel (viewtest::render (connect), textArea);

    // Black at alpha 0.5 over the yellow: each channel halved.
    const auto halfBlackOnYellow = juce::Colour (0xffe4af09).interpolatedWith (juce::Colours::black, 0.5f);
    EXPECT_TRUE (viewtest::isClose (disabledDarkest, halfBlackOnYellow, 6))
        << viewtest::describe (disabledDarkest) << " vs " << viewtest::describe (halfBlackOnYellow);

    // Disabling the view, a parent of the button, has the same effect.
    connect.setEnabled (true);
    view.setEnabled (false);
    const auto parentDisabled = viewtest::darkestPixel (viewtest::render (connect), textArea);
    EXPECT_TRUE (viewtest::isClose (parentDisabled, halfBlackOnYellow, 6)) << viewtest::describe (parentDisabled);
}

TEST (ConnectView, LinksShowTextAndUnderlineOnly)
{
    InitialDeviceInfoView view;
    view.setSize (375, 280);
    const auto image = viewtest::render (*view.learnMoreButton);

    // The text, light grey, lies in the middle of the link.
    const Rect middle (38, 5, 299, 30);
    EXPECT_GT (viewtest::countVisiblePixels (image, middle), 100);
    EXPECT_EQ (viewtest::countVisiblePixels (image, { 0, 0, 375, 4 }), 0);
    EXPECT_EQ (viewtest::countVisiblePixels (image, { 0, 0, 20, 39 }), 0);

    int lightPixels = 0;

    for (int y = middle.getY(); y < middle.getBottom(); ++y)
        for (int x = middle.getX(); x < middle.getRight(); ++x)
            if (viewtest::isClose (image.getPixelAt (x, y), constant::NORMAL_TEXT_COLOUR, 3))
                ++lightPixels;

    EXPECT_GT (lightPixels, 10);

    EXPECT_TRUE (viewtest::isClose (image.getPixelAt (38, 39), constant::SPLITTER_LINE_COLOUR, 2));
    EXPECT_TRUE (viewtest::isClose (image.getPixelAt (336, 39), constant::SPLITTER_LINE_COLOUR, 2));
    EXPECT_EQ (image.getPixelAt (37, 39).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (337, 39).getAlpha(), 0);
}
} // namespace
