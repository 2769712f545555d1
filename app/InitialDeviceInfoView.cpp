#include "InitialDeviceInfoView.h"

#include "Constants.h"

namespace
{
const juce::Colour connectButtonColour { 0xffe4af09 };
constexpr int rowHeight = 40;

std::unique_ptr<juce::TextButton> makeLinkButton (const juce::String& text, int width,
                                                  juce::LookAndFeel& look)
{
    auto button = std::make_unique<juce::TextButton> (juce::String());
    button->setButtonText (text);
    button->setColour (juce::TextButton::textColourOffId, constant::NORMAL_TEXT_COLOUR);
    button->setColour (juce::TextButton::buttonColourId, juce::Colours::transparentBlack);
    button->setSize (width, rowHeight);
    button->setLookAndFeel (&look);
    button->setMouseCursor (juce::MouseCursor::PointingHandCursor);
    return button;
}
} // namespace

InitialDeviceInfoView::InitialDeviceInfoView()
{
    infoLabel = std::make_unique<juce::Label> (juce::String(), juce::String());
    infoLabel->setFont (constant::DEFAULT_TEXT_FONT);
    infoLabel->setText ("Connect your Tarvo Amp with USB cable.", juce::dontSendNotification);
    infoLabel->setJustificationType (juce::Justification::centred);
    infoLabel->setColour (juce::Label::textColourId, constant::NORMAL_TEXT_COLOUR);
    infoLabel->setSize (getWidth(), rowHeight);
    addAndMakeVisible (*infoLabel);

    // The pill's text colour is left to the look's default: black on the yellow.
    connectButton = std::make_unique<juce::TextButton> (juce::String());
    connectButton->setButtonText ("Connect Hardware");
    connectButton->setColour (juce::TextButton::buttonColourId, connectButtonColour);
    connectButton->setSize (getWidth(), rowHeight);
    connectButton->setMouseCursor (juce::MouseCursor::PointingHandCursor);
    connectButton->setLookAndFeel (&connectButtonLookAndFeel);
    addAndMakeVisible (*connectButton);

    learnMoreButton = makeLinkButton ("Learn more about Tarvo speaker", getWidth(), urlButtonLookAndFeel);
    addAndMakeVisible (*learnMoreButton);

    helpCenterButton = makeLinkButton ("Help Center", getWidth(), urlButtonLookAndFeel);
    addAndMakeVisible (*helpCenterButton);
}

InitialDeviceInfoView::~InitialDeviceInfoView()
{
    // The looks are members and go before the buttons that use them.
    for (auto* button : { connectButton.get(), learnMoreButton.get(), helpCenterButton.get() })
        if (button != nullptr)
            button->setLookAndFeel (nullptr);
}

void InitialDeviceInfoView::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();

    infoLabel->setSize (w, infoLabel->getHeight());
    connectButton->setSize (w, connectButton->getHeight());
    connectButton->setTopLeftPosition (62, connectButton->getY());
    connectButton->setSize (w - 124, h);

    layout.setItemLayout (0, rowHeight, rowHeight, rowHeight);
    layout.setItemLayout (1, rowHeight, rowHeight, rowHeight);

    // Only y and height come from the layout: each call places one pair of children
    // and leaves their x and width as set above.
    juce::Component* upper[] = { infoLabel.get(), connectButton.get() };
    layout.layOutComponents (upper, 2, 0, 38, w, 80, true, false);

    learnMoreButton->setSize (w, helpCenterButton->getHeight());
    helpCenterButton->setSize (w, helpCenterButton->getHeight());

    const auto linksTop = connectButton->getBottom() + 76;
    juce::Component* lower[] = { learnMoreButton.get(), helpCenterButton.get() };
    layout.layOutComponents (lower, 2, 0, linksTop, w, h - linksTop, true, false);
}
