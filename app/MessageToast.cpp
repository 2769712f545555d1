#include "MessageToast.h"

#include "Constants.h"

MessageToast::MessageToast()
{
    label = std::make_unique<juce::Label> (juce::String(), juce::String());
    label->setFont (constant::EDIT_TEXT_FONT);
    label->setColour (juce::Label::textColourId, constant::NORMAL_TEXT_COLOUR);
    label->setJustificationType (juce::Justification::centred);
    addAndMakeVisible (*label);
}

MessageToast::~MessageToast() = default;

void MessageToast::paint (juce::Graphics& g)
{
    const juce::Graphics::ScopedSaveState saved (g);

    g.setColour (constant::TOAST_BACKGROUND_COLOUR);
    g.fillRoundedRectangle (0.0f, 0.0f, (float) getWidth(), (float) getHeight(), 8.0f);
}

void MessageToast::resized()
{
    label->setSize (getWidth(), getHeight());
    label->setTopLeftPosition (0, 0);
}

void MessageToast::showMessage (const juce::String& text)
{
    label->setText (text, juce::dontSendNotification);

    // A countdown from an earlier message is dropped: the new one gets its full time.
    stopTimer();

    // A toast already fully shown keeps its alpha; only the text changes.
    juce::Desktop::getInstance().getAnimator().fadeIn (this, fadeInMilliseconds);

    startTimer (shownMilliseconds);
}

void MessageToast::timerCallback()
{
    // On screen a snapshot fades while the toast itself is hidden at once.
    juce::Desktop::getInstance().getAnimator().fadeOut (this, fadeOutMilliseconds);
    stopTimer();
}
