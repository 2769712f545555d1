#include "WindowFixture.h"

#include "JwDeviceManager.h"
#include "MessageLoop.h"

#include <cstdlib>

using namespace windowtest;

namespace
{
const juce::Colour busyYellow { 0xffe4af09 };

class WindowStateTest : public WindowTest
{
protected:
    void SetUp() override
    {
        plugAmplifier();
        openWindow();
    }
};
} // namespace

TEST_F (WindowStateTest, InitialConnectingConnectedCheckingUpdatingConnected)
{
    // Initial: the connect view, nothing open, the pill enabled.
    EXPECT_TRUE (stateIs<InitialAppState>());
    EXPECT_TRUE (window->initialView->isVisible());
    EXPECT_FALSE (window->connectedView->isVisible());
    EXPECT_EQ (connectButton().getButtonText(), "Connect Hardware");
    EXPECT_TRUE (connectButton().isEnabled());
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    const auto deviceTextAtStart = deviceText();

    // Connecting: the pill reads "Connecting..." and takes no clicks while the probe runs.
    connectButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([this]
    {
        return stateIs<ConnectingAppState>() && connectButton().getButtonText() == "Connecting...";
    }, 5000));
    EXPECT_FALSE (connectButton().isEnabled());
    EXPECT_TRUE (window->initialView->isVisible());
    EXPECT_FALSE (window->connectedView->isVisible());

    // A device-list change with no device open clicks the disabled pill: nothing happens.
    window->onDeviceListChanged (jw::DeviceManager::instance());

    // Connected: the info view with the amplifier's serial number and firmware version.
    ASSERT_TRUE (waitUntilConnectedShown());
    EXPECT_EQ (probesReceived(), 1);
    EXPECT_NE (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_FALSE (window->initialView->isVisible());
    EXPECT_TRUE (window->connectedView->isVisible());
    EXPECT_EQ (window->connectedView->getBounds(), juce::Rectangle<int> (0, 200, 375, 280));
    EXPECT_EQ (serialText(), "TV40-2026-000731");
    EXPECT_EQ (firmwareText(), "1.2.3.30");
    EXPECT_EQ (deviceText(), deviceTextAtStart);
    EXPECT_EQ (firmwareButton().getButtonText(), "Check to update");
    EXPECT_EQ (firmwareButtonTextColour(), juce::Colours::white);
    EXPECT_TRUE (firmwareButton().isEnabled());
    EXPECT_TRUE (ejectButton().isEnabled());
    EXPECT_EQ (ejectButton().getButtonText(), "Eject");
    EXPECT_FALSE (window->toast->isVisible());

    // The pill, hidden now, keeps what connecting left.
    EXPECT_EQ (connectButton().getButtonText(), "Connecting...");
    EXPECT_FALSE (connectButton().isEnabled());

    // Checking lasts only until its task's hand-over, which the message loop may run in the
    // same turn as the view change; so the click is made, and the queue drained, by hand.
    ToastWatcher toastWatcher (*window);
    window->buttonClicked (&firmwareButton());
    ASSERT_TRUE (stateIs<FirmwareCheckingAppState>());
    EXPECT_TRUE (firmwareButton().isEnabled());   // nothing changes a view inside apply
    window->handleAsyncUpdate();
    EXPECT_TRUE (queueIsEmpty());
    EXPECT_TRUE (stateIs<FirmwareCheckingAppState>());
    EXPECT_EQ (firmwareButton().getButtonText(), "Checking...");
    EXPECT_EQ (firmwareButtonTextColour(), busyYellow);
    EXPECT_FALSE (firmwareButton().isEnabled());
    EXPECT_FALSE (ejectButton().isEnabled());
    EXPECT_TRUE (window->connectedView->isVisible());

    // Updating: the same look with "Updating...", until the flashing ends.
    ASSERT_TRUE (pumpUntil ([this] { return firmwareButton().getButtonText() == "Updating..."; }, 5000));
    EXPECT_TRUE (stateIs<FirmwareUpdatingAppState>());
    EXPECT_EQ (firmwareButtonTextColour(), busyYellow);
    EXPECT_FALSE (firmwareButton().isEnabled());
    EXPECT_FALSE (ejectButton().isEnabled());

    // No progress is shown while blocks are written.
    ASSERT_TRUE (pumpUntil ([this]
    {
        return amplifier->getNumWriteFlashBlocksAccepted() > 0 || ! stateIs<FirmwareUpdatingAppState>();
    }, 30000));

    if (stateIs<FirmwareUpdatingAppState>())
    {
        EXPECT_EQ (firmwareButton().getButtonText(), "Updating...");
    }

    // The end: the toast appears at once, while the buttons stay as the update left them
    // until the information has been read again.
    ASSERT_TRUE (pumpUntil ([&] { return ! toastWatcher.sightings.empty(); }, 60000));
    ASSERT_EQ (toastWatcher.sightings.size(), 1u);
    const auto& shown = toastWatcher.sightings.front();
    EXPECT_EQ (shown.text, "Your firmware is up-to-date.");
    EXPECT_TRUE (shown.connectedState);
    EXPECT_FALSE (shown.firmwareButtonEnabled);
    EXPECT_FALSE (shown.ejectEnabled);
    EXPECT_EQ (shown.firmwareButtonText, "Updating...");

    ASSERT_TRUE (waitUntilConnectedShown());
    EXPECT_EQ (firmwareText(), "1.2.3.37");
    EXPECT_EQ (serialText(), "TV40-2026-000731");
    EXPECT_EQ (deviceText(), deviceTextAtStart);
    EXPECT_EQ (firmwareButton().getButtonText(), "Check to update");
    EXPECT_EQ (firmwareButtonTextColour(), juce::Colours::white);
    EXPECT_TRUE (ejectButton().isEnabled());
    EXPECT_TRUE (window->toast->isVisible());
    EXPECT_EQ (window->toast->label->getText(), "Your firmware is up-to-date.");

    // The amplifier holds the embedded image, restarted twice and runs normally.
    EXPECT_TRUE (amplifier->flashEquals (embeddedImage()));
    EXPECT_EQ (amplifier->getNumRestarts(), 2);
    EXPECT_FALSE (amplifier->isInBootloaderMode());
    EXPECT_NE (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (WindowStateTest, AnAmplifierWithTheSameVersionIsFlashedAgain)
{
    amplifier.reset();
    config.flash = embeddedImage();
    plugAmplifier();

    connectByClick();
    ASSERT_EQ (firmwareText(), "1.2.3.37");

    ToastWatcher toastWatcher (*window);
    firmwareButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return ! toastWatcher.sightings.empty(); }, 60000));
    EXPECT_EQ (toastWatcher.sightings.front().text, "Your firmware is up-to-date.");
    EXPECT_EQ (amplifier->getNumWriteFlashBlocksAccepted(), (int) ((embeddedImage().size() + 255) / 256));
    EXPECT_TRUE (amplifier->flashEquals (embeddedImage()));
}

