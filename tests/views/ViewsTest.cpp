// Guards what the window's views look like: where the connect view, the info view's rows and
// the toast place their children, their texts, fonts and colours, the pixels they paint, and
// the toast's fade in and out. The fixture is the views alone, built from their own sources
// with no application and no device, painted into images; only the toast's fade puts a
// window on the test display.
#include "DeviceInfoEditView.h"
#include "InitialDeviceInfoView.h"
#include "MessageLoop.h"
#include "MessageToast.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <optional>

namespace juce
{
inline void PrintTo (const Rectangle<int>& r, std::ostream* os)
{
    *os << r.toString();
}
} // namespace juce

namespace
{
using Rect = juce::Rectangle<int>;

constexpr juce::uint32 clear = 0;
constexpr juce::uint32 divider = 0x80424242;
constexpr juce::uint32 yellow = 0xffe4af09;
constexpr juce::uint32 actionGrey = 0xff282828;
constexpr juce::uint32 toastGrey = 0xff404040;

juce::Image render (juce::Component& component, juce::Colour background = {})
{
    juce::Image image (juce::Image::ARGB, component.getWidth(), component.getHeight(), true);
    juce::Graphics g (image);
    g.fillAll (background);
    component.paintEntireComponent (g, true);
    return image;
}

/** Whether each of the pixel's four channels lies within tolerance of the colour's. */
bool within (juce::uint32 pixel, juce::uint32 argb, int tolerance)
{
    for (int shift : { 0, 8, 16, 24 })
    {
        const auto channel = int ((pixel >> shift) & 255);
        const auto wanted = int ((argb >> shift) & 255);

        if (std::abs (channel - wanted) > tolerance)
            return false;
    }

    return true;
}

/** Pixels of the area within tolerance of the colour given or, with none, not fully transparent. */
int count (const juce::Image& image, Rect area, std::optional<juce::uint32> argb = {}, int tolerance = 2)
{
    int n = 0;

    for (int y = area.getY(); y < area.getBottom(); ++y)
    {
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const auto pixel = image.getPixelAt (x, y).getARGB();
            const bool opaque = (pixel >> 24) != 0;
            const bool counted = argb.has_value() ? within (pixel, *argb, tolerance) : opaque;

            if (counted)
                ++n;
        }
    }

    return n;
}

/** Each probe is x, y and the colour the pixel there must have. */
using Probe = std::tuple<int, int, juce::uint32>;

void expectPixels (const juce::Image& image, std::initializer_list<Probe> probes)
{
    for (auto [x, y, argb] : probes)
    {
        const auto actual = image.getPixelAt (x, y).getARGB();
        EXPECT_EQ (1, count (image, { x, y, 1, 1 }, argb))
            << x << "," << y << " " << std::hex << actual;
    }
}

/** A label's or text button's text, font, colours, justification, cursor and visibility in one line. */
std::string looks (juce::Component& c)
{
    auto colour = [&c] (int id) { return c.findColour (id).toDisplayString (true); };
    juce::String s;

    if (auto* l = dynamic_cast<juce::Label*> (&c))
    {
        s << l->getText() << "|" << l->getFont().toString() << "|"
          << colour (juce::Label::textColourId);

        if (l->getJustificationType() == juce::Justification::centred)
            s << "|centred";
    }
    else if (auto* b = dynamic_cast<juce::TextButton*> (&c))
    {
        const auto font = b->getLookAndFeel().getTextButtonFont (*b, b->getHeight());
        s << b->getButtonText() << "|" << font.toString() << "|"
          << colour (juce::TextButton::textColourOffId) << " on "
          << colour (juce::TextButton::buttonColourId);
    }

    if (c.getMouseCursor() == juce::MouseCursor::PointingHandCursor)
        s << "|hand";

    if (! c.isVisible())
        s << "|hidden";

    return s.toStdString();
}

