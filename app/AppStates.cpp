#include "AppStates.h"

#include "BinaryData.h"
#include "Bootloader.h"
#include "DeviceSession.h"
#include "FirmwareUpdateSession.h"
#include "JwDeviceManager.h"
#include "JwUsbMidiH3.h"
#include "MainComponent.h"
#include "Reconnect.h"

namespace
{
using SafeComponent = juce::Component::SafePointer<MainComponent>;

constexpr juce::uint32 busyTextColour = 0xffe4af09;

jw::DeviceManager& manager()
{
    return *jw::DeviceManager::instance();
}

/** Queues a view change and schedules the queue's drain. */
void queueUiEvent (MainComponent* mc, std::function<void()> event)
{
    mc->pushAsyncEvent (std::move (event));
    mc->triggerAsyncUpdate();
}

/** Posts a task's last step to the message thread. It is dropped if the window went, or if
    the window left the state that started the task meanwhile (a device-list change, say):
    a late completion must not move a window that has gone on without it. */
template <typename State>
void postCompletion (SafeComponent mc, std::function<void (MainComponent*)> fn)
{
    juce::MessageManager::callAsync ([mc, fn = std::move (fn)]
    {
        if (auto* component = mc.getComponent())
            if (dynamic_cast<State*> (component->state.get()) != nullptr)
                fn (component);
    });
}

void showBusy (MainComponent* mc, const juce::String& text)
{
    auto& rows = mc->connectedView->rows;
    rows[ConnectedDeviceInfoView::deviceRow]->actionButton->setEnabled (false);
    auto& firmwareButton = *rows[ConnectedDeviceInfoView::firmwareRow]->actionButton;
    firmwareButton.setEnabled (false);
    firmwareButton.setColour (juce::TextButton::textColourOffId, juce::Colour (busyTextColour));
    firmwareButton.setButtonText (text);
}

template <typename Session>
std::string readString (JwDevice* device)
{
    auto session = std::make_shared<Session>();
    session->timeout_ms_ = 3000;
    session->error_code_ = 0;

    // A silent amplifier (one in its bootloader, say) leaves the text empty; the window
    // must stay usable.
    try
    {
        session->Perform (device);
    }
    catch (const std::exception&)
    {
        return {};
    }

    return session->reply_.value_;
}
} // namespace

//==============================================================================
void InitialAppState::apply (MainComponent* mc) const
{
    if (auto* device = manager().currentDevice())
    {
        device->Close();
        manager().setCurrentDevice (nullptr);
    }

    manager().startPolling();

    queueUiEvent (mc, [mc]
    {
        mc->initialView->setVisible (true);
        mc->connectedView->setVisible (false);
        mc->initialView->connectButton->setButtonText ("Connect Hardware");
        mc->initialView->connectButton->setEnabled (true);
        mc->resized();
    });
}

//==============================================================================
ConnectingAppState::~ConnectingAppState()
{
    if (task.valid())
        task.wait();
}

void ConnectingAppState::apply (MainComponent* mc) const
{
    queueUiEvent (mc, [mc]
    {
        mc->initialView->connectButton->setButtonText ("Connecting...");
        mc->initialView->connectButton->setEnabled (false);
        mc->resized();
    });

    task = std::async (std::launch::async, [safe = SafeComponent (mc)]
    {
        auto* dm = &manager();
        dm->stopPolling();

        int count = 0;

        try
        {
            count = dm->impl->probeAll();
        }
        catch (const std::exception&)
        {
            count = 0;
        }

        postCompletion<ConnectingAppState> (safe, [count, dm] (MainComponent* component)
        {
            std::unique_ptr<AppState> next;
            const auto ids = count > 0 ? dm->deviceUuids() : std::vector<DeviceUuid>();

            if (! ids.empty())
            {
                auto* device = new JwUsbMidiH3 (reinterpret_cast<const char*> (ids.front().data()));
                dm->setCurrentDevice (device);

                if (! device->Open())
                    dm->setCurrentDevice (nullptr);

                next = std::make_unique<ConnectedAppState>();
            }
            else
            {
                next = std::make_unique<InitialAppState>();
            }

            component->changeState (std::move (next));
        });
    });
}

//==============================================================================
void ConnectedAppState::apply (MainComponent* mc) const
{
    juce::MessageManager::callAsync ([safe = SafeComponent (mc)]
    {
        // Only while this window still shows a connected amplifier.
        if (auto* component = safe.getComponent())
            if (dynamic_cast<ConnectedAppState*> (component->state.get()) != nullptr)
                readDeviceInfo (component);
    });
}

