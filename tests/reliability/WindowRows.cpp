#include "Harness.h"
#include "Knobs.h"
#include "Rows.h"

#include "AppStates.h"
#include "JwDeviceManager.h"
#include "MainComponent.h"
#include "Reconnect.h"

#include <iostream>
#include <sstream>

namespace reliability
{

namespace
{
#if TARVO_RELIABILITY_SANITIZED
constexpr int slowdown = 4;
#else
constexpr int slowdown = 1;
#endif

constexpr const char* successText = "Your firmware is up-to-date.";
constexpr const char* failureText = "Firmware updating failed!";

/** A line in the row's log with the time since the row began, to see where time goes. */
void logStep (const std::string& step)
{
    static const auto start = std::chrono::steady_clock::now();
    const auto seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
    std::cerr << "[" << juce::String (seconds, 2) << " s] " << step << std::endl;
}

/** Runs the message loop until the condition holds or the time runs out (a guard
    against hangs only). */
bool pumpUntil (const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs * slowdown);

    while (! condition())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
    }

    return true;
}

template <typename State>
bool isIn (const MainComponent& mc)
{
    return dynamic_cast<const State*> (mc.state.get()) != nullptr;
}

juce::TextButton& connectButton (MainComponent& mc) { return *mc.initialView->connectButton; }
juce::TextButton& ejectButton (MainComponent& mc)   { return *mc.connectedView->rows[ConnectedDeviceInfoView::deviceRow]->actionButton; }
juce::TextButton& updateButton (MainComponent& mc)  { return *mc.connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton; }

/** Nothing connected, the connect view ready for a click. */
bool showsConnectView (MainComponent& mc)
{
    return isIn<InitialAppState> (mc)
        && mc.initialView->isVisible() && ! mc.connectedView->isVisible()
        && connectButton (mc).isEnabled() && connectButton (mc).getButtonText() == "Connect Hardware";
}

/** An amplifier connected, its information read, both row buttons ready. */
bool showsInfoView (MainComponent& mc)
{
    return isIn<ConnectedAppState> (mc)
        && mc.connectedView->isVisible() && ! mc.initialView->isVisible()
        && ejectButton (mc).isEnabled() && updateButton (mc).isEnabled()
        && updateButton (mc).getButtonText() == "Check to update"
        && updateButton (mc).findColour (juce::TextButton::textColourOffId) == juce::Colours::white;
}

bool isIdle (MainComponent& mc)
{
    return showsConnectView (mc) || showsInfoView (mc);
}

std::string toastText (MainComponent& mc)
{
    return mc.toast->label->getText().toStdString();
}

std::string describe (MainComponent& mc)
{
    std::ostringstream out;

    if (showsConnectView (mc))
        out << "connect view";
    else if (showsInfoView (mc))
        out << "info view, SN '" << mc.connectedView->rows[ConnectedDeviceInfoView::serialRow]->valueLabel->getText()
            << "', FW '" << mc.connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->valueLabel->getText() << "'";
    else
        out << "busy (" << (mc.state != nullptr ? typeid (*mc.state).name() : "no state") << ")";

    if (! toastText (mc).empty())
        out << ", toast '" << toastText (mc) << "'";

    return out.str();
}

/** Clicks Connect as a user does, and waits for the window to settle. */
bool connect (MainComponent& mc)
{
    if (! showsConnectView (mc))
        return false;

    // The click handler itself: a click message queued behind a poll's own click could
    // otherwise both find the button still enabled.
    logStep ("click Connect");
    mc.buttonClicked (&connectButton (mc));
    return pumpUntil ([&] { return isIdle (mc); }, 90000);
}

/** Clicks "Check to update" and waits for the outcome toast with the window settled. */
bool update (MainComponent& mc)
{
    if (! showsInfoView (mc))
        return false;

    mc.toast->label->setText ({}, juce::dontSendNotification);
    logStep ("click Check to update");
    updateButton (mc).triggerClick();
    return pumpUntil ([&] { return ! toastText (mc).empty() && showsInfoView (mc); }, 180000);
}

/** The window's way back after a failure: Eject if connected, then Connect (unless the
    poll, seeing the amplifier come back, connects on its own), then update. */
