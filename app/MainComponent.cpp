#include "MainComponent.h"

#include "AppStates.h"
#include "BinaryData.h"
#include "JwDeviceManager.h"

MainComponent::MainComponent()
    : state (std::make_unique<InitialAppState>())
{
    picture = juce::ImageFileFormat::loadFrom (BinaryData::temp_binary_data_3,
                                               (size_t) BinaryData::temp_binary_data_3Size);

    pictureButton = std::make_unique<juce::ImageButton>();
    pictureButton->setImages (true, true, true,
                              picture, 1.0f, juce::Colours::transparentBlack,
                              picture, 1.0f, juce::Colours::transparentBlack,
                              picture, 1.0f, juce::Colours::transparentBlack,
                              0.0f);
    addAndMakeVisible (*pictureButton);

    initialView = std::make_unique<InitialDeviceInfoView>();
    addAndMakeVisible (*initialView);
    initialView->connectButton->addListener (this);
    initialView->learnMoreButton->addListener (this);
    initialView->helpCenterButton->addListener (this);

    connectedView = std::make_unique<ConnectedDeviceInfoView>();
    addChildComponent (*connectedView);
    connectedView->rows[ConnectedDeviceInfoView::deviceRow]->actionButton->addListener (this);
    connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton->addListener (this);

    toast = std::make_unique<MessageToast>();
    addChildComponent (*toast);

    setSize (375, 667);

    jw::DeviceManager::instance()->setDeviceListChangedCallback ([this] (jw::DeviceManager* manager)
    {
        onDeviceListChanged (manager);
    });

    state->apply (this);
}

MainComponent::~MainComponent()
{
    // The manager outlives the window: it must not call back into a component that is gone.
    jw::DeviceManager::instance()->setDeviceListChangedCallback ({});

    {
        const std::lock_guard<std::mutex> lock (eventQueueLock);
        eventQueue.clear();
    }

    state.reset();
}

//==============================================================================
void MainComponent::paint (juce::Graphics& g)
{
    static const juce::ColourGradient bgColour (juce::Colour (0xff3c3c3c), 0.0f, 0.0f,
                                                juce::Colour (0xff171717),
                                                (float) getWidth(), (float) getHeight() * 0.3f,
                                                true);

    juce::Graphics::ScopedSaveState save (g);
    g.setGradientFill (bgColour);
    g.fillAll();
}

juce::Component& MainComponent::shownView() const
{
    if (initialView->isVisible())
        return *initialView;

    return *connectedView;
}

void MainComponent::resized()
{
    const auto w = getWidth();
    const auto h = getHeight();
    auto& view = shownView();

    horizontalLayout.setItemLayout (0, w - 150, w - 150, w - 150);

    juce::Component* picturePtr[] = { pictureButton.get() };
    horizontalLayout.layOutComponents (picturePtr, 1, 75, 0, w - 150, h, false, true);

    juce::Component* viewPtr[] = { &view };
    horizontalLayout.layOutComponents (viewPtr, 1, 0, 0, w, h, false, true);

    verticalLayout.setItemLayout (0, 0, 256, 256);
    verticalLayout.setItemLayout (1, 256, h, h);
    verticalLayout.setItemLayout (2, 0, h, h);

    juce::Component* stacked[] = { pictureButton.get(), &view, nullptr };
    verticalLayout.layOutComponents (stacked, 3, 0, 93, w, h, true, false);

    toast->setSize (w - 64, juce::jmin (64, h - view.getBottom()));
    toast->setTopLeftPosition (32, view.getBottom() + 16);
}

//==============================================================================
void MainComponent::buttonClicked (juce::Button* button)
{
    // The states disable their buttons through the queued view changes, so a second click
    // that was queued before them (a quick double click, or a click meeting the poll's own)
    // still arrives. Only the state that shows a button acts on it: a second connecting
    // state would wait for the first one's probe, which waits for this thread.
    const bool idle = dynamic_cast<InitialAppState*> (state.get()) != nullptr;
    const bool connected = dynamic_cast<ConnectedAppState*> (state.get()) != nullptr;

    if (button == initialView->connectButton.get())
    {
        if (idle)
            changeState (std::make_unique<ConnectingAppState>());
    }
    else if (button == initialView->learnMoreButton.get())
        juce::URL (homePageUrl).launchInDefaultBrowser();
    else if (button == initialView->helpCenterButton.get())
        juce::URL (supportPageUrl).launchInDefaultBrowser();
    else if (button == connectedView->rows[ConnectedDeviceInfoView::deviceRow]->actionButton.get())
    {
        if (connected)
            changeState (std::make_unique<InitialAppState>());
    }
    else if (button == connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton.get())
    {
        if (connected)
            changeState (std::make_unique<FirmwareCheckingAppState>());
    }
}

void MainComponent::changeState (std::unique_ptr<AppState> newState)
{
    state = std::move (newState);
    state->apply (this);
}

bool MainComponent::requestQuit()
{
    // Checking leads straight into updating; both end by posting to this thread.
    if (dynamic_cast<FirmwareCheckingAppState*> (state.get()) != nullptr
        || dynamic_cast<FirmwareUpdatingAppState*> (state.get()) != nullptr)
    {
        quitPending = true;
        return false;
    }

    return true;
}

//==============================================================================
void MainComponent::pushAsyncEvent (std::function<void()> event)
{
    const std::lock_guard<std::mutex> lock (eventQueueLock);
    eventQueue.push_back (std::move (event));
}

void MainComponent::handleAsyncUpdate()
{
    const std::lock_guard<std::mutex> lock (eventQueueLock);

    while (! eventQueue.empty())
    {
        auto event = eventQueue.front();
        eventQueue.pop_front();
        event();
    }
}

void MainComponent::onDeviceListChanged (jw::DeviceManager* manager)
{
    if (manager->currentDevice() != nullptr)
        changeState (std::make_unique<InitialAppState>());
    else
        initialView->connectButton->triggerClick();
}