TEST (Views, LayoutAndLooks)
{
    // At the position the window gives them, so a layout taken from a view's position shows.
    InitialDeviceInfoView connect;
    ConnectedDeviceInfoView info;

    struct Case
    {
        int width;
        int height;
        Rect label;
        Rect pill;
        Rect learnMore;
        Rect helpCenter;
    };

    const Case cases[] = {
        { 375, 280, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
        // The pill keeps 62 pixels on either side, down to no width at all.
        { 500, 300, { 0, 38, 500, 40 }, { 62, 78, 376, 40 }, { 0, 194, 500, 40 }, { 0, 234, 500, 40 } },
        { 124, 280, { 0, 38, 124, 40 }, { 62, 78, 0, 40 }, { 0, 194, 124, 40 }, { 0, 234, 124, 40 } },
        // Up to 468 pixels high the help link keeps its 40 pixels; past that only it grows.
        { 375, 468, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
        { 375, 600, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 172 } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.width) + " x " + juce::String (c.height));
        connect.setBounds (0, 200, c.width, c.height);
        EXPECT_EQ (c.label, connect.infoLabel->getBounds());
        EXPECT_EQ (c.pill, connect.connectButton->getBounds());
        EXPECT_EQ (c.learnMore, connect.learnMoreButton->getBounds());
        EXPECT_EQ (c.helpCenter, connect.helpCenterButton->getBounds());
    }

    // Rows 70 pixels high, the Firmware row taking the rest; buttons 19 pixels in from the right.
    struct InfoCase
    {
        int width;
        int height;
        int lastHeight;
    };

    const InfoCase infoCases[] = {
        { 375, 280, 120 },
        { 500, 400, 240 },
        { 375, 230, 70 },
        { 120, 200, 70 },
    };

    for (const auto [width, height, lastHeight] : infoCases)
    {
        SCOPED_TRACE (juce::String (width) + " x " + juce::String (height));
        info.setBounds (0, 200, width, height);
        EXPECT_EQ (Rect (0, 20, width, 70), info.rows[0]->getBounds());
        EXPECT_EQ (Rect (0, 90, width, 70), info.rows[1]->getBounds());
        EXPECT_EQ (Rect (0, 160, width, lastHeight), info.rows[2]->getBounds());

        for (size_t i = 0; i < info.rows.size(); ++i)
        {
            SCOPED_TRACE ("row " + std::to_string (i));
            const auto& row = info.rows[i];
            EXPECT_EQ (Rect (21, 0, 185, 19), row->titleLabel->getBounds());
            EXPECT_EQ (Rect (21, 24, 185, 25), row->valueLabel->getBounds());
            EXPECT_EQ (Rect (width - 109, 10, 90, 28), row->actionButton->getBounds());
        }
    }

    EXPECT_EQ ("Connect your Tarvo Amp with USB cable.|Roboto; 14.0 Medium|FFC8C8C8|centred",
               looks (*connect.infoLabel));
    EXPECT_EQ ("Connect Hardware|Roboto; 14.0 Medium|FF000000 on FFE4AF09|hand",
               looks (*connect.connectButton));
    EXPECT_EQ ("Learn more about Tarvo speaker|Roboto; 14.0 Medium|FFC8C8C8 on 00000000|hand",
               looks (*connect.learnMoreButton));
    EXPECT_EQ ("Help Center|Roboto; 14.0 Medium|FFC8C8C8 on 00000000|hand",
               looks (*connect.helpCenterButton));

    // Each row: title, value and button.
    struct RowLooks
    {
        const char* title;
        const char* value;
        const char* button;
    };

    const RowLooks rows[] = {
        {
            "Device|Roboto; 14.0 Bold|FF737373",
            "Tarvo 40|Roboto; 16.0 Regular|FFC8C8C8",
            "Eject|Roboto; 14.0 Medium|FFFF431D on FF282828|hand",
        },
        {
            "Serial|Roboto; 14.0 Bold|FF737373",
            "123-456789-10111-21|Roboto; 16.0 Regular|FFC8C8C8",
            "|Roboto; 14.0 Medium|FFFFFFFF on FF282828|hand|hidden",
        },
        {
            "Firmware|Roboto; 14.0 Bold|FF737373",
            "0.41533.3232|Roboto; 16.0 Regular|FFC8C8C8",
            "Check to update|Roboto; 14.0 Medium|FFFFFFFF on FF282828|hand",
        },
    };

    for (size_t i = 0; i < 3; ++i)
    {
        SCOPED_TRACE ("row " + std::to_string (i));
        EXPECT_EQ (rows[i].title, looks (*info.rows[i]->titleLabel));
        EXPECT_EQ (rows[i].value, looks (*info.rows[i]->valueLabel));
        EXPECT_EQ (rows[i].button, looks (*info.rows[i]->actionButton));
    }
}