bool recoverThroughWindow (MainComponent& mc, bool amplifierWasReplugged, std::ostringstream& note)
{
    if (! pumpUntil ([&] { return isIdle (mc); }, 60000))
    {
        note << "window not idle before recovery: " << describe (mc) << "; ";
        return false;
    }

    logStep ("recovery: " + describe (mc));

    if (showsInfoView (mc))
    {
        logStep ("click Eject");
        ejectButton (mc).triggerClick();

        if (! pumpUntil ([&] { return showsConnectView (mc); }, 30000))
        {
            note << "Eject did not lead to the connect view: " << describe (mc) << "; ";
            return false;
        }
    }

    // A poll that sees the amplifier return connects by itself; give it its tick.
    if (amplifierWasReplugged)
        pumpUntil ([&] { return ! showsConnectView (mc); }, 2500);

    if (! pumpUntil ([&] { return isIdle (mc); }, 90000))
    {
        note << "window not idle: " << describe (mc) << "; ";
        return false;
    }

    if (showsConnectView (mc) && ! connect (mc))
    {
        note << "Connect did not settle: " << describe (mc) << "; ";
        return false;
    }

    if (! showsInfoView (mc))
    {
        note << "no amplifier connected for the recovery: " << describe (mc) << "; ";
        return false;
    }

    if (! update (mc))
    {
        note << "recovery update did not settle: " << describe (mc) << "; ";
        return false;
    }

    if (toastText (mc) != successText)
    {
        note << "recovery update: " << describe (mc) << "; ";
        return false;
    }

    return true;
}

void dropDevice()
{
    auto* manager = jw::DeviceManager::instance();
    manager->stopPolling();

    if (auto* device = manager->currentDevice())
    {
        device->Close();
        manager->setCurrentDevice (nullptr);
    }
}

/** One window flow with a fault: Connect, then "Check to update" if connected; then the
    amplifier is plugged back in and the window must update it cleanly. */
RowResult playWindowRow (const std::function<void (sim::EmulatedAmplifier&)>& arm, const std::string& expected)
{
    backend().clear();
    reopenDelay = fastReopenDelay;
    const auto image = embeddedImage();
    sim::EmulatedAmplifier amplifier (service(), fieldAmplifier());
    arm (amplifier);

    RowResult result;
    std::ostringstream note;

    {
        auto mc = std::make_unique<MainComponent>();

        std::string outcome = "stuck";

        if (! connect (*mc))
            note << "connect did not settle: " << describe (*mc) << "; ";
        else if (showsConnectView (*mc))
            outcome = "connect";
        else if (! update (*mc))
            note << "update did not settle: " << describe (*mc) << "; ";
        else if (toastText (*mc) == successText)
            outcome = "ok";
        else if (toastText (*mc) == failureText)
            outcome = "failed";

        backend().clear();
        result.actual = outcome + ": " + describe (*mc);
        logStep ("outcome " + result.actual);

        if (outcome != expected)
            note << "expected " << expected << "; ";

        if (outcome == "ok" && ! amplifier.flashEquals (image))
            note << "success shown but the flash differs; ";

        result.asExpected = note.str().empty();

        amplifier.clearFaults();
        service().refuseOpensAfter (amplifier.getDeviceId(), -1);
        const bool replugged = ! amplifier.isPlugged();
        amplifier.plug();

        if (! amplifier.waitUntilPlugged (true, 5000))
            note << "the amplifier did not come back; ";

        result.recovered = recoverThroughWindow (*mc, replugged, note)
                        && amplifier.flashEquals (image)
                        && amplifier.getFirmwareStatus() == 1
                        && ! amplifier.isInBootloaderMode();

        if (! result.recovered)
            note << "recovery: flash " << (amplifier.flashEquals (image) ? "equal" : "differs")
                 << ", status " << (int) amplifier.getFirmwareStatus()
                 << (amplifier.isInBootloaderMode() ? " (bootloader)" : "") << "; ";

        logStep ("recovered: " + describe (*mc));
        mc.reset();
    }

    dropDevice();

    if (service().getNumOpenInputs() != 0 || service().getNumOpenOutputs() != 0)
    {
        note << "ports left open after the window closed; ";
        result.asExpected = false;
    }

    result.note = note.str();
    return result;
}

std::string windowExpectationText (const std::string& outcome)
{
    if (outcome == "connect") return "back to Connect Hardware";
    if (outcome == "ok")      return std::string ("toast '") + successText + "'";
    return std::string ("toast '") + failureText + "'";
}

/** Clicks a button twice before the window has had a chance to disable it: a quick
    double click, or a click that meets the poll's own click on Connect. */
void doubleClick (juce::Button& button)
{
    button.triggerClick();
    button.triggerClick();
}

/** Connect and update with each button clicked twice in a row; the window must end as
    after one click, and the amplifier must be updated. */