std::string ConnectedAppState::formatVersion (const uint8_t (&bytes)[4])
{
    return std::to_string (bytes[0]) + "." + std::to_string (bytes[1]) + "."
         + std::to_string (bytes[2]) + "." + std::to_string (bytes[3]);
}

void ConnectedAppState::readDeviceInfo (MainComponent* mc)
{
    auto* device = manager().currentDevice();

    const auto extraInfo = readString<ExtraInfoSession> (device);
    const auto serial = readString<SerialNumberSession> (device);

    std::string version;

    try
    {
        bootloader::DownloadFirmwareVersionSession session;
        session.timeout_ms_ = 3000;
        session.error_code_ = 0;

        if (session.Perform (device) && session.hasFwInfo())
            version = formatVersion (session.fw_info_.fw_version);
    }
    catch (const std::exception&)
    {
    }

    mc->pushAsyncEvent ([mc, extraInfo, serial, version]
    {
        auto& rows = mc->connectedView->rows;
        rows[ConnectedDeviceInfoView::deviceRow]->actionButton->setEnabled (true);
        rows[ConnectedDeviceInfoView::firmwareRow]->actionButton->setEnabled (true);
        rows[ConnectedDeviceInfoView::serialRow]->valueLabel->setText (juce::String::fromUTF8 (serial.c_str(), (int) serial.size()),
                                                                       juce::dontSendNotification);
        rows[ConnectedDeviceInfoView::firmwareRow]->valueLabel->setText (juce::String (version),
                                                                         juce::dontSendNotification);
        auto& firmwareButton = *rows[ConnectedDeviceInfoView::firmwareRow]->actionButton;
        firmwareButton.setColour (juce::TextButton::textColourOffId, juce::Colours::white);
        firmwareButton.setButtonText ("Check to update");
        mc->initialView->setVisible (false);
        mc->connectedView->setVisible (true);
        mc->resized();
    });

    manager().startPolling();
    mc->triggerAsyncUpdate();
}

//==============================================================================
FirmwareCheckingAppState::~FirmwareCheckingAppState()
{
    if (task.valid())
        task.wait();
}

void FirmwareCheckingAppState::apply (MainComponent* mc) const
{
    queueUiEvent (mc, [mc] { showBusy (mc, "Checking..."); });

    task = std::async (std::launch::async, [safe = SafeComponent (mc)]
    {
        manager().stopPolling();

        postCompletion<FirmwareCheckingAppState> (safe, [] (MainComponent* component)
        {
            if (component->isQuitPending())
            {
                if (component->onQuitReady)
                    component->onQuitReady();

                return;
            }

            component->changeState (std::make_unique<FirmwareUpdatingAppState>());
        });
    });
}

//==============================================================================
FirmwareUpdatingAppState::~FirmwareUpdatingAppState()
{
    if (task.valid())
        task.wait();
}

void FirmwareUpdatingAppState::apply (MainComponent* mc) const
{
    manager().stopPolling();
    queueUiEvent (mc, [mc] { showBusy (mc, "Updating..."); });

    task = std::async (std::launch::async, [safe = SafeComponent (mc)]
    {
        FirmwareUpdateSession session;
        session.timeout_ms_ = 3000;
        session.error_code_ = 0;
        session.fw_path_.clear();
        session.progress_cb_ = nullptr;
        session.fw_data_ = BinaryData::temp_binary_data_2;
        session.fw_size_ = BinaryData::temp_binary_data_2Size;
        session.load_from_file_ = false;
        session.settle_delay_ms_ = 0;
        session.block_delay_ms_ = 0;
        session.status_reset_cb_ = &reopenDevice;
        session.cb_user_data_ = nullptr;
        session.finish_cb_ = &reopenDevice;

        bool result = false;

        try
        {
            result = session.Perform (manager().currentDevice());
        }
        catch (const std::exception&)
        {
            result = false;
        }

        postCompletion<FirmwareUpdatingAppState> (safe, [result] (MainComponent* component)
        {
            // The window was closed meanwhile: now that nothing uses the device, quit.
            if (component->isQuitPending())
            {
                if (component->onQuitReady)
                    component->onQuitReady();

                return;
            }

            component->changeState (std::make_unique<ConnectedAppState>());
            component->toast->showMessage (result ? "Your firmware is up-to-date."
                                                  : "Firmware updating failed!");
        });
    });
}
