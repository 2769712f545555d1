#include "Constants.h"
#include "DeviceInfoEditView.h"
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

TEST (InfoView, DefaultSizeGivesTheRectanglesOfTheWindow)
{
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
        SCOPED_TRACE (row->titleLabel->getText().toStdString());
        EXPECT_EQ (row->titleLabel->getBounds(), Rect (21, 0, 185, 19));
        EXPECT_EQ (row->valueLabel->getBounds(), Rect (21, 24, 185, 25));
        EXPECT_EQ (row->actionButton->getBounds(), Rect (266, 10, 90, 28));
    }

    auto inWindow = [&window] (juce::Component& c) { return window.getLocalArea (&c, c.getLocalBounds()); };
    auto& device = *view.rows[0];
    EXPECT_EQ (inWindow (device), Rect (0, 220, 375, 70));
    EXPECT_EQ (inWindow (*view.rows[1]), Rect (0, 290, 375, 70));
    EXPECT_EQ (inWindow (*view.rows[2]), Rect (0, 360, 375, 120));
    EXPECT_EQ (inWindow (*device.titleLabel), Rect (21, 220, 185, 19));
    EXPECT_EQ (inWindow (*device.valueLabel), Rect (21, 244, 185, 25));
    EXPECT_EQ (inWindow (*device.actionButton), Rect (266, 230, 90, 28));
}

TEST (InfoView, FirmwareRowTakesTheRestOfTheHeight)
{
    ConnectedDeviceInfoView view;

    view.setSize (500, 400);
    EXPECT_EQ (view.rows[0]->getBounds(), Rect (0, 20, 500, 70));
    EXPECT_EQ (view.rows[1]->getBounds(), Rect (0, 90, 500, 70));
    EXPECT_EQ (view.rows[2]->getBounds(), Rect (0, 160, 500, 240));
    EXPECT_EQ (view.rows[2]->actionButton->getBounds(), Rect (391, 10, 90, 28));

    // At least 70 pixels, even when the view is too short to hold it.
    view.setSize (375, 200);
    EXPECT_EQ (view.rows[2]->getBounds(), Rect (0, 160, 375, 70));

    view.setSize (375, 230);
    EXPECT_EQ (view.rows[2]->getBounds(), Rect (0, 160, 375, 70));
}

TEST (InfoView, RowButtonKeepsNineteenPixelsToTheRightEdge)
{
    for (int width : { 375, 200, 120 })
    {
        DeviceInfoEditView row ("Device");
        row.setSize (width, 70);
        EXPECT_EQ (row.actionButton->getBounds(), Rect (width - 109, 10, 90, 28)) << "width " << width;
        EXPECT_EQ (row.titleLabel->getBounds(), Rect (21, 0, 185, 19));
        EXPECT_EQ (row.valueLabel->getBounds(), Rect (21, 24, 185, 25));
    }
}

struct RowExpectation
{
    const char* title;
    const char* value;
    const char* buttonText;
    bool buttonVisible;
    juce::uint32 buttonTextColour;
};

