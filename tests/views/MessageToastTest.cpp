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

juce::ComponentAnimator& animator()
{
    return juce::Desktop::getInstance().getAnimator();
}

juce::uint32 now()
{
    return juce::Time::getMillisecondCounter();
}

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

    juce::Component window;
    MessageToast toast;
};

TEST (MessageToast, StartsHiddenWithItsLabelFillingIt)
{
    ToastInWindow w;
    auto& toast = w.toast;

    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());

    auto& label = *toast.label;
    EXPECT_EQ (label.getParentComponent(), &toast);
    EXPECT_TRUE (label.isVisible());
    EXPECT_EQ (label.getText(), "");
    EXPECT_EQ (label.getBounds(), Rect (0, 0, 311, 64));
    EXPECT_EQ (label.getFont().getTypefaceName(), "Roboto");
    EXPECT_EQ (label.getFont().getTypefaceStyle(), "Regular");
    EXPECT_FLOAT_EQ (label.getFont().getHeight(), 16.0f);
    EXPECT_EQ (label.findColour (juce::Label::textColourId), constant::NORMAL_TEXT_COLOUR);
    EXPECT_EQ (label.getJustificationType(), juce::Justification (juce::Justification::centred));

    toast.setSize (200, 30);
    EXPECT_EQ (label.getBounds(), Rect (0, 0, 200, 30));
}

TEST (MessageToast, PaintsARoundedBoxWithTheTextCentred)
{
    ToastInWindow w;
    auto& toast = w.toast;
    toast.label->setText ("Your firmware is up-to-date.", juce::dontSendNotification);

    const auto image = viewtest::render (toast);
    const auto box = constant::TOAST_BACKGROUND_COLOUR;

    EXPECT_EQ (image.getPixelAt (0, 0).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (310, 63).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (1, 1).getAlpha(), 0);
    EXPECT_EQ (image.getPixelAt (8, 0), box);
    EXPECT_EQ (image.getPixelAt (0, 8), box);
    EXPECT_EQ (image.getPixelAt (5, 32), box);
    EXPECT_EQ (image.getPixelAt (305, 32), box);

    // The text's pixels, those that differ from the box, sit around the box's centre.
    Rect ink;
    bool found = false;

    for (int y = 0; y < 64; ++y)
    {
        for (int x = 0; x < 311; ++x)
        {
            const auto p = image.getPixelAt (x, y);

            if (p.getAlpha() == 255 && p != box)
            {
                ink = found ? ink.getUnion ({ x, y, 1, 1 }) : Rect (x, y, 1, 1);
                found = true;
            }
        }
    }

    ASSERT_TRUE (found);
    EXPECT_NEAR (ink.getCentreX(), 155, 3) << ink.toString();
    EXPECT_NEAR (ink.getCentreY(), 32, 4) << ink.toString();
    EXPECT_GT (ink.getWidth(), 150);
    EXPECT_LT (ink.getHeight(), 20);
    // The lightest ink is the text colour.
    bool textColourSeen = false;

    for (int y = ink.getY(); y < ink.getBottom(); ++y)
        for (int x = ink.getX(); x < ink.getRight(); ++x)
            textColourSeen = textColourSeen || viewtest::isClose (image.getPixelAt (x, y), constant::NORMAL_TEXT_COLOUR, 3);

    EXPECT_TRUE (textColourSeen);
}

TEST (MessageToast, ShowingFadesInOverTwoHundredMillisecondsAndCountsDown)
{
    ToastInWindow w;
    auto& toast = w.toast;

    const auto start = now();
    toast.showMessage ("Your firmware is up-to-date.");

    EXPECT_EQ (toast.label->getText(), "Your firmware is up-to-date.");
    EXPECT_TRUE (toast.isVisible());
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    EXPECT_TRUE (animator().isAnimating (&toast));
    EXPECT_TRUE (toast.isTimerRunning());
    EXPECT_EQ (toast.getTimerInterval(), 4000);

    ASSERT_TRUE (viewtest::runUntil ([&] { return ! animator().isAnimating (&toast); }, hangLimitMs));
    EXPECT_GE (now() - start, 170u);
    EXPECT_EQ (toast.getAlpha(), 1.0f);
    EXPECT_TRUE (toast.isVisible());
    EXPECT_EQ (toast.getBounds(), Rect (32, 496, 311, 64));
    EXPECT_TRUE (toast.isTimerRunning());
}

