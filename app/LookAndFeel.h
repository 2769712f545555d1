#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

namespace lookandfeel
{
/** Fixes the font of every text button that uses one of the looks below; the text
    itself is drawn by the framework's default look. */
class CorvelGenericButtonLookAndFeel : public juce::LookAndFeel_V3
{
public:
    juce::Font getTextButtonFont (juce::TextButton&, int buttonHeight) override;
};

/** A pill in the button's colour, darker while pointed at and darker still while held
    down. */
class ConnectButtonLookAndFeel : public CorvelGenericButtonLookAndFeel
{
public:
    ~ConnectButtonLookAndFeel() override = default;

    void drawButtonBackground (juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                               bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;
};

/** A web link: the button's colour behind the text and a thin underline that stops short
    of both sides. Pointer and press leave it unchanged. */
class UrlButtonLookAndFeel : public CorvelGenericButtonLookAndFeel
{
public:
    ~UrlButtonLookAndFeel() override = default;

    void drawButtonBackground (juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                               bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;
};
} // namespace lookandfeel