TEST_F (WindowStateTest, EjectClosesAndDropsTheDeviceAndDoesNotReconnect)
{
    connectByClick();
    ASSERT_NE (jw::DeviceManager::instance()->currentDevice(), nullptr);
    ASSERT_GT (service.getNumOpenInputs(), 0);

    ejectButton().triggerClick();
    ASSERT_TRUE (waitUntilInitialShown (10000));

    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_FALSE (window->connectedView->isVisible());
    EXPECT_EQ (connectButton().getButtonText(), "Connect Hardware");

    // The amplifier is still plugged in, but nothing changed in the port list: the poll,
    // running again, leaves it alone.
    testing_support::pumpFor (5000);
    EXPECT_TRUE (stateIs<InitialAppState>());
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_TRUE (window->initialView->isVisible());
    EXPECT_TRUE (connectButton().isEnabled());

    // And a click connects it again.
    connectByClick();
    EXPECT_EQ (serialText(), "TV40-2026-000731");
}

TEST_F (WindowStateTest, NoAmplifierAnsweringGoesBackToTheInitialState)
{
    amplifier.reset();

    // With no amplifier the probe ends at once: the click is made and its view change run
    // by hand to see the connecting state at all.
    window->buttonClicked (&connectButton());
    ASSERT_TRUE (stateIs<ConnectingAppState>());
    window->handleAsyncUpdate();
    EXPECT_EQ (connectButton().getButtonText(), "Connecting...");
    EXPECT_FALSE (connectButton().isEnabled());

    ASSERT_TRUE (waitUntilInitialShown (10000));
    EXPECT_EQ (connectButton().getButtonText(), "Connect Hardware");
    EXPECT_FALSE (window->connectedView->isVisible());
    EXPECT_FALSE (window->toast->isVisible());
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (WindowStateTest, TheLinksOpenTheMakersPagesAndLeaveTheStateAlone)
{
    // A stand-in browser, found first on the PATH, notes the pages it is asked to open.
    const auto folder = juce::File::createTempFile ("browser");
    ASSERT_TRUE (folder.createDirectory());
    const auto opened = folder.getChildFile ("opened.txt");
    const auto browser = folder.getChildFile ("xdg-open");
    ASSERT_TRUE (browser.replaceWithText ("#!/bin/sh\necho \"$1\" >> '" + opened.getFullPathName() + "'\n",
                                          false, false, "\n"));
    ASSERT_TRUE (browser.setExecutePermission (true));
    const auto path = folder.getFullPathName() + ":" + juce::String (std::getenv ("PATH"));
    ::setenv ("PATH", path.toRawUTF8(), 1);

    const auto* stateBefore = window->state.get();

    window->initialView->learnMoreButton->triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return opened.loadFileAsString().contains (MainComponent::homePageUrl); }, 10000));

    window->initialView->helpCenterButton->triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return opened.loadFileAsString().contains (MainComponent::supportPageUrl); }, 10000));

    EXPECT_EQ (window->state.get(), stateBefore);
    EXPECT_TRUE (stateIs<InitialAppState>());
    EXPECT_TRUE (connectButton().isEnabled());
    EXPECT_EQ (connectButton().getButtonText(), "Connect Hardware");

    const auto home = juce::URL (MainComponent::homePageUrl);
    const auto support = juce::URL (MainComponent::supportPageUrl);
    EXPECT_TRUE (juce::String (MainComponent::homePageUrl).startsWith ("https://"));
    EXPECT_TRUE (juce::String (MainComponent::supportPageUrl).startsWith ("https://"));
    EXPECT_EQ (home.getSubPath(), "");
    EXPECT_TRUE (juce::String (MainComponent::homePageUrl).endsWith ("/"));
    EXPECT_EQ (support.getSubPath(), "hc/en-us/requests/new");

    folder.deleteRecursively();
}