TEST (MessageToast, HidesFourSecondsAfterTheLastMessage)
{
    ToastInWindow w;
    auto& toast = w.toast;

    toast.showMessage ("first");
    viewtest::runUntil ([] { return false; }, 1000);
    ASSERT_TRUE (toast.isVisible());
    ASSERT_EQ (toast.getAlpha(), 1.0f);

    // Fully shown: the second message only changes the text and restarts the countdown.
    const auto second = now();
    toast.showMessage ("second");
    EXPECT_EQ (toast.label->getText(), "second");
    EXPECT_EQ (toast.getAlpha(), 1.0f);
    EXPECT_FALSE (animator().isAnimating (&toast));
    EXPECT_TRUE (toast.isTimerRunning());

    ASSERT_TRUE (viewtest::runUntil ([&] { return ! toast.isVisible(); }, hangLimitMs));
    EXPECT_GE (now() - second, 3800u);
    EXPECT_FALSE (toast.isTimerRunning());
    EXPECT_EQ (toast.label->getText(), "second");
}

TEST (MessageToast, MessageDuringFadeInStartsTheFadeAgain)
{
    ToastInWindow w;
    auto& toast = w.toast;

    toast.showMessage ("first");
    // Half way through the fade.
    toast.setAlpha (0.5f);

    const auto second = now();
    toast.showMessage ("second");
    EXPECT_EQ (toast.label->getText(), "second");
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    EXPECT_TRUE (animator().isAnimating (&toast));

    ASSERT_TRUE (viewtest::runUntil ([&] { return ! animator().isAnimating (&toast); }, hangLimitMs));
    EXPECT_GE (now() - second, 170u);
    EXPECT_EQ (toast.getAlpha(), 1.0f);
}

TEST (MessageToast, OffScreenTheCountdownOnlyHidesIt)
{
    ToastInWindow w;
    auto& toast = w.toast;
    toast.showMessage ("hello");
    ASSERT_TRUE (viewtest::runUntil ([&] { return ! animator().isAnimating (&toast); }, hangLimitMs));
    ASSERT_FALSE (toast.isShowing());

    const auto children = w.window.getNumChildComponents();
    toast.timerCallback();

    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());
    EXPECT_EQ (w.window.getNumChildComponents(), children);
    EXPECT_FALSE (animator().isAnimating (&toast));
}

TEST (MessageToast, OnScreenASnapshotFadesOutWhileTheToastHidesAtOnce)
{
    ToastInWindow w;
    w.putOnScreen();
    auto& toast = w.toast;

    toast.showMessage ("hello");
    ASSERT_TRUE (viewtest::runUntil ([&] { return ! animator().isAnimating (&toast); }, hangLimitMs));
    ASSERT_TRUE (toast.isShowing());

    const auto children = w.window.getNumChildComponents();
    const auto start = now();
    toast.timerCallback();

    EXPECT_FALSE (toast.isVisible());
    EXPECT_FALSE (toast.isTimerRunning());
    ASSERT_EQ (w.window.getNumChildComponents(), children + 1);

    // The snapshot is the one child that was not there before.
    juce::Component* proxy = nullptr;

    for (auto* child : w.window.getChildren())
        if (child != &toast)
            proxy = child;

    ASSERT_NE (proxy, nullptr);
    EXPECT_TRUE (proxy->isVisible());
    EXPECT_EQ (proxy->getBounds(), toast.getBounds());

    ASSERT_TRUE (viewtest::runUntil ([&] { return w.window.getNumChildComponents() == children; }, hangLimitMs));
    EXPECT_GE (now() - start, 120u);
    EXPECT_FALSE (toast.isVisible());
}

TEST (MessageToast, MessageDuringFadeOutFadesInAgainFromZero)
{
    ToastInWindow w;
    w.putOnScreen();
    auto& toast = w.toast;

    toast.showMessage ("first");
    ASSERT_TRUE (viewtest::runUntil ([&] { return ! animator().isAnimating (&toast); }, hangLimitMs));

    const auto children = w.window.getNumChildComponents();
    toast.timerCallback();
    ASSERT_EQ (w.window.getNumChildComponents(), children + 1);

    toast.showMessage ("second");
    EXPECT_EQ (toast.label->getText(), "second");
    EXPECT_TRUE (toast.isVisible());
    EXPECT_EQ (toast.getAlpha(), 0.0f);
    EXPECT_TRUE (toast.isTimerRunning());
    // The toast itself fades now; the snapshot is gone.
    EXPECT_EQ (w.window.getNumChildComponents(), children);

    ASSERT_TRUE (viewtest::runUntil ([&] { return ! animator().isAnimating (&toast); }, hangLimitMs));
    EXPECT_EQ (toast.getAlpha(), 1.0f);
}
} // namespace
