#include "DeviceInfoEditView.h"
#include "InitialDeviceInfoView.h"
#include "MessageLoop.h"
#include "MessageToast.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <optional>

namespace juce { inline void PrintTo (const Rectangle<int>& r, std::ostream* os) { *os << r.toString(); } }

namespace
{
using Rect = juce::Rectangle<int>;
constexpr juce::uint32 clear = 0, divider = 0x80424242, yellow = 0xffe4af09, actionGrey = 0xff282828, toastGrey = 0xff404040;

juce::Image render (juce::Component& component, juce::Colour background = {})
{
    juce::Image image (juce::Image::ARGB, component.getWidth(), component.getHeight(), true);
    juce::Graphics g (image);
    g.fillAll (background);
    component.paintEntireComponent (g, true);
    return image;
}

/** Pixels of the area within tolerance of the colour given or, with none, not fully transparent. */
int count (const juce::Image& image, Rect area, std::optional<juce::uint32> argb = {}, int tolerance = 2)
{
    const juce::Colour e (argb.value_or (0));
    int n = 0;

    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const auto c = image.getPixelAt (x, y);
            n += (argb ? std::max ({ std::abs (c.getAlpha() - e.getAlpha()), std::abs (c.getRed() - e.getRed()), std::abs (c.getGreen() - e.getGreen()),
                                     std::abs (c.getBlue() - e.getBlue()) }) <= tolerance : c.getAlpha() != 0) ? 1 : 0;
        }

    return n;
}

void expectPixels (const juce::Image& image, std::initializer_list<std::tuple<int, int, juce::uint32>> probes)
{
    for (auto [x, y, argb] : probes)
        EXPECT_EQ (count (image, { x, y, 1, 1 }, argb), 1) << x << ", " << y << ": " << image.getPixelAt (x, y).toDisplayString (true);
}

/** A label's or text button's text, font, colours, justification, cursor and visibility in one line. */
std::string looks (juce::Component& c)
{
    auto font = [] (const juce::Font& f) { return f.getTypefaceName() + " " + f.getTypefaceStyle() + " " + juce::String (f.getHeight()); };
    auto colour = [&c] (int id) { return c.findColour (id).toDisplayString (true); };
    juce::String s;

    if (auto* l = dynamic_cast<juce::Label*> (&c))
        s << l->getText() << "|" << font (l->getFont()) << "|" << colour (juce::Label::textColourId)
          << (l->getJustificationType() == juce::Justification::centred ? "|centred" : "") << (l->isEditable() ? "|editable" : "");
    else if (auto* b = dynamic_cast<juce::TextButton*> (&c))
        s << b->getButtonText() << "|" << font (b->getLookAndFeel().getTextButtonFont (*b, b->getHeight())) << "|"
          << colour (juce::TextButton::textColourOffId) << " on " << colour (juce::TextButton::buttonColourId);

    s << (c.getMouseCursor() == juce::MouseCursor::PointingHandCursor ? "|hand" : "") << (c.isVisible() ? "" : "|hidden");
    return s.toStdString();
}

