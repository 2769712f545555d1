#include "WindowFixture.h"

#include "JwDeviceManager.h"
#include "MessageLoop.h"

using namespace windowtest;

// The poll looks at the port list every 2 s; a change is probed (about 1 s), then the
// connecting state probes again before it opens the amplifier.
TEST_F (WindowTest, PluggingInConnectsWithoutAClickAndUnpluggingGoesBack)
{
    plugAmplifier();
    amplifier->unplug();
    openWindow();

    // Nothing to find yet: the first polls leave the window as it is.
    testing_support::pumpFor (2500);
    EXPECT_TRUE (stateIs<InitialAppState>());
    EXPECT_TRUE (connectButton().isEnabled());

    amplifier->plug();
    ASSERT_TRUE (waitUntilConnectedShown (20000));
    EXPECT_EQ (serialText(), "TV40-2026-000731");
    EXPECT_EQ (firmwareText(), "1.2.3.30");
    EXPECT_NE (jw::DeviceManager::instance()->currentDevice(), nullptr);

    amplifier->unplug();
    ASSERT_TRUE (waitUntilInitialShown (20000));
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (connectButton().getButtonText(), "Connect Hardware");

    // And back in: connected again.
    amplifier->plug();
    ASSERT_TRUE (waitUntilConnectedShown (20000));
    EXPECT_EQ (serialText(), "TV40-2026-000731");
}

TEST_F (WindowTest, AnAmplifierPluggedInAtStartIsConnectedByTheFirstPoll)
{
    plugAmplifier();
    openWindow();

    ASSERT_TRUE (waitUntilConnectedShown (20000));
    EXPECT_EQ (serialText(), "TV40-2026-000731");
    EXPECT_FALSE (window->initialView->isVisible());
}