TEST (Views, PaintedPixels)
{
    // The pill at (62, 78), 251 x 40, has half circle ends; the links' underlines stop 38
    // pixels short of each side.
    InitialDeviceInfoView connect;
    connect.setSize (375, 280);
    expectPixels (render (connect),
                  {
                      { 74, 98, yellow },
                      { 63, 98, yellow },
                      { 311, 98, yellow },
                      { 65, 81, clear },
                      { 312, 117, clear },
                      { 38, 233, divider },
                      { 336, 273, divider },
                      { 37, 233, clear },
                      { 337, 273, clear },
                      { 200, 195, clear },
                  });

    // Darker when pointed at, darker still when held.
    connect.connectButton->setState (juce::Button::buttonOver);
    expectPixels (render (connect), { { 74, 98, 0xffa27d06 } });
    connect.connectButton->setState (juce::Button::buttonDown);
    expectPixels (render (connect), { { 74, 98, 0xff735904 } });

    // Rows at y 20, 90 and 160: text on the left, a divider 63 pixels down, 21 in from both sides.
    ConnectedDeviceInfoView info;
    info.setSize (375, 280);
    const auto rows = render (info);
    expectPixels (rows,
                  {
                      { 21, 83, divider },
                      { 353, 153, divider },
                      { 21, 223, divider },
                      { 20, 83, clear },
                      { 354, 223, clear },
                      { 272, 44, actionGrey },
                      { 272, 184, actionGrey },
                  });

    const auto titleInk = count (rows, { 21, 20, 185, 19 });
    const auto valueInk = count (rows, { 21, 44, 185, 25 });
    EXPECT_GT (titleInk + valueInk, 40) << "the Device row's title and value";

    EXPECT_EQ (0, count (rows, { 0, 70, 375, 13 })) << "between the Device row's text and its divider";
    EXPECT_EQ (0, count (rows, { 0, 224, 375, 56 })) << "below the last divider";
    EXPECT_EQ (0, count (rows, { 0, 0, 21, 280 })) << "the left margin";
    EXPECT_EQ (0, count (rows, { 230, 90, 145, 62 })) << "the Serial row has no button";
    EXPECT_GT (count (rows, { 230, 20, 145, 62 }, 0xffff431d, 4), 5) << "Eject in red";

    // A box with rounded corners behind the text.
    MessageToast toast;
    toast.setSize (311, 64);
    toast.label->setText ("Your firmware is up-to-date.", juce::dontSendNotification);
    expectPixels (render (toast),
                  {
                      { 0, 0, clear },
                      { 1, 1, clear },
                      { 310, 63, clear },
                      { 8, 0, toastGrey },
                      { 0, 8, toastGrey },
                      { 5, 32, toastGrey },
                      { 305, 32, toastGrey },
                  });
}

TEST (Views, ToastFadesInAndHidesWithAFadeAfterTheLastMessage)
{
    juce::Component window;
    MessageToast toast;
    window.setSize (375, 667);
    window.addChildComponent (toast);
    toast.setBounds (32, 496, 311, 64);
    EXPECT_EQ (Rect (0, 0, 311, 64), toast.label->getBounds());
    EXPECT_EQ ("|Roboto; 16.0 Regular|FFC8C8C8|centred", looks (*toast.label));
    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());

    // On screen, so that the fade out has something to fade. The X library keeps a little
    // memory for good; held loaded past the framework's shutdown a leak checker can name it.
    window.setVisible (true);
    window.addToDesktop (0);
    [[maybe_unused]] static void* const keepLoaded = dlopen ("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);

    auto& animator = juce::Desktop::getInstance().getAnimator();
    const auto start = juce::Time::getMillisecondCounter();
    toast.showMessage ("first");
    EXPECT_TRUE (toast.isVisible());
    EXPECT_TRUE (animator.isAnimating (&toast));
    EXPECT_EQ (0.0f, toast.getAlpha());
    const auto faded = [&] { return ! animator.isAnimating (&toast); };
    ASSERT_TRUE (testing_support::pumpUntil (faded, 15000));
    EXPECT_GE (juce::Time::getMillisecondCounter() - start, 150u);   // 200 ms, less a timer tick
    EXPECT_EQ (1.0f, toast.getAlpha());

    // Fully shown: a message changes the text and starts the four second countdown again.
    toast.showMessage ("second");
    EXPECT_EQ ("second", toast.label->getText().toStdString());
    EXPECT_FALSE (animator.isAnimating (&toast));
    EXPECT_TRUE (toast.isTimerRunning());
    EXPECT_EQ (4000, toast.getTimerInterval());

    // Its end hides the toast at once; a snapshot of it, the one new child, fades out.
    const auto children = window.getNumChildComponents();
    toast.timerCallback();
    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());
    EXPECT_EQ (children + 1, window.getNumChildComponents());
    animator.cancelAllAnimations (false);
    window.removeFromDesktop();
}

// Pictures for a person to look at, over the window's backdrop, in the build tree.
TEST (Views, Snapshots)
{
    InitialDeviceInfoView connect;
    ConnectedDeviceInfoView info;
    const juce::File folder (TARVO_VIEW_SNAPSHOT_DIR);
    folder.createDirectory();

    const std::pair<juce::Component*, juce::String> views[] = {
        { &connect, "connect-view" },
        { &info, "info-view" },
    };

    for (const auto& [view, name] : views)
    {
        view->setSize (375, 280);
        const auto image = render (*view, juce::Colour (0xff2a2a2a));
        juce::MemoryOutputStream png;
        EXPECT_TRUE (juce::PNGImageFormat().writeImageToStream (image, png)) << name;
        const auto file = folder.getChildFile (name + ".png");
        EXPECT_TRUE (file.replaceWithData (png.getData(), png.getDataSize())) << name;
    }
}
} // namespace
