#pragma once

#include "AppStates.h"
#include "EmulatedAmplifier.h"
#include "MainComponent.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace windowtest
{
using Bytes = std::vector<uint8_t>;

/** The image the window writes into the amplifier, and the older one the amplifier starts
    with (version 1.2.3.30 in its description at 0x400). */
Bytes embeddedImage();
Bytes olderImage();

/** Runs the message loop until pred holds; the bound only guards against hangs. */
bool pumpUntil (const std::function<bool()>& pred, int timeoutMs = 30000);


/** What the window looked like at each moment the toast appeared. The toast can come and go
    within one turn of the message loop (its 4 s may pass while the information is read on
    the message thread), so it is watched rather than polled. */
class ToastWatcher : private juce::ComponentListener
{
public:
    struct Sighting
    {
        juce::String text;
        bool connectedState = false;
        bool ejectEnabled = false;
        bool firmwareButtonEnabled = false;
        juce::String firmwareButtonText;
    };

    explicit ToastWatcher (MainComponent& window);
    ~ToastWatcher() override;

    std::vector<Sighting> sightings;

private:
    void componentVisibilityChanged (juce::Component&) override;

    MainComponent& window;
};

/** The window's content on the simulator, with an amplifier that restarts in 200 ms and a
    reconnection delay to match, so that an update takes about two seconds. */
class WindowTest : public testing::Test
{
protected:
    WindowTest();
    void TearDown() override;

    /** Plugs in the emulated amplifier with the current config. */
    void plugAmplifier();

    /** Makes the component and waits until its initial state's view change has run. */
    void openWindow();

    /** What the window's close button does with no update running, then the component's
        destruction. */
    void closeWindow();

    /** Clicks "Connect Hardware" and waits until the info view shows the amplifier. */
    void connectByClick();

    /** Waits until the info view is up to date: connected state, queue drained, buttons
        enabled. */
    bool waitUntilConnectedShown (int timeoutMs = 30000);

    /** Waits until the connect view is back with "Connect Hardware" enabled. */
    bool waitUntilInitialShown (int timeoutMs = 30000);

    bool queueIsEmpty();

    template <typename State>
    bool stateIs() const
    {
        return window != nullptr && dynamic_cast<State*> (window->state.get()) != nullptr;
    }

    juce::TextButton& connectButton() const;
    juce::TextButton& ejectButton() const;
    juce::TextButton& firmwareButton() const;
    juce::String deviceText() const;
    juce::String serialText() const;
    juce::String firmwareText() const;
    juce::Colour firmwareButtonTextColour() const;

    /** The probe requests the amplifier got (frames with operation 02 12). */
    int probesReceived() const;

    sim::VirtualMidiService& service = sim::installSimulator();
    sim::EmulatedAmplifier::Config config;
    std::unique_ptr<sim::EmulatedAmplifier> amplifier;
    std::unique_ptr<MainComponent> window;
};
} // namespace windowtest

// Lets GoogleTest print rectangles and colours in failure messages.
namespace juce
{
inline void PrintTo (const Rectangle<int>& r, std::ostream* os) { *os << r.toString(); }
inline void PrintTo (const Colour& c, std::ostream* os) { *os << "0x" << c.toDisplayString (true); }
inline void PrintTo (const String& s, std::ostream* os) { *os << '"' << s << '"'; }
} // namespace juce