RowResult playDoubleClickRow (int which)
{
    backend().clear();
    reopenDelay = fastReopenDelay;
    const auto image = embeddedImage();
    sim::EmulatedAmplifier amplifier (service(), fieldAmplifier());

    RowResult result;
    std::ostringstream note;

    {
        auto mc = std::make_unique<MainComponent>();

        if (which == 0)
        {
            logStep ("double click Connect");
            doubleClick (connectButton (*mc));
            pumpUntil ([&] { return ! isIn<InitialAppState> (*mc); }, 5000);

            if (! pumpUntil ([&] { return isIdle (*mc); }, 90000))
                note << "connect did not settle: " << describe (*mc) << "; ";
        }
        else if (! connect (*mc))
        {
            note << "connect did not settle: " << describe (*mc) << "; ";
        }

        if (which == 1 && showsInfoView (*mc))
        {
            logStep ("double click Check to update");
            mc->toast->label->setText ({}, juce::dontSendNotification);
            doubleClick (updateButton (*mc));

            if (! pumpUntil ([&] { return ! toastText (*mc).empty() && showsInfoView (*mc); }, 180000))
                note << "update did not settle: " << describe (*mc) << "; ";
        }
        else if (which == 2 && showsInfoView (*mc))
        {
            logStep ("double click Eject");
            doubleClick (ejectButton (*mc));

            if (! pumpUntil ([&] { return showsConnectView (*mc); }, 30000))
                note << "Eject did not settle: " << describe (*mc) << "; ";

            if (! connect (*mc))
                note << "connect after Eject did not settle: " << describe (*mc) << "; ";
            else if (! update (*mc))
                note << "update did not settle: " << describe (*mc) << "; ";
        }
        else if (showsInfoView (*mc) && ! update (*mc))
        {
            note << "update did not settle: " << describe (*mc) << "; ";
        }

        result.actual = describe (*mc);
        logStep ("outcome " + result.actual);

        if (toastText (*mc) != successText)
            note << "expected the success toast; ";

        // One update restarts the amplifier twice (status reset, final status).
        if (amplifier.getNumRestarts() != 2)
            note << amplifier.getNumRestarts() << " restarts of the amplifier, not 2; ";

        result.asExpected = note.str().empty();
        result.recovered = amplifier.flashEquals (image) && amplifier.getFirmwareStatus() == 1
                        && ! amplifier.isInBootloaderMode();
        mc.reset();
    }

    dropDevice();
    result.note = note.str();
    return result;
}
} // namespace

//==============================================================================
std::vector<Row> windowClickRows()
{
    const char* buttons[] = { "Connect Hardware", "Check to update", "Eject" };
    std::vector<Row> rows;

    for (int which = 0; which < 3; ++which)
    {
        Row row;
        row.suite = "window-clicks";
        row.id = "window-clicks/" + std::to_string (which);
        row.knob = "double click";
        row.phase = buttons[which];
        row.expected = std::string ("toast '") + successText + "', one update";
        row.run = [which] { return playDoubleClickRow (which); };
        rows.push_back (std::move (row));
    }

    return rows;
}

std::vector<Row> windowMatrixRows()
{
    const auto numBlocks = (size_t) ((embeddedImage().size() + 255) / 256);
    const auto phases = windowPhases (numBlocks);
    std::vector<Row> rows;

    for (size_t knobIndex = 0; knobIndex < knobs().size(); ++knobIndex)
    {
        const auto& knob = knobs()[knobIndex];

        for (size_t p = 0; p < numPhases; ++p)
        {
            const std::string expected = knob.window[p];
            const auto phase = phases[p];

            Row row;
            row.suite = "matrix-window";
            row.id = "matrix-window/" + std::to_string (knobIndex) + "/" + std::to_string (p);
            row.knob = knob.name;
            row.phase = phase.name;
            row.expected = windowExpectationText (expected);
            row.run = [knobIndex, phase, expected]
            {
                const auto& k = knobs()[knobIndex];

                return playWindowRow ([&k, phase] (sim::EmulatedAmplifier& amplifier)
                {
                    if (k.aimsAtMessage || phase.index == 0)
                    {
                        k.turnOn (amplifier, phase.index, true);
                        return;
                    }

                    auto* target = &amplifier;
                    backend().armBefore (phase.kind, phase.occurrence, [&k, target] { k.turnOn (*target, 0, true); });
                }, expected);
            };

            rows.push_back (std::move (row));
        }
    }

    return rows;
}

} // namespace reliability
