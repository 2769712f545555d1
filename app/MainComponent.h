#pragma once

#include "DeviceInfoEditView.h"
#include "InitialDeviceInfoView.h"
#include "MessageToast.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class AppState;

namespace jw
{
class DeviceManager;
}

/** The window's content: the picture, the connect and info views, the toast, the current
    application state and the queue through which the states change the views. */
class MainComponent : public juce::Component,
                      public juce::AsyncUpdater,
                      public juce::Button::Listener
{
public:
    /** The maker's pages opened by the two links. */
    static constexpr const char* homePageUrl = "https://tarvo.example/";
    static constexpr const char* supportPageUrl = "https://support.tarvo.example/hc/en-us/requests/new";

    MainComponent();
    ~MainComponent() override;

    void paint (juce::Graphics&) override;
    void resized() override;
    void buttonClicked (juce::Button*) override;
    void handleAsyncUpdate() override;

    /** Queues a view change; the caller then calls triggerAsyncUpdate. */
    void pushAsyncEvent (std::function<void()> event);

    /** The device manager's device-list callback. */
    void onDeviceListChanged (jw::DeviceManager* manager);

    /** Stores the new state, destroys the old one (waiting for its task) and applies it. */
    void changeState (std::unique_ptr<AppState> newState);

    /** The window's close button: quits at once, or, while an update is writing to the
        amplifier, as soon as it has ended. Returns true when the quit may happen now. */
    bool requestQuit();

    /** True once a quit was asked for while an update ran. */
    bool isQuitPending() const noexcept { return quitPending; }

    std::unique_ptr<juce::ImageButton> pictureButton;
    juce::Image picture;
    std::unique_ptr<InitialDeviceInfoView> initialView;
    std::unique_ptr<ConnectedDeviceInfoView> connectedView;
    std::unique_ptr<MessageToast> toast;
    juce::StretchableLayoutManager verticalLayout;
    juce::StretchableLayoutManager horizontalLayout;
    std::unique_ptr<AppState> state;
    std::deque<std::function<void()>> eventQueue;
    std::mutex eventQueueLock;

    /** Run when a deferred quit becomes possible; the application installs it. */
    std::function<void()> onQuitReady;

private:
    juce::Component& shownView() const;

    bool quitPending = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