TEST (Views, LayoutAndLooks)
{
    // Placed where the window places them, so a layout taken from a view's position shows.
    InitialDeviceInfoView connect;
    ConnectedDeviceInfoView info;

    struct Case { int width, height; Rect label, pill, learnMore, helpCenter; };
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
        EXPECT_EQ (std::vector<Rect> ({ connect.infoLabel->getBounds(), connect.connectButton->getBounds(),
                                        connect.learnMoreButton->getBounds(), connect.helpCenterButton->getBounds() }),
                   std::vector<Rect> ({ c.label, c.pill, c.learnMore, c.helpCenter }));
    }

    // Rows 70 pixels high, the Firmware row taking the rest; buttons 19 pixels in from the right.
    for (auto [width, height, lastHeight] : { std::tuple (375, 280, 120), { 500, 400, 240 }, { 375, 230, 70 }, { 120, 200, 70 } })
    {
        SCOPED_TRACE (juce::String (width) + " x " + juce::String (height));
        info.setBounds (0, 200, width, height);
        ASSERT_EQ (info.rows.size(), 3u);
        EXPECT_EQ (std::vector<Rect> ({ info.rows[0]->getBounds(), info.rows[1]->getBounds(), info.rows[2]->getBounds() }),
                   std::vector<Rect> ({ { 0, 20, width, 70 }, { 0, 90, width, 70 }, { 0, 160, width, lastHeight } }));

        for (auto& row : info.rows)
            EXPECT_EQ (std::vector<Rect> ({ row->titleLabel->getBounds(), row->valueLabel->getBounds(), row->actionButton->getBounds() }),
                       std::vector<Rect> ({ { 21, 0, 185, 19 }, { 21, 24, 185, 25 }, { width - 109, 10, 90, 28 } }));
    }

    EXPECT_EQ (looks (*connect.infoLabel), "Connect your Tarvo Amp with USB cable.|Roboto Medium 14|FFC8C8C8|centred");
    EXPECT_EQ (looks (*connect.connectButton), "Connect Hardware|Roboto Medium 14|FF000000 on FFE4AF09|hand");
    EXPECT_EQ (looks (*connect.learnMoreButton), "Learn more about Tarvo speaker|Roboto Medium 14|FFC8C8C8 on 00000000|hand");
    EXPECT_EQ (looks (*connect.helpCenterButton), "Help Center|Roboto Medium 14|FFC8C8C8 on 00000000|hand");

    const char* rows[][3] = {
        { "Device|Roboto Bold 14|FF737373", "Tarvo 40|Roboto Regular 16|FFC8C8C8", "Eject|Roboto Medium 14|FFFF431D on FF282828|hand" },
        { "Serial|Roboto Bold 14|FF737373", "123-456789-10111-21|Roboto Regular 16|FFC8C8C8", "|Roboto Medium 14|FFFFFFFF on FF282828|hand|hidden" },
        { "Firmware|Roboto Bold 14|FF737373", "0.41533.3232|Roboto Regular 16|FFC8C8C8", "Check to update|Roboto Medium 14|FFFFFFFF on FF282828|hand" },
    };

    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ (std::vector<std::string> ({ looks (*info.rows[i]->titleLabel), looks (*info.rows[i]->valueLabel), looks (*info.rows[i]->actionButton) }),
                   std::vector<std::string> (std::begin (rows[i]), std::end (rows[i])));
}

TEST (Views, PaintedPixels)
{
    // The pill at (62, 78), 251 x 40, has half circle ends; the links' underlines stop 38
    // pixels short of each side.
    InitialDeviceInfoView connect;
    connect.setSize (375, 280);
    expectPixels (render (connect), { { 74, 98, yellow }, { 63, 98, yellow }, { 311, 98, yellow }, { 65, 81, clear }, { 312, 117, clear },
                                      { 38, 233, divider }, { 336, 273, divider }, { 37, 233, clear }, { 337, 273, clear }, { 200, 195, clear } });

    // Darker when pointed at, darker still when held.
    for (auto [state, argb] : { std::pair (juce::Button::buttonOver, 0xffa27d06u), { juce::Button::buttonDown, 0xff735904u } })
    {
        connect.connectButton->setState (state);
        expectPixels (render (connect), { { 74, 98, argb } });
    }

    // Rows at y 20, 90 and 160: text on the left, a divider 63 pixels down, 21 in from both sides.
    ConnectedDeviceInfoView info;
    info.setSize (375, 280);
    const auto rows = render (info);
    expectPixels (rows, { { 21, 83, divider }, { 353, 153, divider }, { 21, 223, divider }, { 20, 83, clear }, { 354, 223, clear },
                          { 272, 44, actionGrey }, { 272, 184, actionGrey } });
    EXPECT_GT (count (rows, { 21, 20, 185, 19 }) + count (rows, { 21, 44, 185, 25 }), 40);
    EXPECT_EQ (count (rows, { 0, 70, 375, 13 }) + count (rows, { 0, 224, 375, 56 }) + count (rows, { 0, 0, 21, 280 }), 0);
    EXPECT_EQ (count (rows, { 230, 90, 145, 62 }), 0) << "the Serial row has no button";
    EXPECT_GT (count (rows, { 230, 20, 145, 62 }, 0xffff431d, 4), 5) << "Eject in red";

    // A box with rounded corners behind the text.
    MessageToast toast;
    toast.setSize (311, 64);
    toast.label->setText ("Your firmware is up-to-date.", juce::dontSendNotification);
    expectPixels (render (toast), { { 0, 0, clear }, { 1, 1, clear }, { 310, 63, clear }, { 8, 0, toastGrey }, { 0, 8, toastGrey },
                                    { 5, 32, toastGrey }, { 305, 32, toastGrey } });
}

