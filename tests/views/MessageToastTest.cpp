#include "Constants.h"
#include "MessageToast.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace
{
using Rect = juce::Rectangle<int>;

// Generous bounds that only catch hangs. Lower bounds leave room for the framework's
// timers, which may fire up to one tick of their thread (at most 100 ms) early.
constexpr int hangLimitMs = 15000;

juce::ComponentAnimator& animator() { return juce::Desktop::getInstance().getAnimator(); }
juce::uint32 now() { return juce::Time::getMillisecondCounter(); }

/** The toast as the window holds it: added hidden, 311 x 64 at (32, 496). */
struct ToastInWindow
{
    ToastInWindow()
    {
        window.setSize (375, 667);
        window.addChildComponent (toast);
        toast.setBounds (32, 496, 311, 64);
    }

    ~ToastInWindow()
    {
        animator().cancelAllAnimations (false);

        if (window.isOnDesktop())
            window.removeFromDesktop();
    }

    void putOnScreen()
    {
        window.setVisible (true);
        window.addToDesktop (0);

        // The X library keeps a little memory for good; holding it loaded past the
        // framework's shutdown lets a leak checker name it (and have it suppressed)
        // instead of reporting blocks of an unknown, unloaded module.
        static void* const keepLoaded = dlopen ("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
        juce::ignoreUnused (keepLoaded);
    }

    bool waitForFade() { return viewtest::runUntil ([this] { return ! animator().isAnimating (&toast); }, hangLimitMs); }

    juce::Component window;
    MessageToast toast;
};

TEST (MessageToast, StartsHiddenAndPaintsARoundedBoxWithItsTextCentred)
{
    ToastInWindow w;
    auto& toast = w.toast;
    auto& label = *toast.label;

    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());
    EXPECT_EQ (label.getText(), "");
    EXPECT_EQ (label.getBounds(), Rect (0, 0, 311, 64));
    EXPECT_TRUE (viewtest::isRoboto (label.getFont(), "Regular", 16.0f));
    EXPECT_EQ (label.findColour (juce::Label::textColourId), constant::NORMAL_TEXT_COLOUR);
    EXPECT_EQ (label.getJustificationType(), juce::Justification (juce::Justification::centred));

    label.setText ("Your firmware is up-to-date.", juce::dontSendNotification);
    const auto image = viewtest::render (toast);
    const auto box = constant::TOAST_BACKGROUND_COLOUR;

    for (auto clear : { juce::Point<int> (0, 0), { 310, 63 }, { 1, 1 } })
        EXPECT_EQ (image.getPixelAt (clear.x, clear.y).getAlpha(), 0) << clear.toString();

    for (auto filled : { juce::Point<int> (8, 0), { 0, 8 }, { 5, 32 }, { 305, 32 } })
        EXPECT_EQ (image.getPixelAt (filled.x, filled.y), box) << filled.toString();

    // The text's pixels, those that differ from the box, sit around the box's centre.
    Rect ink;

    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 311; ++x)
            if (image.getPixelAt (x, y).getAlpha() == 255 && image.getPixelAt (x, y) != box)
                ink = ink.isEmpty() ? Rect (x, y, 1, 1) : ink.getUnion ({ x, y, 1, 1 });

    EXPECT_NEAR (ink.getCentreX(), 155, 3) << ink.toString();
    EXPECT_NEAR (ink.getCentreY(), 32, 4) << ink.toString();
    EXPECT_GT (ink.getWidth(), 150);
    EXPECT_LT (ink.getHeight(), 20);
    EXPECT_GT (viewtest::countPixels (image, ink, viewtest::closeTo (constant::NORMAL_TEXT_COLOUR, 3)), 0);

    toast.setSize (200, 30);
    EXPECT_EQ (label.getBounds(), Rect (0, 0, 200, 30));
}

TEST (MessageToast, FadesInOverTwoHundredMillisecondsAndHidesFourSecondsAfterTheLastMessage)
{
    ToastInWindow w;
    auto& toast = w.toast;

    toast.showMessage ("first");
    EXPECT_TRUE (toast.isVisible());
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    EXPECT_TRUE (animator().isAnimating (&toast));
    EXPECT_EQ (toast.getTimerInterval(), 4000);

    // A message half way through the fade starts it again from zero.
    toast.setAlpha (0.5f);
    const auto start = now();
    toast.showMessage ("Your firmware is up-to-date.");
    EXPECT_EQ (toast.label->getText(), "Your firmware is up-to-date.");
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    EXPECT_TRUE (animator().isAnimating (&toast));

    ASSERT_TRUE (w.waitForFade());
    EXPECT_GE (now() - start, 170u);
    EXPECT_EQ (toast.getAlpha(), 1.0f);
    EXPECT_TRUE (toast.isTimerRunning());

    // Fully shown: a message only changes the text and restarts the countdown.
    const auto last = now();
    toast.showMessage ("second");
    EXPECT_EQ (toast.label->getText(), "second");
    EXPECT_EQ (toast.getAlpha(), 1.0f);
    EXPECT_FALSE (animator().isAnimating (&toast));
    EXPECT_TRUE (toast.isTimerRunning());

    ASSERT_TRUE (viewtest::runUntil ([&] { return ! toast.isVisible(); }, hangLimitMs));
    EXPECT_GE (now() - last, 3800u);
    EXPECT_FALSE (toast.isTimerRunning());
    EXPECT_EQ (toast.label->getText(), "second");
}

TEST (MessageToast, OnScreenASnapshotFadesOutAndAMessageDuringItFadesInFromZero)
{
    ToastInWindow w;
    w.putOnScreen();
    auto& toast = w.toast;

    toast.showMessage ("first");
    ASSERT_TRUE (w.waitForFade());
    ASSERT_TRUE (toast.isShowing());

    const auto children = w.window.getNumChildComponents();
    toast.timerCallback();

    // The toast hides at once; a snapshot of it, the one new child, does the fading.
    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());
    ASSERT_EQ (w.window.getNumChildComponents(), children + 1);
    EXPECT_EQ (w.window.getChildComponent (children)->getBounds(), toast.getBounds());

    toast.showMessage ("second");
    EXPECT_EQ (toast.label->getText(), "second");
    EXPECT_TRUE (toast.isVisible());
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    EXPECT_TRUE (toast.isTimerRunning());
    EXPECT_EQ (w.window.getNumChildComponents(), children);

    ASSERT_TRUE (w.waitForFade());
    EXPECT_EQ (toast.getAlpha(), 1.0f);
}
} // namespace
