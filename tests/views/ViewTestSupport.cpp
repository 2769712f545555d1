#include "ViewTestSupport.h"

#include <cstdlib>

namespace viewtest
{
juce::Image render (juce::Component& component, juce::Colour background)
{
    juce::Image image (juce::Image::ARGB, juce::jmax (1, component.getWidth()),
                       juce::jmax (1, component.getHeight()), true);
    juce::Graphics g (image);
    g.fillAll (background);
    component.paintEntireComponent (g, true);
    return image;
}

bool writeSnapshot (const juce::Image& image, const juce::String& name)
{
    const juce::File folder (TARVO_VIEW_SNAPSHOT_DIR);
    auto file = folder.getChildFile (name + ".png");

    // Tests run in parallel processes: another one may create the folder at the same moment.
    folder.createDirectory();

    if (! folder.isDirectory() || (file.exists() && ! file.deleteFile()))
        return false;

    juce::FileOutputStream out (file);
    juce::PNGImageFormat png;
    return out.openedOk() && png.writeImageToStream (image, out);
}

testing::AssertionResult isClose (juce::Colour actual, juce::Colour expected, int tolerance)
{
    if (closeTo (expected, tolerance) (actual))
        return testing::AssertionSuccess();

    return testing::AssertionFailure() << "0x" << actual.toDisplayString (true) << " is not within "
                                       << tolerance << " of 0x" << expected.toDisplayString (true);
}

testing::AssertionResult isRoboto (const juce::Font& font, const char* style, float height)
{
    if (font.getTypefaceName() == "Roboto" && font.getTypefaceStyle() == style && std::abs (font.getHeight() - height) < 0.001f)
        return testing::AssertionSuccess();

    return testing::AssertionFailure() << font.getTypefaceName() << " " << font.getTypefaceStyle() << " " << font.getHeight();
}

PixelTest closeTo (juce::Colour expected, int tolerance)
{
    return [expected, tolerance] (juce::Colour c)
    {
        auto near = [tolerance] (int a, int b) { return std::abs (a - b) <= tolerance; };
        return near (c.getAlpha(), expected.getAlpha()) && near (c.getRed(), expected.getRed())
            && near (c.getGreen(), expected.getGreen()) && near (c.getBlue(), expected.getBlue());
    };
}

int countPixels (const juce::Image& image, juce::Rectangle<int> area, const PixelTest& test)
{
    int count = 0;

    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (test != nullptr ? test (image.getPixelAt (x, y)) : image.getPixelAt (x, y).getAlpha() != 0)
                ++count;

    return count;
}

juce::Colour darkestPixel (const juce::Image& image, juce::Rectangle<int> area)
{
    auto darkest = juce::Colours::white;
    auto sum = [] (juce::Colour c) { return c.getRed() + c.getGreen() + c.getBlue(); };

    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (sum (image.getPixelAt (x, y)) < sum (darkest))
                darkest = image.getPixelAt (x, y);

    return darkest;
}

bool runUntil (const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() >= deadline)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    return true;
}
} // namespace viewtest
