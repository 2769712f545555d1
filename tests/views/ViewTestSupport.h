#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <functional>

namespace viewtest
{
/** The dark backdrop that the window gives the views. */
inline const juce::Colour backdrop { 0xff2a2a2a };

using PixelTest = std::function<bool (juce::Colour)>;

/** The component and its children painted into an image of its size over `background`. */
juce::Image render (juce::Component&, juce::Colour background = juce::Colours::transparentBlack);

/** Writes the image as a PNG named `name` into the snapshot folder; false on failure. */
bool writeSnapshot (const juce::Image&, const juce::String& name);

/** Every channel, alpha included, within `tolerance` of the expected one's. */
testing::AssertionResult isClose (juce::Colour actual, juce::Colour expected, int tolerance = 0);

/** The font is Roboto in the style and height given. */
testing::AssertionResult isRoboto (const juce::Font&, const char* style, float height);

/** A pixel test for colours within `tolerance` of `expected`. */
PixelTest closeTo (juce::Colour expected, int tolerance);

/** Number of pixels of the area that pass the test; by default those not fully transparent. */
int countPixels (const juce::Image&, juce::Rectangle<int> area, const PixelTest& = nullptr);

/** The darkest pixel (smallest sum of red, green and blue) of the area. */
juce::Colour darkestPixel (const juce::Image&, juce::Rectangle<int> area);

/** Runs the message loop until the condition holds or the time runs out; returns the
    condition's last value. */
bool runUntil (const std::function<bool()>& condition, int timeoutMs);
} // namespace viewtest

// Lets GoogleTest print rectangles and colours in failure messages.
namespace juce
{
inline void PrintTo (const Rectangle<int>& r, std::ostream* os) { *os << r.toString(); }
inline void PrintTo (const Colour& c, std::ostream* os) { *os << "0x" << c.toDisplayString (true); }
} // namespace juce
