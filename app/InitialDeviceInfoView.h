#pragma once

#include "LookAndFeel.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

/** What the window shows while no amplifier is connected: a line of instruction, the
    "Connect Hardware" pill and two links to web pages. It holds no logic: the owner
    listens to the buttons, and the application states change them. */
class InitialDeviceInfoView : public juce::Component
{
public:
    InitialDeviceInfoView();
    ~InitialDeviceInfoView() override;

    void resized() override;

    std::unique_ptr<juce::Label> infoLabel;
    std::unique_ptr<juce::TextButton> connectButton;
    std::unique_ptr<juce::TextButton> learnMoreButton;
    std::unique_ptr<juce::TextButton> helpCenterButton;
    juce::StretchableLayoutManager layout;
    lookandfeel::ConnectButtonLookAndFeel connectButtonLookAndFeel;
    lookandfeel::UrlButtonLookAndFeel urlButtonLookAndFeel;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InitialDeviceInfoView)
};
