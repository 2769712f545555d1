#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace viewtest
{
/** The component and its children painted into a transparent image of its size. */
juce::Image render (juce::Component&);

/** The same, over the dark backdrop that the window gives the views. */
juce::Image renderOnBackdrop (juce::Component&);

/** Writes the image as a PNG named `name` into the snapshot folder; false on failure. */
bool writeSnapshot (const juce::Image&, const juce::String& name);

/** True when every channel, alpha included, is within `tolerance` of the other's. */
bool isClose (juce::Colour actual, juce::Colour expected, int tolerance = 0);

/** Number of pixels in the area whose alpha is not zero. */
int countVisiblePixels (const juce::Image&, juce::Rectangle<int> area);

/** The darkest pixel (smallest sum of red, green and blue) of the area. */
juce::Colour darkestPixel (const juce::Image&, juce::Rectangle<int> area);

/** Runs the message loop until the condition holds or the time runs out; returns the
    condition's last value. */
bool runUntil (const std::function<bool()>& condition, int timeoutMs);

/** Printable form for failure messages. */
juce::String describe (juce::Colour);

inline const juce::Colour backdrop { 0xff2a2a2a };
} // namespace viewtest

// Lets GoogleTest print rectangles and colours in failure messages.
namespace juce
{
inline void PrintTo (const Rectangle<int>& r, std::ostream* os) { *os << r.toString(); }
inline void PrintTo (const Colour& c, std::ostream* os) { *os << "0x" << c.toDisplayString (true); }
} // namespace juce