TEST (Views, ToastFadesInAndHidesWithAFadeAfterTheLastMessage)
{
    juce::Component window;
    MessageToast toast;
    window.setSize (375, 667);
    window.addChildComponent (toast);
    toast.setBounds (32, 496, 311, 64);
    EXPECT_EQ (toast.label->getBounds(), Rect (0, 0, 311, 64));
    EXPECT_EQ (looks (*toast.label), "|Roboto Regular 16|FFC8C8C8|centred");
    EXPECT_FALSE (toast.isVisible() || toast.isTimerRunning());

    // On screen, so that the fade out has something to fade. The X library keeps a little
    // memory for good; held loaded past the framework's shutdown a leak checker can name it.
    window.setVisible (true);
    window.addToDesktop (0);
    [[maybe_unused]] static void* const keepLoaded = dlopen ("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);

    auto& animator = juce::Desktop::getInstance().getAnimator();
    const auto start = juce::Time::getMillisecondCounter();
    toast.showMessage ("first");
    EXPECT_TRUE (toast.isVisible() && animator.isAnimating (&toast) && toast.getAlpha() == 0.0f);
    ASSERT_TRUE (testing_support::pumpUntil ([&] { return ! animator.isAnimating (&toast); }, 15000));
    EXPECT_GE (juce::Time::getMillisecondCounter() - start, 150u);   // 200 ms, less a timer tick
    EXPECT_EQ (toast.getAlpha(), 1.0f);

    // Fully shown: a message changes the text and starts the four second countdown again.
    toast.showMessage ("second");
    EXPECT_TRUE (toast.label->getText() == "second" && ! animator.isAnimating (&toast) && toast.isTimerRunning());
    EXPECT_EQ (toast.getTimerInterval(), 4000);

    // Its end hides the toast at once; a snapshot of it, the one new child, fades out.
    const auto children = window.getNumChildComponents();
    toast.timerCallback();
    EXPECT_FALSE (toast.isVisible() || toast.isTimerRunning());
    EXPECT_EQ (window.getNumChildComponents(), children + 1);
    animator.cancelAllAnimations (false);
    window.removeFromDesktop();
}

// Pictures for a person to look at, over the window's backdrop, in the build tree.
TEST (Views, Snapshots)
{
    InitialDeviceInfoView connect;
    ConnectedDeviceInfoView info;
    const juce::File folder (TARVO_VIEW_SNAPSHOT_DIR);

    for (auto [view, name] : { std::pair<juce::Component*, juce::String> (&connect, "connect-view"), { &info, "info-view" } })
    {
        view->setSize (375, 280);
        juce::MemoryOutputStream png;
        EXPECT_TRUE (juce::PNGImageFormat().writeImageToStream (render (*view, juce::Colour (0xff2a2a2a)), png) && folder.createDirectory()
                     && folder.getChildFile (name + ".png").replaceWithData (png.getData(), png.getDataSize())) << name;
    }
}
} // namespace
