#include "Constants.h"
#include "DeviceInfoEditView.h"
#include "InitialDeviceInfoView.h"
#include "MessageLoop.h"
#include "MessageToast.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <optional>
#include <thread>

namespace juce
{
inline void PrintTo (const Rectangle<int>& r, std::ostream* os) { *os << r.toString(); }
} // namespace juce

namespace
{
using Rect = juce::Rectangle<int>;
using Pixels = std::initializer_list<std::pair<juce::Point<int>, juce::uint32>>;
const juce::Colour backdrop { 0xff2a2a2a };   // what the window paints behind the views
const juce::Colour divider = constant::SPLITTER_LINE_COLOUR;

juce::Image render (juce::Component& component, juce::Colour background = juce::Colours::transparentBlack)
{
    juce::Image image (juce::Image::ARGB, component.getWidth(), component.getHeight(), true);
    juce::Graphics g (image);
    g.fillAll (background);
    component.paintEntireComponent (g, true);
    return image;
}

bool near (juce::Colour a, juce::Colour b, int tolerance = 2)
{
    return std::abs (a.getAlpha() - b.getAlpha()) <= tolerance && std::abs (a.getRed() - b.getRed()) <= tolerance
        && std::abs (a.getGreen() - b.getGreen()) <= tolerance && std::abs (a.getBlue() - b.getBlue()) <= tolerance;
}

/** Pixels of the area near the colour; by default those not fully transparent. */
int count (const juce::Image& image, Rect area, std::optional<juce::Colour> colour = {}, int tolerance = 2)
{
    int n = 0;

    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            n += (colour ? near (image.getPixelAt (x, y), *colour, tolerance) : image.getPixelAt (x, y).getAlpha() != 0) ? 1 : 0;

    return n;
}

void expectPixels (const juce::Image& image, Pixels expected)
{
    for (const auto& [at, argb] : expected)
        EXPECT_TRUE (near (image.getPixelAt (at.x, at.y), juce::Colour (argb)))
            << at.toString() << " is " << image.getPixelAt (at.x, at.y).toDisplayString (true);
}

/** Text, font, colours, justification or cursor and visibility of a label or text button, in one line. */
std::string looks (juce::Component& c)
{
    const auto fontName = [] (const juce::Font& f) { return f.getTypefaceName() + " " + f.getTypefaceStyle() + " " + juce::String (f.getHeight()); };
    juce::String s;

    if (auto* label = dynamic_cast<juce::Label*> (&c))
        s << label->getText() << "|" << fontName (label->getFont()) << "|" << label->findColour (juce::Label::textColourId).toDisplayString (true)
          << (label->getJustificationType() == juce::Justification::centred ? "|centred" : label->getJustificationType() == juce::Justification::centredLeft ? "|left" : "|?")
          << (label->isEditable() ? "|editable" : "");
    else if (auto* b = dynamic_cast<juce::TextButton*> (&c))
        s << b->getButtonText() << "|" << fontName (b->getLookAndFeel().getTextButtonFont (*b, b->getHeight())) << "|"
          << b->findColour (juce::TextButton::textColourOffId).toDisplayString (true) << " on " << b->findColour (juce::TextButton::buttonColourId).toDisplayString (true)
          << (c.getMouseCursor() == juce::MouseCursor::PointingHandCursor ? "|hand" : "");

    return (s + (c.isVisible() ? "" : "|hidden")).toStdString();
}

TEST (Views, ConnectViewLayoutAndLooks)
{
    struct Case { int width, height; Rect info, connect, learnMore, helpCenter; };
    const Case cases[] = {
        { 375, 280, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
        // The pill keeps 62 pixels on either side, down to no width at all.
        { 500, 300, { 0, 38, 500, 40 }, { 62, 78, 376, 40 }, { 0, 194, 500, 40 }, { 0, 234, 500, 40 } },
        { 125, 280, { 0, 38, 125, 40 }, { 62, 78, 1, 40 }, { 0, 194, 125, 40 }, { 0, 234, 125, 40 } },
        { 124, 280, { 0, 38, 124, 40 }, { 62, 78, 0, 40 }, { 0, 194, 124, 40 }, { 0, 234, 124, 40 } },
        // Up to 468 pixels high the help link keeps its 40 pixels; past that only it grows.
        { 375, 468, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
        { 375, 600, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 172 } },
        { 375, 100, { 0, 38, 375, 40 }, { 62, 78, 251, 40 }, { 0, 194, 375, 40 }, { 0, 234, 375, 40 } },
    };

    // Placed as the window places it, so a layout taken from the view's position shows.
    juce::Component window;
    window.setSize (375, 667);
    InitialDeviceInfoView view;
    window.addAndMakeVisible (view);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.width) + " x " + juce::String (c.height));
        view.setBounds (0, 200, c.width, c.height);
        EXPECT_EQ (view.infoLabel->getBounds(), c.info);
        EXPECT_EQ (view.connectButton->getBounds(), c.connect);
        EXPECT_EQ (view.learnMoreButton->getBounds(), c.learnMore);
        EXPECT_EQ (view.helpCenterButton->getBounds(), c.helpCenter);
    }

    EXPECT_EQ (looks (*view.infoLabel), "Connect your Tarvo Amp with USB cable.|Roboto Medium 14|FFC8C8C8|centred");
    EXPECT_EQ (looks (*view.connectButton), "Connect Hardware|Roboto Medium 14|FF000000 on FFE4AF09|hand");
    EXPECT_EQ (looks (*view.learnMoreButton), "Learn more about Tarvo speaker|Roboto Medium 14|FFC8C8C8 on 00000000|hand");
    EXPECT_EQ (looks (*view.helpCenterButton), "Help Center|Roboto Medium 14|FFC8C8C8 on 00000000|hand");
}

