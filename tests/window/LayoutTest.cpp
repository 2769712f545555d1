#include "WindowFixture.h"

#include "MessageLoop.h"

#include <fstream>

using namespace windowtest;

namespace
{
struct Layout
{
    int width, height;
    juce::Rectangle<int> picture, view, toast;
};

// The three items share the height below y 93: the picture at most 256, the shown view at
// least 256; the toast sits 16 below the view, as high as the room left (at most 64).
const Layout layouts[] = {
    { 375, 667, { 75, 93, 225, 107 }, { 0, 200, 375, 280 }, { 32, 496, 311, 64 } },
    { 500, 900, { 75, 93, 350, 112 }, { 0, 205, 500, 394 }, { 32, 615, 436, 64 } },
    { 375, 500, { 75, 93, 225, 102 }, { 0, 195, 375, 256 }, { 32, 467, 311, 49 } },
    { 375, 400, { 75, 93, 225, 72 },  { 0, 165, 375, 256 }, { 32, 437, 311, 0 } },
};

class WindowLayoutTest : public WindowTest
{
protected:
    void SetUp() override { openWindow(); }

    void expectLayout (const Layout& expected, juce::Component& shownView)
    {
        SCOPED_TRACE (juce::String (expected.width) + " x " + juce::String (expected.height));
        window->setSize (expected.width, expected.height);

        EXPECT_EQ (window->pictureButton->getBounds(), expected.picture);
        EXPECT_EQ (shownView.getBounds(), expected.view);
        EXPECT_EQ (window->toast->getBounds(), expected.toast);
    }

    /** Shows the info view in place of the connect view, as the connected state does. */
    void showInfoView()
    {
        window->initialView->setVisible (false);
        window->connectedView->setVisible (true);
        window->resized();
    }
};
} // namespace

TEST_F (WindowLayoutTest, StartsAt375By667WithTheConnectViewShown)
{
    EXPECT_EQ (window->getWidth(), 375);
    EXPECT_EQ (window->getHeight(), 667);
    EXPECT_TRUE (window->initialView->isVisible());
    EXPECT_FALSE (window->connectedView->isVisible());
    EXPECT_FALSE (window->toast->isVisible());
    EXPECT_TRUE (window->pictureButton->isVisible());
    EXPECT_TRUE (window->picture.isValid());

    // The toast lies on top of everything else.
    ASSERT_EQ (window->getNumChildComponents(), 4);
    EXPECT_EQ (window->getChildComponent (0), window->pictureButton.get());
    EXPECT_EQ (window->getChildComponent (3), window->toast.get());

    expectLayout (layouts[0], *window->initialView);
}

TEST_F (WindowLayoutTest, RectanglesOfTheConnectViewAtEverySize)
{
    for (const auto& layout : layouts)
        expectLayout (layout, *window->initialView);
}

TEST_F (WindowLayoutTest, TheInfoViewTakesTheConnectViewsRectangle)
{
    for (const auto& layout : layouts)
    {
        window->initialView->setVisible (true);
        window->connectedView->setVisible (false);
        expectLayout (layout, *window->initialView);
        const auto connectViewBounds = window->initialView->getBounds();

        showInfoView();
        EXPECT_EQ (window->connectedView->getBounds(), connectViewBounds);
        expectLayout (layout, *window->connectedView);
    }
}

TEST_F (WindowLayoutTest, TheBackgroundKeepsTheGradientOfTheFirstPaint)
{
    const auto first = window->createComponentSnapshot (window->getLocalBounds());
    EXPECT_TRUE (first.getPixelAt (0, 0).isOpaque());
    EXPECT_LE (std::abs (first.getPixelAt (0, 0).getRed() - 0x3c), 1);

    // 450 pixels from the centre lies beyond the first paint's radius (about 425) but well
    // inside the radius that a gradient made for 500 x 900 would have (about 568).
    window->setSize (500, 900);
    const auto enlarged = window->createComponentSnapshot (window->getLocalBounds());

    const auto outside = enlarged.getPixelAt (450, 5);
    EXPECT_EQ (outside.getRed(), 0x17);
    EXPECT_EQ (outside.getGreen(), 0x17);
    EXPECT_EQ (outside.getBlue(), 0x17);
    EXPECT_LE (std::abs (enlarged.getPixelAt (0, 0).getRed() - 0x3c), 1);
}

TEST_F (WindowLayoutTest, AClickOnThePictureChangesNothing)
{
    const auto* stateBefore = window->state.get();

    window->pictureButton->triggerClick();
    testing_support::pumpFor (300);

    EXPECT_EQ (window->state.get(), stateBefore);
    EXPECT_TRUE (window->initialView->isVisible());
    EXPECT_TRUE (connectButton().isEnabled());
    EXPECT_EQ (connectButton().getButtonText(), "Connect Hardware");
}

TEST_F (WindowLayoutTest, ADrainOfAnEmptyQueueDoesNothingAndEventsRunInOrder)
{
    window->handleAsyncUpdate();
    EXPECT_TRUE (queueIsEmpty());

    std::vector<int> ran;
    window->pushAsyncEvent ([&] { ran.push_back (1); });
    window->pushAsyncEvent ([&] { ran.push_back (2); });

    // Pushing alone delivers nothing.
    testing_support::pumpFor (100);
    EXPECT_TRUE (ran.empty());

    window->triggerAsyncUpdate();
    window->pushAsyncEvent ([&] { ran.push_back (3); });
    window->triggerAsyncUpdate();
    ASSERT_TRUE (pumpUntil ([&] { return ran.size() == 3; }, 5000));
    testing_support::pumpFor (100);
    EXPECT_EQ (ran, (std::vector<int> { 1, 2, 3 }));
}
