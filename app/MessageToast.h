#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

/** A rounded box that shows one line of text for a few seconds, fading in and out. A new
    message replaces the one shown and starts the countdown again; there is no queue. */
class MessageToast : public juce::Component, private juce::Timer
{
public:
    static constexpr int fadeInMilliseconds = 200;
    static constexpr int fadeOutMilliseconds = 150;
    static constexpr int shownMilliseconds = 4000;

    MessageToast();
    ~MessageToast() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    /** Shows the text for four seconds from now. */
    void showMessage (const juce::String& text);

    /** Hides the toast; run by the countdown, open so that the hiding can be driven
        without waiting for it. */
    void timerCallback() override;

    /** The countdown's state, for observers; only showMessage starts it. */
    using juce::Timer::isTimerRunning;
    using juce::Timer::getTimerInterval;

    std::unique_ptr<juce::Label> label;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MessageToast)
};