TEST (Views, InfoViewLayoutAndLooks)
{
    juce::Component window;
    window.setSize (375, 667);
    ConnectedDeviceInfoView view;
    window.addAndMakeVisible (view);

    // The Firmware row takes the rest of the height, at least 70 pixels; the buttons keep
    // 19 pixels to the right edge.
    for (auto [width, height, firmwareHeight] : { std::tuple (375, 280, 120), { 500, 400, 240 }, { 375, 230, 70 }, { 120, 200, 70 } })
    {
        SCOPED_TRACE (juce::String (width) + " x " + juce::String (height));
        view.setBounds (0, 200, width, height);
        ASSERT_EQ (view.rows.size(), 3u);
        EXPECT_EQ (view.rows[0]->getBounds(), Rect (0, 20, width, 70));
        EXPECT_EQ (view.rows[1]->getBounds(), Rect (0, 90, width, 70));
        EXPECT_EQ (view.rows[2]->getBounds(), Rect (0, 160, width, firmwareHeight));

        for (auto& row : view.rows)
        {
            EXPECT_EQ (row->titleLabel->getBounds(), Rect (21, 0, 185, 19));
            EXPECT_EQ (row->valueLabel->getBounds(), Rect (21, 24, 185, 25));
            EXPECT_EQ (row->actionButton->getBounds(), Rect (width - 109, 10, 90, 28));
        }
    }

    const std::string expected[] = {
        "Device|Roboto Bold 14|FF737373|left / Tarvo 40|Roboto Regular 16|FFC8C8C8|left / Eject|Roboto Medium 14|FFFF431D on FF282828|hand",
        "Serial|Roboto Bold 14|FF737373|left / 123-456789-10111-21|Roboto Regular 16|FFC8C8C8|left / |Roboto Medium 14|FFFFFFFF on FF282828|hand|hidden",
        "Firmware|Roboto Bold 14|FF737373|left / 0.41533.3232|Roboto Regular 16|FFC8C8C8|left / Check to update|Roboto Medium 14|FFFFFFFF on FF282828|hand",
    };

    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ (looks (*view.rows[i]->titleLabel) + " / " + looks (*view.rows[i]->valueLabel) + " / " + looks (*view.rows[i]->actionButton), expected[i]);
}