TEST (InfoView, RowsHaveTheirTextsFontsColoursAndCursors)
{
    ConnectedDeviceInfoView view;

    const RowExpectation expected[] = {
        { "Device", "Tarvo 40", "Eject", true, 0xffff431d },
        { "Serial", "123-456789-10111-21", "", false, 0xffffffff },
        { "Firmware", "0.41533.3232", "Check to update", true, 0xffffffff },
    };

    ASSERT_EQ (view.rows.size(), std::size (expected));
    EXPECT_EQ (ConnectedDeviceInfoView::deviceRow, 0);
    EXPECT_EQ (ConnectedDeviceInfoView::serialRow, 1);
    EXPECT_EQ (ConnectedDeviceInfoView::firmwareRow, 2);

    for (size_t i = 0; i < view.rows.size(); ++i)
    {
        auto& row = *view.rows[i];
        const auto& e = expected[i];
        SCOPED_TRACE (e.title);

        EXPECT_EQ (row.getParentComponent(), &view);
        EXPECT_TRUE (row.isVisible());

        EXPECT_EQ (row.titleLabel->getText(), e.title);
        expectFont (row.titleLabel->getFont(), "Bold", 14.0f);
        EXPECT_EQ (row.titleLabel->findColour (juce::Label::textColourId), constant::LABEL_TEXT_COLOUR);
        EXPECT_TRUE (row.titleLabel->isVisible());

        EXPECT_EQ (row.valueLabel->getText(), e.value);
        expectFont (row.valueLabel->getFont(), "Regular", 16.0f);
        EXPECT_EQ (row.valueLabel->findColour (juce::Label::textColourId), constant::NORMAL_TEXT_COLOUR);
        EXPECT_TRUE (row.valueLabel->isVisible());

        // Labels keep the framework's defaults: left, vertically centred, not editable.
        for (auto* label : { row.titleLabel.get(), row.valueLabel.get() })
        {
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
        expectFont (button.getLookAndFeel().getTextButtonFont (button, 28), "Medium", 14.0f);
    }
}

TEST (InfoView, NewRowStartsWithLightButtonText)
{
    DeviceInfoEditView row ("Anything");
    EXPECT_EQ (row.titleLabel->getText(), "Anything");
    EXPECT_EQ (row.valueLabel->getText(), "");
    EXPECT_EQ (row.actionButton->getButtonText(), "");
    EXPECT_TRUE (row.actionButton->isVisible());
    EXPECT_EQ (row.actionButton->findColour (juce::TextButton::textColourOffId), constant::NORMAL_TEXT_COLOUR);
}

TEST (InfoView, RowPaintsOnlyItsDividerAroundTheContent)
{
    ConnectedDeviceInfoView view;
    view.setSize (375, 280);
    auto& firmware = *view.rows[ConnectedDeviceInfoView::firmwareRow];
    ASSERT_EQ (firmware.getHeight(), 120);

    const auto image = viewtest::render (firmware);

    for (int x = 0; x < 375; ++x)
    {
        const auto pixel = image.getPixelAt (x, 63);

        if (x >= 21 && x < 21 + 333)
            EXPECT_TRUE (viewtest::isClose (pixel, constant::SPLITTER_LINE_COLOUR, 2)) << "x " << x << " " << viewtest::describe (pixel);
        else
            EXPECT_EQ (pixel.getAlpha(), 0) << "x " << x;
    }

    // Nothing between the content and the divider, nothing below it, nothing at the sides.
    EXPECT_EQ (viewtest::countVisiblePixels (image, { 0, 50, 375, 13 }), 0);
    EXPECT_EQ (viewtest::countVisiblePixels (image, { 0, 64, 375, 56 }), 0);
    EXPECT_EQ (viewtest::countVisiblePixels (image, { 0, 0, 21, 120 }), 0);

    // Title and value show text; the button is a pill in the action colour.
    EXPECT_GT (viewtest::countVisiblePixels (image, { 21, 0, 185, 19 }), 20);
    EXPECT_GT (viewtest::countVisiblePixels (image, { 21, 24, 185, 25 }), 20);
    EXPECT_EQ (image.getPixelAt (266 + 6, 10 + 14), constant::ACTION_BUTTON_BACKGROUND_COLOUR);
    EXPECT_EQ (image.getPixelAt (266, 10).getAlpha(), 0);
}

TEST (InfoView, SerialRowShowsNoButton)
{
    ConnectedDeviceInfoView view;
    view.setSize (375, 280);

    const auto serial = viewtest::render (*view.rows[ConnectedDeviceInfoView::serialRow]);
    EXPECT_EQ (viewtest::countVisiblePixels (serial, { 230, 0, 145, 62 }), 0);
    EXPECT_TRUE (viewtest::isClose (serial.getPixelAt (100, 63), constant::SPLITTER_LINE_COLOUR, 2));

    const auto device = viewtest::render (*view.rows[ConnectedDeviceInfoView::deviceRow]);
    EXPECT_GT (viewtest::countVisiblePixels (device, { 230, 0, 145, 62 }), 1000);
}

TEST (InfoView, ActionButtonDarkensWhenPointedAtAndPressed)
{
    DeviceInfoEditView row ("Device");
    row.setSize (375, 70);
    auto& button = *row.actionButton;

    auto fill = [&button] { return viewtest::render (button).getPixelAt (6, 14); };

    EXPECT_EQ (fill(), juce::Colour (0xff282828));
    button.setState (juce::Button::buttonOver);
    EXPECT_EQ (fill(), juce::Colour (0xff1c1c1c));
    button.setState (juce::Button::buttonDown);
    EXPECT_EQ (fill(), juce::Colour (0xff141414));
}

TEST (InfoView, EjectTextIsDrawnInItsRed)
{
    ConnectedDeviceInfoView view;
    view.setSize (375, 280);
    const auto image = viewtest::render (*view.rows[ConnectedDeviceInfoView::deviceRow]->actionButton);

    int red = 0;

    for (int y = 0; y < 28; ++y)
        for (int x = 0; x < 90; ++x)
            if (viewtest::isClose (image.getPixelAt (x, y), juce::Colour (0xffff431d), 4))
                ++red;

    EXPECT_GT (red, 5);
}
} // namespace
