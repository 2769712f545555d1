// The window's connect, read and update with every fault knob at every phase: the window
// settles where the row says, stays usable, and updates the amplifier once it is back.
// Against the emulated amplifier on the simulator's ports, each row in a process of its own
// (see Reliability.h), the window's message loop run by the row's thread.

#include "Reliability.h"

#include "AppStates.h"
#include "BinaryData.h"
#include "MainComponent.h"
#include "MessageLoop.h"

#include <gmock/gmock.h>

using namespace reliability;
using testing_support::pumpUntil;

namespace
{
juce::TextButton& connectButton (MainComponent& mc)
{
    return *mc.initialView->connectButton;
}

juce::TextButton& ejectButton (MainComponent& mc)
{
    return *mc.connectedView->rows[ConnectedDeviceInfoView::deviceRow]->actionButton;
}

juce::TextButton& updateButton (MainComponent& mc)
{
    return *mc.connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton;
}

std::string toast (MainComponent& mc)
{
    return mc.toast->label->getText().toStdString();
}

bool updateTextIsWhite (MainComponent& mc)
{
    return updateButton (mc).findColour (juce::TextButton::textColourOffId) == juce::Colours::white;
}

bool showsConnectView (MainComponent& mc)
{
    return dynamic_cast<InitialAppState*> (mc.state.get()) != nullptr
        && mc.initialView->isVisible()
        && ! mc.connectedView->isVisible()
        && connectButton (mc).isEnabled()
        && connectButton (mc).getButtonText() == "Connect Hardware";
}

// An amplifier connected, its information read, both buttons ready again.
bool showsInfoView (MainComponent& mc)
{
    return dynamic_cast<ConnectedAppState*> (mc.state.get()) != nullptr
        && mc.connectedView->isVisible()
        && ! mc.initialView->isVisible()
        && ejectButton (mc).isEnabled()
        && updateButton (mc).isEnabled()
        && updateButton (mc).getButtonText() == "Check to update"
        && updateTextIsWhite (mc);
}

std::string describeButton (juce::TextButton& button)
{
    return "'" + button.getButtonText().toStdString() + "'"
         + (button.isEnabled() ? " enabled" : " disabled");
}

std::string stateName (MainComponent& mc)
{
    if (dynamic_cast<InitialAppState*> (mc.state.get()) != nullptr)
        return "initial";

    if (dynamic_cast<ConnectedAppState*> (mc.state.get()) != nullptr)
        return "connected";

    return "another";
}

// Which of its two settled views the window shows: "connect", "info", or else what it shows.
std::string viewShown (MainComponent& mc)
{
    if (showsConnectView (mc))
        return "connect";

    if (showsInfoView (mc))
        return "info";

    std::ostringstream shown;
    shown << "neither: state " << stateName (mc)
          << ", connect view " << (mc.initialView->isVisible() ? "shown" : "hidden")
          << ", info view " << (mc.connectedView->isVisible() ? "shown" : "hidden")
          << ", connect " << describeButton (connectButton (mc))
          << ", eject " << describeButton (ejectButton (mc))
          << ", update " << describeButton (updateButton (mc))
          << (updateTextIsWhite (mc) ? ", white" : ", not white");
    return shown.str();
}

bool settles (MainComponent& mc)
{
    return pumpUntil ([&] { return showsConnectView (mc) || showsInfoView (mc); }, 60000 * slow);
}

// Clicks Connect (the handler itself, as a poll's own click may be queued) and waits.
void connect (MainComponent& mc)
{
    ASSERT_EQ ("connect", viewShown (mc));
    mc.buttonClicked (&connectButton (mc));
    settles (mc);
    ASSERT_THAT (viewShown (mc), testing::AnyOf ("connect", "info")) << "Connect did not settle";
}

// Clicks "Check to update" and waits for the toast with the window settled: "ok" or "f".
std::string update (MainComponent& mc)
{
    mc.toast->label->setText ({}, juce::dontSendNotification);
    updateButton (mc).triggerClick();

    pumpUntil ([&] { return ! toast (mc).empty() && showsInfoView (mc); }, 120000 * slow);
    EXPECT_NE ("", toast (mc)) << "the update did not settle";
    EXPECT_EQ ("info", viewShown (mc)) << "the update did not settle";

    if (toast (mc) == "Your firmware is up-to-date.")
        return "ok";

    if (toast (mc) == "Firmware updating failed!")
        return "f";

    return toast (mc);
}

const Bytes embedded (reinterpret_cast<const uint8_t*> (BinaryData::temp_binary_data_2),
                      reinterpret_cast<const uint8_t*> (BinaryData::temp_binary_data_2)
                          + BinaryData::temp_binary_data_2Size);

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
        EXPECT_EQ (expected, outcome);

        if (outcome == "ok")
        {
            EXPECT_TRUE (amp.flashEquals (embedded)) << "success shown, flash differs";
        }

        {
            SCOPED_TRACE ("the update with the fault");
            expectKnobSeen (knob, true);
        }

        ASSERT_NO_FATAL_FAILURE (plugBackIn (amp));
        settles (*mc);
        ASSERT_THAT (viewShown (*mc), testing::AnyOf ("connect", "info"));

        if (showsInfoView (*mc))
            ejectButton (*mc).triggerClick();

        pumpUntil ([&] { return showsConnectView (*mc); }, 30000 * slow);
        ASSERT_EQ ("connect", viewShown (*mc)) << "Eject did not settle";
        ASSERT_NO_FATAL_FAILURE (connect (*mc));
        ASSERT_EQ ("info", viewShown (*mc)) << "the amplifier is back but not connected";
        EXPECT_EQ ("ok", update (*mc));
        expectRunning (amp, embedded);
    }

    // With the window gone, nothing may hold a port.
    jw::DeviceManager::instance()->stopPolling();

    if (auto* device = jw::DeviceManager::instance()->currentDevice())
        device->Close();

    EXPECT_EQ (0, service().getNumOpenInputs()) << "input ports left open";
    EXPECT_EQ (0, service().getNumOpenOutputs()) << "output ports left open";
}
} // namespace

TEST (FaultMatrix, WindowEveryKnobAtEveryPhase)
{
    forEachKnobAtEachPhase (playWindowRow);
}