TEST (Views, PaintedPixels)
{
    InitialDeviceInfoView connect;
    connect.setSize (375, 280);
    auto& pill = *connect.connectButton;   // at (62, 78), 251 x 40
    const Rect pillText (62 + 40, 78 + 5, 171, 30);
    const juce::uint32 yellow = 0xffe4af09, clear = 0;

    // A pill with half circle ends; the links' underlines stop 38 pixels short of each side.
    expectPixels (render (connect), { { { 74, 98 }, yellow }, { { 63, 98 }, yellow }, { { 311, 98 }, yellow }, { { 63, 79 }, clear },
                                      { { 312, 117 }, clear }, { { 38, 233 }, divider.getARGB() }, { { 336, 273 }, divider.getARGB() },
                                      { { 37, 233 }, clear }, { { 337, 273 }, clear }, { { 200, 195 }, clear } });
    EXPECT_GT (count (render (connect), pillText, juce::Colours::black, 10), 10);

    // Darker when pointed at, darker still when held; disabled it keeps its colour, the text dimmed.
    for (auto [state, argb] : { std::pair (juce::Button::buttonOver, 0xffa27d06u), { juce::Button::buttonDown, 0xff735904u } })
    {
        pill.setState (state);
        expectPixels (render (connect), { { { 74, 98 }, argb } });
    }

    pill.setState (juce::Button::buttonNormal);
    connect.setEnabled (false);
    expectPixels (render (connect), { { { 74, 98 }, yellow } });
    EXPECT_EQ (count (render (connect), pillText, juce::Colours::black, 10), 0);

    // Rows at y 20, 90 and 160: a divider 63 pixels down each, 21 pixels in from both sides.
    ConnectedDeviceInfoView info;
    info.setSize (375, 280);
    const auto rows = render (info);
    expectPixels (rows, { { { 21, 83 }, divider.getARGB() }, { { 353, 153 }, divider.getARGB() }, { { 21, 223 }, divider.getARGB() },
                          { { 20, 83 }, clear }, { { 354, 223 }, clear }, { { 272, 44 }, 0xff282828 }, { { 272, 184 }, 0xff282828 } });
    EXPECT_GT (count (rows, { 21, 20, 185, 19 }), 20);
    EXPECT_GT (count (rows, { 21, 44, 185, 25 }), 20);
    EXPECT_EQ (count (rows, { 0, 70, 375, 13 }) + count (rows, { 0, 224, 375, 56 }) + count (rows, { 0, 0, 21, 280 }), 0);
    EXPECT_EQ (count (rows, { 230, 90, 145, 62 }), 0) << "the Serial row has no button";
    EXPECT_GT (count (rows, { 230, 20, 145, 62 }, juce::Colour (0xffff431d), 4), 5) << "Eject in red";

    // A box with rounded corners behind the text.
    MessageToast toast;
    toast.setSize (311, 64);
    toast.label->setText ("Your firmware is up-to-date.", juce::dontSendNotification);
    expectPixels (render (toast), { { { 0, 0 }, clear }, { { 1, 1 }, clear }, { { 310, 63 }, clear }, { { 8, 0 }, 0xff404040 },
                                    { { 0, 8 }, 0xff404040 }, { { 5, 32 }, 0xff404040 }, { { 305, 32 }, 0xff404040 } });
    EXPECT_GT (count (render (toast), { 60, 16, 191, 32 }, constant::NORMAL_TEXT_COLOUR, 3), 10);
}

