#include "ViewTestSupport.h"

#include <cstdlib>

namespace viewtest
{
juce::Image render (juce::Component& component)
{
    juce::Image image (juce::Image::ARGB, juce::jmax (1, component.getWidth()),
                       juce::jmax (1, component.getHeight()), true);
    juce::Graphics g (image);
    component.paintEntireComponent (g, true);
    return image;
}

juce::Image renderOnBackdrop (juce::Component& component)
{
    juce::Image image (juce::Image::ARGB, juce::jmax (1, component.getWidth()),
                       juce::jmax (1, component.getHeight()), true);
    juce::Graphics g (image);
    g.fillAll (backdrop);
    component.paintEntireComponent (g, true);
    return image;
}

bool writeSnapshot (const juce::Image& image, const juce::String& name)
{
    const juce::File folder (TARVO_VIEW_SNAPSHOT_DIR);

    if (! folder.createDirectory())
        return false;

    auto file = folder.getChildFile (name + ".png");
    file.deleteFile();

    juce::FileOutputStream out (file);

    if (! out.openedOk())
        return false;

    juce::PNGImageFormat png;
    return png.writeImageToStream (image, out);
}

bool isClose (juce::Colour actual, juce::Colour expected, int tolerance)
{
    auto near = [tolerance] (int a, int b) { return std::abs (a - b) <= tolerance; };

    return near (actual.getAlpha(), expected.getAlpha())
        && near (actual.getRed(), expected.getRed())
        && near (actual.getGreen(), expected.getGreen())
        && near (actual.getBlue(), expected.getBlue());
}

int countVisiblePixels (const juce::Image& image, juce::Rectangle<int> area)
{
    int count = 0;

    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (image.getPixelAt (x, y).getAlpha() != 0)
                ++count;

    return count;
}

juce::Colour darkestPixel (const juce::Image& image, juce::Rectangle<int> area)
{
    juce::Colour darkest = juce::Colours::white;
    int darkestSum = 3 * 255 + 1;

    for (int y = area.getY(); y < area.getBottom(); ++y)
    {
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const auto c = image.getPixelAt (x, y);
            const int sum = c.getRed() + c.getGreen() + c.getBlue();

            if (sum < darkestSum)
            {
                darkestSum = sum;
                darkest = c;
            }
        }
    }

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

juce::String describe (juce::Colour colour)
{
    return "0x" + colour.toDisplayString (true);
}
} // namespace viewtest
