#include "LookAndFeel.h"

#include "Constants.h"

namespace lookandfeel
{
juce::Font CorvelGenericButtonLookAndFeel::getTextButtonFont (juce::TextButton&, int)
{
    return constant::DEFAULT_TEXT_FONT;
}

void ConnectButtonLookAndFeel::drawButtonBackground (juce::Graphics& g, juce::Button& button,
                                                     const juce::Colour& backgroundColour,
                                                     bool shouldDrawButtonAsHighlighted,
                                                     bool shouldDrawButtonAsDown)
{
    const juce::Graphics::ScopedSaveState saved (g);

    // A held-down button is also pointed at; the press wins.
    auto fill = backgroundColour;

    if (shouldDrawButtonAsDown)
        fill = fill.darker().darker();
    else if (shouldDrawButtonAsHighlighted)
        fill = fill.darker();

    const auto width = (float) button.getWidth();
    const auto height = (float) button.getHeight();

    g.setColour (fill);
    g.fillRoundedRectangle (0.0f, 0.0f, width, height, height * 0.5f);
}

void UrlButtonLookAndFeel::drawButtonBackground (juce::Graphics& g, juce::Button& button,
                                                 const juce::Colour& backgroundColour,
                                                 bool, bool)
{
    const juce::Graphics::ScopedSaveState saved (g);

    g.fillAll (backgroundColour);

    g.setColour (constant::SPLITTER_LINE_COLOUR);
    g.fillRect (38, button.getHeight() - 1, button.getWidth() - 76, 1);
}
} // namespace lookandfeel