TEST (Views, ToastFadesInAndHidesWithAFadeAfterTheLastMessage)
{
    juce::Component window;
    window.setSize (375, 667);
    MessageToast toast;
    window.addChildComponent (toast);
    toast.setBounds (32, 496, 311, 64);
    EXPECT_EQ (toast.label->getBounds(), Rect (0, 0, 311, 64));
    EXPECT_EQ (looks (*toast.label), "|Roboto Regular 16|FFC8C8C8|centred");
    EXPECT_FALSE (toast.isVisible() || toast.isTimerRunning());

    // On screen, so that the fade out has something to fade. The X library keeps a little
    // memory for good; held loaded past the framework's shutdown a leak checker can name it.
    window.setVisible (true);
    window.addToDesktop (0);
    static void* const keepLoaded = dlopen ("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    juce::ignoreUnused (keepLoaded);

    auto& animator = juce::Desktop::getInstance().getAnimator();
    const auto fadedIn = [&] { return testing_support::pumpUntil ([&] { return ! animator.isAnimating (&toast); }, 15000); };
    const auto start = juce::Time::getMillisecondCounter();
    toast.showMessage ("first");
    EXPECT_TRUE (toast.isVisible() && animator.isAnimating (&toast));
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    ASSERT_TRUE (fadedIn());
    EXPECT_GE (juce::Time::getMillisecondCounter() - start, 150u);   // 200 ms, less a timer tick
    EXPECT_EQ (toast.getAlpha(), 1.0f);

    // Fully shown: a message changes the text and starts the four second countdown again.
    toast.showMessage ("second");
    EXPECT_EQ (toast.label->getText(), "second");
    EXPECT_FALSE (animator.isAnimating (&toast));
    EXPECT_TRUE (toast.isTimerRunning());
    EXPECT_EQ (toast.getTimerInterval(), 4000);

    // Its end hides the toast at once; a snapshot of it, the one new child, fades out.
    const auto children = window.getNumChildComponents();
    toast.timerCallback();
    EXPECT_FALSE (toast.isVisible() || toast.isTimerRunning());
    ASSERT_EQ (window.getNumChildComponents(), children + 1);
    EXPECT_EQ (window.getChildComponent (children)->getBounds(), toast.getBounds());

    toast.showMessage ("third");
    EXPECT_TRUE (toast.isVisible() && toast.isTimerRunning());
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    ASSERT_TRUE (fadedIn());
    animator.cancelAllAnimations (false);
    window.removeFromDesktop();
}

TEST (Views, FontsAreMadeOnceWhenFirstUsedFromSeveralThreads)
{
    std::array<const juce::Font*, 4> seen {};
    std::vector<std::thread> threads;

    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back ([&seen, i] { seen[i] = &constant::EDIT_LABEL_FONT.get(); });

    for (auto& t : threads)
        t.join();

    for (auto* font : seen)
        EXPECT_EQ (font, &constant::EDIT_LABEL_FONT.get());
}

// Pictures for a person to look at, in the build tree's snapshots folder.
TEST (Views, Snapshots)
{
    InitialDeviceInfoView connect;
    ConnectedDeviceInfoView info;
    MessageToast toast;
    connect.setSize (375, 280);
    info.setSize (375, 280);
    toast.setSize (311, 64);
    toast.label->setText ("Your firmware is up-to-date.", juce::dontSendNotification);
    const juce::File folder (TARVO_VIEW_SNAPSHOT_DIR);
    folder.createDirectory();

    for (auto [view, name] : { std::pair<juce::Component*, const char*> (&connect, "connect-view"), { &info, "info-view" }, { &toast, "toast" } })
    {
        const auto image = render (*view, backdrop);
        EXPECT_GT (count (image, image.getBounds()) - count (image, image.getBounds(), backdrop, 0), 3000) << name;
        const auto file = folder.getChildFile (juce::String (name) + ".png");
        file.deleteFile();
        juce::FileOutputStream out (file);
        EXPECT_TRUE (out.openedOk() && juce::PNGImageFormat().writeImageToStream (image, out)) << name;
    }
}
} // namespace
