#include "DeviceInfoEditView.h"

#include "Constants.h"

#include <iterator>

namespace
{
constexpr int rowHeight = 70;
constexpr int rowsTop = 20;

struct RowContent
{
    const char* title;
    const char* value;
    const char* buttonText;
    bool buttonVisible;
    juce::uint32 buttonTextColour;
};

// The Serial and Firmware values are placeholders until a device has been read.
constexpr RowContent rowContents[] = {
    { "Device", "Tarvo 40", "Eject", true, 0xffff431d },
    { "Serial", "123-456789-10111-21", "", false, 0xffffffff },
    { "Firmware", "0.41533.3232", "Check to update", true, 0xffffffff },
};
} // namespace

//==============================================================================
DeviceInfoEditView::DeviceInfoEditView (const juce::String& title)
{
    // Provisional heights only: the first resized() places every child.
    titleLabel = std::make_unique<juce::Label> (juce::String(), juce::String());
    titleLabel->setColour (juce::Label::textColourId, constant::LABEL_TEXT_COLOUR);
    titleLabel->setFont (constant::EDIT_LABEL_FONT);
    titleLabel->setSize (titleLabel->getWidth(), 19);
    addAndMakeVisible (*titleLabel);

    valueLabel = std::make_unique<juce::Label> (juce::String(), juce::String());
    valueLabel->setColour (juce::Label::textColourId, constant::NORMAL_TEXT_COLOUR);
    valueLabel->setFont (constant::EDIT_TEXT_FONT);
    valueLabel->setSize (valueLabel->getWidth(), 21);
    addAndMakeVisible (*valueLabel);

    actionButton = std::make_unique<juce::TextButton> (juce::String());
    actionButton->setLookAndFeel (&lookAndFeel);
    actionButton->setColour (juce::TextButton::buttonColourId, constant::ACTION_BUTTON_BACKGROUND_COLOUR);
    actionButton->setColour (juce::TextButton::textColourOffId, constant::NORMAL_TEXT_COLOUR);
    actionButton->setMouseCursor (juce::MouseCursor::PointingHandCursor);
    actionButton->setSize (actionButton->getWidth(), 28);
    addAndMakeVisible (*actionButton);

    titleLabel->setText (title, juce::dontSendNotification);
}

DeviceInfoEditView::~DeviceInfoEditView()
{
    // The look is a member and goes before the button that uses it.
    if (actionButton != nullptr)
        actionButton->setLookAndFeel (nullptr);
}

void DeviceInfoEditView::paint (juce::Graphics& g)
{
    const juce::Graphics::ScopedSaveState saved (g);

    g.setColour (constant::SPLITTER_LINE_COLOUR);
    g.fillRect (21, valueLabel->getBottom() + 14, getWidth() - 42, 1);
}

void DeviceInfoEditView::resized()
{
    titleLabel->setTopLeftPosition (21, 0);
    titleLabel->setSize (185, 19);

    valueLabel->setTopLeftPosition (21, titleLabel->getBottom() + 5);
    valueLabel->setSize (185, 25);

    // Right edge 19 pixels inside the row, centred on the title and value block.
    actionButton->setSize (90, 28);
    actionButton->setCentrePosition (getWidth() - 19 - 90 / 2,
                                     (titleLabel->getY() + valueLabel->getBottom()) / 2);
}

//==============================================================================
ConnectedDeviceInfoView::ConnectedDeviceInfoView()
{
    for (int index = 0; index < (int) std::size (rowContents); ++index)
    {
        const auto& content = rowContents[index];

        auto row = std::make_unique<DeviceInfoEditView> (content.title);
        row->actionButton->setButtonText (content.buttonText);
        row->valueLabel->setText (content.value, juce::dontSendNotification);
        row->actionButton->setVisible (content.buttonVisible);
        row->actionButton->setColour (juce::TextButton::textColourOffId, juce::Colour (content.buttonTextColour));

        rows.push_back (std::move (row));
        addAndMakeVisible (*rows.back());

        layout.setItemLayout (index, rowHeight, rowHeight, rowHeight);
    }
}

ConnectedDeviceInfoView::~ConnectedDeviceInfoView()
{
    // The rows go from the last to the first.
    while (! rows.empty())
        rows.pop_back();
}

void ConnectedDeviceInfoView::resized()
{
    std::vector<juce::Component*> components;

    for (auto& row : rows)
        components.push_back (row.get());

    // The last row takes whatever height is left below the others.
    layout.layOutComponents (components.data(), (int) components.size(),
                             0, rowsTop, getWidth(), getHeight(), true, true);
}
