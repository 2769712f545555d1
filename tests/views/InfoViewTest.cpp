#include "Constants.h"
#include "DeviceInfoEditView.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

namespace
{
using Rect = juce::Rectangle<int>;

TEST (InfoView, LayoutFollowsWidthAndHeight)
{
    // Placed as the window places it, so a layout taken from the view's position shows.
    juce::Component window;
    window.setSize (375, 667);
    ConnectedDeviceInfoView view;
    window.addAndMakeVisible (view);
    view.setBounds (0, 200, 375, 280);

    ASSERT_EQ (view.rows.size(), 3u);
    EXPECT_EQ (view.rows[0]->getBounds(), Rect (0, 20, 375, 70));
    EXPECT_EQ (view.rows[1]->getBounds(), Rect (0, 90, 375, 70));
    EXPECT_EQ (view.rows[2]->getBounds(), Rect (0, 160, 375, 120));

    // Every row has the same inner layout, whatever its height.
    for (auto& row : view.rows)
    {
        EXPECT_EQ (row->titleLabel->getBounds(), Rect (21, 0, 185, 19));
        EXPECT_EQ (row->valueLabel->getBounds(), Rect (21, 24, 185, 25));
        EXPECT_EQ (row->actionButton->getBounds(), Rect (266, 10, 90, 28));
    }

    // The Firmware row takes the rest of the height, but at least 70 pixels; the buttons
    // keep 19 pixels to the right edge.
    struct Case { int width, height, firmwareHeight; };

    for (auto c : { Case { 500, 400, 240 }, Case { 375, 230, 70 }, Case { 120, 200, 70 } })
    {
        SCOPED_TRACE (juce::String (c.width) + " x " + juce::String (c.height));
        view.setBounds (0, 200, c.width, c.height);
        EXPECT_EQ (view.rows[1]->getBounds(), Rect (0, 90, c.width, 70));
        EXPECT_EQ (view.rows[2]->getBounds(), Rect (0, 160, c.width, c.firmwareHeight));

        for (auto& row : view.rows)
            EXPECT_EQ (row->actionButton->getBounds(), Rect (c.width - 109, 10, 90, 28));
    }
}

TEST (InfoView, RowsHaveTheirTextsFontsColoursAndCursors)
{
    struct Row { const char* title; const char* value; const char* buttonText; bool buttonVisible; juce::uint32 buttonTextColour; };
    const Row expected[] = {
        { "Device", "Tarvo 40", "Eject", true, 0xffff431d },
        { "Serial", "123-456789-10111-21", "", false, 0xffffffff },
        { "Firmware", "0.41533.3232", "Check to update", true, 0xffffffff },
    };

    ConnectedDeviceInfoView view;
    ASSERT_EQ (view.rows.size(), std::size (expected));

    for (size_t i = 0; i < view.rows.size(); ++i)
    {
        auto& row = *view.rows[i];
        const auto& e = expected[i];
        SCOPED_TRACE (e.title);
        EXPECT_EQ (row.getParentComponent(), &view);
        EXPECT_TRUE (row.isVisible());

        EXPECT_EQ (row.titleLabel->getText(), e.title);
        EXPECT_TRUE (viewtest::isRoboto (row.titleLabel->getFont(), "Bold", 14.0f));
        EXPECT_EQ (row.titleLabel->findColour (juce::Label::textColourId), constant::LABEL_TEXT_COLOUR);

        EXPECT_EQ (row.valueLabel->getText(), e.value);
        EXPECT_TRUE (viewtest::isRoboto (row.valueLabel->getFont(), "Regular", 16.0f));
        EXPECT_EQ (row.valueLabel->findColour (juce::Label::textColourId), constant::NORMAL_TEXT_COLOUR);

        for (auto* label : { row.titleLabel.get(), row.valueLabel.get() })
        {
            EXPECT_TRUE (label->isVisible());
            EXPECT_EQ (label->getJustificationType(), juce::Justification (juce::Justification::centredLeft));
            EXPECT_FALSE (label->isEditable());
        }

        auto& button = *row.actionButton;
        EXPECT_EQ (button.getButtonText(), e.buttonText);
        EXPECT_EQ (button.isVisible(), e.buttonVisible);
        EXPECT_EQ (button.findColour (juce::TextButton::textColourOffId), juce::Colour (e.buttonTextColour));
        EXPECT_EQ (button.findColour (juce::TextButton::buttonColourId), constant::ACTION_BUTTON_BACKGROUND_COLOUR);
        EXPECT_EQ (&button.getLookAndFeel(), &row.lookAndFeel);
        EXPECT_TRUE (button.getMouseCursor() == juce::MouseCursor::PointingHandCursor);
        EXPECT_TRUE (viewtest::isRoboto (button.getLookAndFeel().getTextButtonFont (button, 28), "Medium", 14.0f));
    }
}

TEST (InfoView, RowsPaintTextButtonAndDividerOnly)
{
    ConnectedDeviceInfoView view;
    view.setSize (375, 280);
    const auto firmware = viewtest::render (*view.rows[ConnectedDeviceInfoView::firmwareRow]);
    ASSERT_EQ (firmware.getHeight(), 120);

    for (int x = 0; x < 375; ++x)
    {
        const auto pixel = firmware.getPixelAt (x, 63);

        if (x >= 21 && x < 21 + 333)
            EXPECT_TRUE (viewtest::isClose (pixel, constant::SPLITTER_LINE_COLOUR, 2)) << "x " << x;
        else
            EXPECT_EQ (pixel.getAlpha(), 0) << "x " << x;
    }

    // Nothing between the content and the divider, nothing below it, nothing at the sides.
    EXPECT_EQ (viewtest::countPixels (firmware, { 0, 50, 375, 13 }), 0);
    EXPECT_EQ (viewtest::countPixels (firmware, { 0, 64, 375, 56 }), 0);
    EXPECT_EQ (viewtest::countPixels (firmware, { 0, 0, 21, 120 }), 0);
    EXPECT_GT (viewtest::countPixels (firmware, { 21, 0, 185, 19 }), 20);
    EXPECT_GT (viewtest::countPixels (firmware, { 21, 24, 185, 25 }), 20);
    EXPECT_EQ (firmware.getPixelAt (266 + 6, 10 + 14), constant::ACTION_BUTTON_BACKGROUND_COLOUR);

    // The Serial row draws no button; the Device row's Eject is drawn in its red.
    const Rect buttonColumn (230, 0, 145, 62);
    const auto serial = viewtest::render (*view.rows[ConnectedDeviceInfoView::serialRow]);
    EXPECT_EQ (viewtest::countPixels (serial, buttonColumn), 0);
    EXPECT_TRUE (viewtest::isClose (serial.getPixelAt (100, 63), constant::SPLITTER_LINE_COLOUR, 2));

    const auto device = viewtest::render (*view.rows[ConnectedDeviceInfoView::deviceRow]);
    EXPECT_GT (viewtest::countPixels (device, buttonColumn), 1000);
    EXPECT_GT (viewtest::countPixels (device, buttonColumn, viewtest::closeTo (juce::Colour (0xffff431d), 4)), 5);
}
} // namespace
