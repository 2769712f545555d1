#include "WindowFixture.h"

#include "JwDeviceManager.h"
#include "MessageLoop.h"

#include <algorithm>
#include <cstring>

using namespace windowtest;

namespace
{
bool isFirmwareInfoRequest (const Bytes& message)
{
    static const char name[] = "GetFwInfo";
    const auto length = sizeof (name) - 1;
    return message.size() >= length + 2 && std::memcmp (message.data() + 1, name, length) == 0;
}

class WindowFaultTest : public WindowTest
{
protected:
    /** After a failed or silent exchange the window must still take clicks. */
    void expectUsableInfoView()
    {
        EXPECT_TRUE (window->connectedView->isVisible());
        EXPECT_TRUE (ejectButton().isEnabled());
        EXPECT_TRUE (firmwareButton().isEnabled());
        EXPECT_EQ (firmwareButton().getButtonText(), "Check to update");
        EXPECT_EQ (firmwareButtonTextColour(), juce::Colours::white);
    }
};
} // namespace

TEST_F (WindowFaultTest, RefusedBlocksGiveTheFailureToastAndTheConnectedStateAgain)
{
    plugAmplifier();
    openWindow();
    connectByClick();

    amplifier->setRefuseAllBlocks (true);
    ToastWatcher toastWatcher (*window);
    firmwareButton().triggerClick();

    ASSERT_TRUE (pumpUntil ([&] { return ! toastWatcher.sightings.empty(); }, 60000));
    EXPECT_EQ (toastWatcher.sightings[0].text, "Firmware updating failed!");
    EXPECT_TRUE (toastWatcher.sightings[0].connectedState);

    // The information is read again (the amplifier waits in its bootloader now and answers
    // only the firmware query): the texts that did not come are empty.
    ASSERT_TRUE (waitUntilConnectedShown());
    expectUsableInfoView();
    EXPECT_EQ (firmwareText(), "1.2.3.30");
    EXPECT_TRUE (amplifier->flashEquals (olderImage()));

    // A second try, with the amplifier accepting blocks again, succeeds.
    amplifier->setRefuseAllBlocks (false);
    window->toast->timerCallback();
    firmwareButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return toastWatcher.sightings.size() == 2; }, 60000));
    EXPECT_EQ (toastWatcher.sightings[1].text, "Your firmware is up-to-date.");
    ASSERT_TRUE (waitUntilConnectedShown());
    EXPECT_TRUE (amplifier->flashEquals (embeddedImage()));
}

TEST_F (WindowFaultTest, ASilentAmplifierLeavesEmptyTextsAndAUsableWindow)
{
    config.flash = olderImage();
    plugAmplifier();
    amplifier->setSilentOnStringQueries (true);

    // The probe is message 0; what follows are the information queries: no replies.
    for (size_t index = 1; index < 8; ++index)
        amplifier->dropReplyToMessage (index);

    openWindow();
    connectByClick();

    const auto received = amplifier->getReceivedMessages();
    ASSERT_LE (received.size(), 8u);
    ASSERT_TRUE (std::any_of (received.begin() + 1, received.end(), isFirmwareInfoRequest));

    EXPECT_EQ (serialText(), "");
    EXPECT_EQ (firmwareText(), "");
    expectUsableInfoView();
    EXPECT_NE (jw::DeviceManager::instance()->currentDevice(), nullptr);

    // Eject still works.
    ejectButton().triggerClick();
    ASSERT_TRUE (waitUntilInitialShown (10000));
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (WindowFaultTest, AnAmplifierInItsBootloaderShowsOnlyItsFirmwareVersion)
{
    config.bootloaderMode = true;
    plugAmplifier();
    openWindow();
    connectByClick();

    EXPECT_EQ (serialText(), "");
    EXPECT_EQ (firmwareText(), "1.2.3.30");
    expectUsableInfoView();
}

TEST_F (WindowFaultTest, AnUpdateWithoutADeviceFailsAtOnce)
{
    plugAmplifier();
    openWindow();
    connectByClick();

    // The device vanishes from the slot behind the window's back (as after a failed open).
    auto* manager = jw::DeviceManager::instance();
    manager->currentDevice()->Close();
    manager->setCurrentDevice (nullptr);
    const auto messagesBefore = amplifier->getNumReceivedMessages();

    ToastWatcher toastWatcher (*window);
    firmwareButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([&] { return ! toastWatcher.sightings.empty(); }, 30000));
    EXPECT_EQ (toastWatcher.sightings[0].text, "Firmware updating failed!");
    ASSERT_TRUE (waitUntilConnectedShown());
    expectUsableInfoView();
    EXPECT_EQ (serialText(), "");
    EXPECT_EQ (firmwareText(), "");
    EXPECT_EQ (amplifier->getNumReceivedMessages(), messagesBefore);
}
