#pragma once

#include "LookAndFeel.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>
#include <vector>

/** One row of the info view: a title, a value under it, an optional action button on the
    right and a divider below. */
class DeviceInfoEditView : public juce::Component
{
public:
    explicit DeviceInfoEditView (const juce::String& title);
    ~DeviceInfoEditView() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    std::unique_ptr<juce::Label> titleLabel;
    std::unique_ptr<juce::Label> valueLabel;
    std::unique_ptr<juce::TextButton> actionButton;
    lookandfeel::ConnectButtonLookAndFeel lookAndFeel;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DeviceInfoEditView)
};

/** What the window shows while an amplifier is connected: the rows Device, Serial and
    Firmware, in this order in `rows`. It holds no logic: the owner listens to the Device
    and Firmware buttons, and the application states fill in the values. */
class ConnectedDeviceInfoView : public juce::Component
{
public:
    enum RowIndex
    {
        deviceRow = 0,
        serialRow = 1,
        firmwareRow = 2
    };

    ConnectedDeviceInfoView();
    ~ConnectedDeviceInfoView() override;

    void resized() override;

    std::vector<std::unique_ptr<DeviceInfoEditView>> rows;
    juce::StretchableLayoutManager layout;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ConnectedDeviceInfoView)
};
