// The window's connect, read and update with every fault knob at every phase: the window
// settles where the row says, stays usable, and updates the amplifier once it is back.

#include "Reliability.h"

#include "AppStates.h"
#include "BinaryData.h"
#include "MainComponent.h"
#include "MessageLoop.h"

using namespace reliability;
using testing_support::pumpUntil;

namespace
{
juce::TextButton& connectButton (MainComponent& mc) { return *mc.initialView->connectButton; }
juce::TextButton& ejectButton (MainComponent& mc) { return *mc.connectedView->rows[ConnectedDeviceInfoView::deviceRow]->actionButton; }
juce::TextButton& updateButton (MainComponent& mc) { return *mc.connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton; }
std::string toast (MainComponent& mc) { return mc.toast->label->getText().toStdString(); }

bool showsConnectView (MainComponent& mc)
{
    return dynamic_cast<InitialAppState*> (mc.state.get()) != nullptr && mc.initialView->isVisible() && ! mc.connectedView->isVisible()
        && connectButton (mc).isEnabled() && connectButton (mc).getButtonText() == "Connect Hardware";
}

// An amplifier connected, its information read, both buttons ready again.
bool showsInfoView (MainComponent& mc)
{
    return dynamic_cast<ConnectedAppState*> (mc.state.get()) != nullptr && mc.connectedView->isVisible() && ! mc.initialView->isVisible()
        && ejectButton (mc).isEnabled() && updateButton (mc).isEnabled() && updateButton (mc).getButtonText() == "Check to update"
        && updateButton (mc).findColour (juce::TextButton::textColourOffId) == juce::Colours::white;
}

bool settles (MainComponent& mc) { return pumpUntil ([&] { return showsConnectView (mc) || showsInfoView (mc); }, 60000 * slow); }

// Clicks Connect (the handler itself, as a poll's own click may be queued) and waits.
void connect (MainComponent& mc)
{
    ASSERT_TRUE (showsConnectView (mc));
    mc.buttonClicked (&connectButton (mc));
    ASSERT_TRUE (settles (mc)) << "Connect did not settle";
}

// Clicks "Check to update" and waits for the toast with the window settled: "ok" or "f".
std::string update (MainComponent& mc)
{
    mc.toast->label->setText ({}, juce::dontSendNotification);
    updateButton (mc).triggerClick();
    EXPECT_TRUE (pumpUntil ([&] { return ! toast (mc).empty() && showsInfoView (mc); }, 120000 * slow)) << "the update did not settle";
    return toast (mc) == "Your firmware is up-to-date." ? "ok" : toast (mc) == "Firmware updating failed!" ? "f" : toast (mc);
}

const Bytes embedded (reinterpret_cast<const uint8_t*> (BinaryData::temp_binary_data_2),
                      reinterpret_cast<const uint8_t*> (BinaryData::temp_binary_data_2) + BinaryData::temp_binary_data_2Size);

// Connect, then "Check to update" if connected; then the amplifier is plugged back in and
// the window, by Eject, Connect and update, must update it.
void playWindowRow (const Knob& knob, int phase)
{
    Amp amp (service(), fieldAmplifier());
    const auto expected = turnOnAt (knob, phase, (embedded.size() + 255) / 256, true, amp);
    {
        auto mc = std::make_unique<MainComponent>();
        ASSERT_NO_FATAL_FAILURE (connect (*mc));
        const auto outcome = showsInfoView (*mc) ? update (*mc) : "c";
        EXPECT_EQ (outcome, expected);
        EXPECT_TRUE (outcome != "ok" || amp.flashEquals (embedded)) << "success shown, flash differs";

        ASSERT_NO_FATAL_FAILURE (plugBackIn (amp));
        ASSERT_TRUE (settles (*mc));
        if (showsInfoView (*mc))
            ejectButton (*mc).triggerClick();
        ASSERT_TRUE (pumpUntil ([&] { return showsConnectView (*mc); }, 30000 * slow)) << "Eject did not settle";
        ASSERT_NO_FATAL_FAILURE (connect (*mc));
        ASSERT_TRUE (showsInfoView (*mc)) << "the amplifier is back but not connected";
        EXPECT_EQ (update (*mc), "ok");
        EXPECT_TRUE (amp.flashEquals (embedded) && amp.getFirmwareStatus() == 1 && ! amp.isInBootloaderMode());
    }

    // With the window gone, nothing may hold a port.
    jw::DeviceManager::instance()->stopPolling();
    if (auto* device = jw::DeviceManager::instance()->currentDevice())
        device->Close();
    EXPECT_EQ (service().getNumOpenInputs() + service().getNumOpenOutputs(), 0) << "ports left open";
}
} // namespace

TEST (FaultMatrix, WindowEveryKnobAtEveryPhase)
{
    forEachKnobAtEachPhase (playWindowRow);
}
