#include "WindowFixture.h"

#include "BinaryData.h"
#include "JwDeviceManager.h"
#include "MessageLoop.h"
#include "Reconnect.h"
#include "SimulatorResources.h"

namespace windowtest
{
Bytes embeddedImage()
{
    return { BinaryData::temp_binary_data_2,
             BinaryData::temp_binary_data_2 + BinaryData::temp_binary_data_2Size };
}

Bytes olderImage()
{
    return { simresources::olderFirmwareImage,
             simresources::olderFirmwareImage + simresources::olderFirmwareImageSize };
}

bool pumpUntil (const std::function<bool()>& pred, int timeoutMs)
{
    return testing_support::pumpUntil (pred, timeoutMs);
}

//==============================================================================
ToastWatcher::ToastWatcher (MainComponent& w)
    : window (w)
{
    window.toast->addComponentListener (this);
}

ToastWatcher::~ToastWatcher()
{
    window.toast->removeComponentListener (this);
}

void ToastWatcher::componentVisibilityChanged (juce::Component& toast)
{
    if (! toast.isVisible())
        return;

    auto& rows = window.connectedView->rows;
    auto& firmwareButton = *rows[ConnectedDeviceInfoView::firmwareRow]->actionButton;

    Sighting sighting;
    sighting.text = window.toast->label->getText();
    sighting.connectedState = dynamic_cast<ConnectedAppState*> (window.state.get()) != nullptr;
    sighting.ejectEnabled = rows[ConnectedDeviceInfoView::deviceRow]->actionButton->isEnabled();
    sighting.firmwareButtonEnabled = firmwareButton.isEnabled();
    sighting.firmwareButtonText = firmwareButton.getButtonText();
    sightings.push_back (sighting);
}

//==============================================================================
WindowTest::WindowTest()
{
    reopenDelay = std::chrono::milliseconds (600);
    config.restartTimeMs = 200;
    config.flash = olderImage();
}

void WindowTest::TearDown()
{
    closeWindow();
    amplifier.reset();
}

void WindowTest::plugAmplifier()
{
    amplifier = std::make_unique<sim::EmulatedAmplifier> (service, config);
}

void WindowTest::openWindow()
{
    window = std::make_unique<MainComponent>();
    ASSERT_TRUE (pumpUntil ([this] { return queueIsEmpty(); }, 5000));
}

void WindowTest::closeWindow()
{
    auto* manager = jw::DeviceManager::instance();
    manager->stopPolling();

    if (auto* device = manager->currentDevice())
    {
        device->Close();
        manager->setCurrentDevice (nullptr);
    }

    window.reset();
}

void WindowTest::connectByClick()
{
    ASSERT_TRUE (connectButton().isEnabled());
    connectButton().triggerClick();
    ASSERT_TRUE (waitUntilConnectedShown());
}

bool WindowTest::waitUntilConnectedShown (int timeoutMs)
{
    return pumpUntil ([this]
    {
        return stateIs<ConnectedAppState>() && window->connectedView->isVisible()
            && firmwareButton().isEnabled() && queueIsEmpty();
    }, timeoutMs);
}

bool WindowTest::waitUntilInitialShown (int timeoutMs)
{
    return pumpUntil ([this]
    {
        return stateIs<InitialAppState>() && window->initialView->isVisible()
            && connectButton().isEnabled() && queueIsEmpty();
    }, timeoutMs);
}

bool WindowTest::queueIsEmpty()
{
    const std::lock_guard<std::mutex> lock (window->eventQueueLock);
    return window->eventQueue.empty();
}

juce::TextButton& WindowTest::connectButton() const
{
    return *window->initialView->connectButton;
}

juce::TextButton& WindowTest::ejectButton() const
{
    return *window->connectedView->rows[ConnectedDeviceInfoView::deviceRow]->actionButton;
}

juce::TextButton& WindowTest::firmwareButton() const
{
    return *window->connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton;
}

juce::String WindowTest::deviceText() const
{
    return window->connectedView->rows[ConnectedDeviceInfoView::deviceRow]->valueLabel->getText();
}

juce::String WindowTest::serialText() const
{
    return window->connectedView->rows[ConnectedDeviceInfoView::serialRow]->valueLabel->getText();
}

juce::String WindowTest::firmwareText() const
{
    return window->connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->valueLabel->getText();
}

juce::Colour WindowTest::firmwareButtonTextColour() const
{
    return firmwareButton().findColour (juce::TextButton::textColourOffId);
}

int WindowTest::probesReceived() const
{
    int count = 0;

    for (const auto& message : amplifier->getReceivedMessages())
        if (message.size() > 6 && message[0] == 0xf0 && message[4] == 0x02 && message[5] == 0x12)
            ++count;

    return count;
}
} // namespace windowtest
