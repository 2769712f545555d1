#include "Constants.h"
#include "InitialDeviceInfoView.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

namespace
{
using Rect = juce::Rectangle<int>;

TEST (ConnectView, LayoutFollowsWidthAndHeight)
{
    struct Case { int width, height; Rect info, connect, learnMore, helpCenter; };
    const Case cases[] = {
        { 375, 280, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
        // Wider: everything spans the width, the pill keeps 62 pixels on either side.
        { 500, 300, { 0, 38, 500, 40 }, { 62, 78, 376, 40 }, { 0, 194, 500, 40 }, { 0, 234, 500, 40 } },
        // Below 124 pixels the pill has no width left.
        { 125, 280, { 0, 38, 125, 40 }, { 62, 78, 1, 40 }, { 0, 194, 125, 40 }, { 0, 234, 125, 40 } },
        { 124, 280, { 0, 38, 124, 40 }, { 62, 78, 0, 40 }, { 0, 194, 124, 40 }, { 0, 234, 124, 40 } },
        // Up to 468 pixels high the help link keeps its 40 pixels; past that only it grows.
        { 375, 468, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
        { 375, 600, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 172 } },
        // Shorter than its content: the links keep their places below the view's bottom.
        { 375, 100, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
    };

    // Placed as the window places it, so a layout taken from the view's position shows.
    juce::Component window;
    window.setSize (375, 667);
    InitialDeviceInfoView view;
    window.addAndMakeVisible (view);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.width) + " x " + juce::String (c.height));
        view.setBounds (0, 200, c.width, c.height);
        EXPECT_EQ (view.infoLabel->getBounds(), c.info);
        EXPECT_EQ (view.connectButton->getBounds(), c.connect);
        EXPECT_EQ (view.learnMoreButton->getBounds(), c.learnMore);
        EXPECT_EQ (view.helpCenterButton->getBounds(), c.helpCenter);
    }
}

TEST (ConnectView, ChildrenHaveTheirTextsFontsColoursAndCursors)
{
    InitialDeviceInfoView view;

    auto& label = *view.infoLabel;
    EXPECT_EQ (label.getText(), "Connect your Tarvo Amp with USB cable.");
    EXPECT_TRUE (viewtest::isRoboto (label.getFont(), "Medium", 14.0f));
    EXPECT_EQ (label.findColour (juce::Label::textColourId), constant::NORMAL_TEXT_COLOUR);
    EXPECT_EQ (label.getJustificationType(), juce::Justification (juce::Justification::centred));
    EXPECT_FALSE (label.isEditable());
    EXPECT_TRUE (label.getMouseCursor() == juce::MouseCursor::NormalCursor);

    auto& connect = *view.connectButton;
    EXPECT_EQ (connect.getButtonText(), "Connect Hardware");
    EXPECT_EQ (connect.findColour (juce::TextButton::buttonColourId), juce::Colour (0xffe4af09));
    EXPECT_EQ (connect.findColour (juce::TextButton::textColourOffId), juce::Colour (0xff000000));
    EXPECT_EQ (&connect.getLookAndFeel(), &view.connectButtonLookAndFeel);

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
    }

    for (auto* button : { view.connectButton.get(), view.learnMoreButton.get(), view.helpCenterButton.get() })
    {
        SCOPED_TRACE (button->getButtonText().toStdString());
        EXPECT_TRUE (button->isVisible());
        EXPECT_TRUE (viewtest::isRoboto (button->getLookAndFeel().getTextButtonFont (*button, button->getHeight()), "Medium", 14.0f));
        EXPECT_TRUE (button->getMouseCursor() == juce::MouseCursor::PointingHandCursor);
    }
}

TEST (ConnectView, PillFollowsTheButtonStateAndDimsItsTextWhenDisabled)
{
    InitialDeviceInfoView view;
    view.setSize (375, 280);
    auto& connect = *view.connectButton;
    const Rect textArea (40, 5, 171, 30);

    // A point inside the pill's left end, clear of the centred text.
    auto pillColour = [&connect] { return viewtest::render (connect).getPixelAt (12, 20); };

    connect.setState (juce::Button::buttonOver);
    EXPECT_EQ (pillColour(), juce::Colour (0xffa27d06));
    connect.setState (juce::Button::buttonDown);
    EXPECT_EQ (pillColour(), juce::Colour (0xff735904));
    connect.setState (juce::Button::buttonNormal);
    EXPECT_EQ (pillColour(), juce::Colour (0xffe4af09));

    const auto enabledDarkest = viewtest::darkestPixel (viewtest::render (connect), textArea);
    EXPECT_TRUE (viewtest::isClose (enabledDarkest, juce::Colours::black, 10));

    // Disabled, by itself or through its parent, the pill keeps its colour and the black
    // text is drawn at alpha 0.5 over it: each channel halved.
    const auto halfBlackOnYellow = juce::Colour (0xffe4af09).interpolatedWith (juce::Colours::black, 0.5f);

    for (auto* disabled : { static_cast<juce::Component*> (&connect), static_cast<juce::Component*> (&view) })
    {
        disabled->setEnabled (false);
        EXPECT_EQ (pillColour(), juce::Colour (0xffe4af09));
        EXPECT_TRUE (viewtest::isClose (viewtest::darkestPixel (viewtest::render (connect), textArea), halfBlackOnYellow, 6));
        disabled->setEnabled (true);
    }
}

TEST (ConnectView, LinksShowLightTextAndTheUnderlineOnly)
{
    InitialDeviceInfoView view;
    view.setSize (375, 280);
    const auto image = viewtest::render (*view.learnMoreButton);

    const Rect middle (38, 5, 299, 30);
    EXPECT_GT (viewtest::countPixels (image, middle), 100);
    EXPECT_GT (viewtest::countPixels (image, middle, viewtest::closeTo (constant::NORMAL_TEXT_COLOUR, 3)), 10);
    EXPECT_EQ (viewtest::countPixels (image, { 0, 0, 375, 4 }), 0);
    EXPECT_EQ (viewtest::countPixels (image, { 0, 0, 20, 39 }), 0);

    EXPECT_TRUE (viewtest::isClose (image.getPixelAt (38, 39), constant::SPLITTER_LINE_COLOUR, 2));
    EXPECT_TRUE (viewtest::isClose (image.getPixelAt (336, 39), constant::SPLITTER_LINE_COLOUR, 2));
    EXPECT_EQ (image.getPixelAt (37, 39).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (337, 39).getAlpha(), 0);
}
} // namespace
