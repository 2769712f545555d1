#include "AppStates.h"
#include "BinaryData.h"
#include "CorvelFwUpgradeLauncherApplication.h"
#include "EmulatedAmplifier.h"
#include "JwDeviceManager.h"
#include "MainComponent.h"
#include "MessageLoop.h"
#include "Reconnect.h"
#include "SimulatorInstall.h"
#include "SimulatorResources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace
{
using Bytes = std::vector<uint8_t>;
using testing_support::pumpUntil;
using View = ConnectedDeviceInfoView;

const Bytes newImage (BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2 + BinaryData::temp_binary_data_2Size);
const Bytes oldImage (simresources::olderFirmwareImage, simresources::olderFirmwareImage + simresources::olderFirmwareImageSize);
const std::string idle = "initial: [Connect Hardware]", amplifier = "connected: TV40-2026-000731 ", ready = " [Eject] [Check to update]";
const std::string upToDate = "Your firmware is up-to-date. | ", failed = "Firmware updating failed! | ";

jw::DeviceManager& manager() { return *jw::DeviceManager::instance(); }

// The whole application with its window, on the simulator. The amplifier restarts in 200 ms and
// the reconnection waits to match, so that an update takes about two seconds.
class Window : public testing::Test, private juce::ComponentListener
{
protected:
    // A deadlock must fail the test rather than hang the run.
    Window() { reopenDelay = std::chrono::milliseconds (600); std::thread ([] { std::this_thread::sleep_for (std::chrono::seconds (150)); std::puts ("hung"); std::_Exit (3); }).detach(); }
    ~Window() override { app.shutdown(); }

    void open (bool plugged = true, const Bytes& flash = oldImage)
    {
        sim::EmulatedAmplifier::Config config;
        config.restartTimeMs = 200;
        config.flash = flash;
        amp = std::make_unique<sim::EmulatedAmplifier> (service, config);
        if (! plugged) amp->unplug();
        app.initialise ({});
        app.mainWindow->setTopLeftPosition (0, 0);   // away from the centre, where window_process looks
        mc = dynamic_cast<MainComponent*> (app.mainWindow->getContentComponent());
        mc->toast->addComponentListener (this);
        reach (idle);
    }

    template <typename State> bool is() const { return dynamic_cast<State*> (mc->state.get()) != nullptr; }
    juce::TextButton& connect() const { return *mc->initialView->connectButton; }
    juce::TextButton& eject() const { return *mc->connectedView->rows[View::deviceRow]->actionButton; }
    juce::TextButton& check() const { return *mc->connectedView->rows[View::firmwareRow]->actionButton; }
    juce::String text (int row) const { return mc->connectedView->rows[(size_t) row]->valueLabel->getText(); }
    bool closedDown() const { return manager().currentDevice() == nullptr && service.getNumOpenInputs() + service.getNumOpenOutputs() == 0; }

    // The state and what the window shows: [enabled] and (disabled) buttons, "yellow" for the busy colour.
    std::string look() const
    {
        const char* state = is<InitialAppState>() ? "initial" : is<ConnectingAppState>() ? "connecting"
                          : is<ConnectedAppState>() ? "connected" : is<FirmwareCheckingAppState>() ? "checking" : "updating";
        auto show = [] (juce::Button& b) { return (b.isEnabled() ? "[" : "(") + b.getButtonText() + (b.isEnabled() ? "]" : ")"); };
        auto s = juce::String (state) + ": ";
        if (mc->initialView->isVisible() != mc->connectedView->isVisible())
            s << (mc->initialView->isVisible() ? show (connect())
                                                : text (View::serialRow) + " " + text (View::firmwareRow) + " " + show (eject()) + " " + show (check()));
        const auto colour = check().findColour (juce::TextButton::textColourOffId);
        return (s + (colour == juce::Colour (0xffe4af09) ? " yellow" : colour == juce::Colours::white ? "" : " other colour")).toStdString();
    }

    void reach (const std::string& expected, int ms = 30000) { pumpUntil ([&] { return look() == expected; }, ms); ASSERT_EQ (look(), expected); }

    // Only the state that shows a button acts on it: a second click changes nothing.
    void expectIgnored (std::initializer_list<juce::Button*> buttons)
    {
        const auto* before = mc->state.get();
        for (auto* b : buttons) mc->buttonClicked (b);
        EXPECT_EQ (mc->state.get(), before) << "a button acted in " << look();
    }

    // The toast can come and go within one turn of the loop, so it is watched: its text, and
    // what the window looked like then.
    void clickByHand (juce::Button& b) { mc->buttonClicked (&b); mc->handleAsyncUpdate(); }   // the drain without the loop
    void componentVisibilityChanged (juce::Component& t) override { if (t.isVisible()) toasts.push_back (mc->toast->label->getText().toStdString() + " | " + look()); }

    sim::VirtualMidiService& service = sim::installSimulator();
    std::unique_ptr<sim::EmulatedAmplifier> amp;
    std::vector<std::string> toasts;
    CorvelFwUpgradeLauncherApplication app;
    MainComponent* mc = nullptr;
};

struct UpdateEnd { const char* name; Bytes flash; bool refuseBlocks, dropDevice; std::string toast, after; };
enum class At { idle, connectClicked, probing, connected, checking, updating };
struct CloseIn { const char* name; At at; std::string after; };
void PrintTo (const UpdateEnd& row, std::ostream* os) { *os << row.name; }
void PrintTo (const CloseIn& row, std::ostream* os) { *os << row.name; }
class Update : public Window, public testing::WithParamInterface<UpdateEnd> {};
class Close : public Window, public testing::WithParamInterface<CloseIn> {};
} // namespace

// The whole sequence; however the update ends, the toast says it at once, and the connected
// state reads the information again.
TEST_P (Update, FromConnectThroughTheUpdateToEject)
{
    const auto& row = GetParam();
    const auto version = row.flash == newImage ? "1.2.3.37" : "1.2.3.30";
    open (true, row.flash);
    expectIgnored ({ &eject(), &check() });

    // Connecting and checking last only until their task's hand-over: the drain is made by hand.
    clickByHand (connect());
    EXPECT_EQ (look(), "connecting: (Connecting...)");
    expectIgnored ({ &connect(), &eject(), &check() });
    mc->onDeviceListChanged (&manager());   // with nothing open: a click on the disabled pill
    reach (amplifier + version + ready);
    expectIgnored ({ &connect() });
    amp->setRefuseAllBlocks (row.refuseBlocks);
    if (row.dropDevice) manager().setCurrentDevice (nullptr);   // as after a failed open: the device is closed
    clickByHand (check());
    EXPECT_EQ (look(), "checking: TV40-2026-000731 " + std::string (version) + " (Eject) (Checking...) yellow");
    expectIgnored ({ &connect(), &eject(), &check() });

    // The buttons stay as the update left them until the information has been read again.
    reach (row.after, 60000);
    EXPECT_EQ (toasts, std::vector<std::string> { row.toast + amplifier + version + " (Eject) (Updating...) yellow" });
    EXPECT_EQ (amp->flashEquals (newImage), ! row.refuseBlocks && ! row.dropDevice);
    EXPECT_EQ (amp->getNumWriteFlashBlocksAccepted(), row.toast == upToDate ? (int) ((newImage.size() + 255) / 256) : 0);

    // Eject closes the amplifier, and the poll leaves it alone although it is still plugged in.
    eject().triggerClick();
    reach (idle);
    manager().impl->timerCallback();
    testing_support::pumpFor (100);
    EXPECT_EQ (look(), idle);
    EXPECT_TRUE (closedDown());
}

// Refused blocks leave the amplifier in its bootloader, which answers only the version query.
INSTANTIATE_TEST_SUITE_P (Rows, Update, testing::Values (
    UpdateEnd { "NewerImage", oldImage, false, false, upToDate, amplifier + "1.2.3.37" + ready },
    UpdateEnd { "SameVersionFlashedAgain", newImage, false, false, upToDate, amplifier + "1.2.3.37" + ready },
    UpdateEnd { "RefusedBlocks", oldImage, true, false, failed, "connected:  1.2.3.30" + ready },
    UpdateEnd { "NoDevice", oldImage, false, true, failed, "connected:  " + ready }),
    testing::PrintToStringParamName());

// The poll probes once when the amplifier appears, the connecting state once more; an amplifier
// silent after that leaves the texts empty and the window usable.
TEST_F (Window, ThePollConnectsWhatIsPluggedInAndDropsWhatIsUnplugged)
{
    open (false);
    amp->setSilentOnStringQueries (true);
    for (size_t index = 2; index < 9; ++index) amp->dropReplyToMessage (index);
    amp->plug();
    reach ("connected:  " + ready);
    amp->unplug();
    reach (idle);
    EXPECT_TRUE (closedDown());

    // With no amplifier the probe ends at once.
    clickByHand (connect());
    EXPECT_EQ (look(), "connecting: (Connecting...)");
    reach (idle);
}

TEST_F (Window, LayoutAtTheMainSizesLinksAndTheEventQueue)
{
    open (false);

    // The links open the maker's pages in a stand-in browser; they, and the picture, leave the state alone.
    const auto folder = juce::File::createTempFile ("browser"), opened = folder.getChildFile ("opened");
    ASSERT_TRUE (folder.createDirectory() && folder.getChildFile ("xdg-open").replaceWithText ("#!/bin/sh\necho \"$1\" >> '" + opened.getFullPathName() + "'\n", false, false, "\n")
                 && folder.getChildFile ("xdg-open").setExecutePermission (true));
    ::setenv ("PATH", (folder.getFullPathName() + ":" + juce::String (std::getenv ("PATH"))).toRawUTF8(), 1);
    mc->pictureButton->triggerClick();
    mc->initialView->learnMoreButton->triggerClick();
    pumpUntil ([&] { return opened.loadFileAsString().isNotEmpty(); });
    mc->initialView->helpCenterButton->triggerClick();
    pumpUntil ([&] { return opened.loadFileAsString().contains ("\n" + juce::String (MainComponent::supportPageUrl)); });
    EXPECT_EQ (opened.loadFileAsString(), juce::String (MainComponent::homePageUrl) + "\n" + MainComponent::supportPageUrl + "\n");
    EXPECT_EQ (look(), idle);
    folder.deleteRecursively();

    // Queued view changes run in order, and only once the drain is triggered.
    std::vector<int> ran;
    for (int i : { 1, 2, 3 }) mc->pushAsyncEvent ([&ran, i] { ran.push_back (i); });
    testing_support::pumpFor (100);
    mc->triggerAsyncUpdate();
    EXPECT_TRUE (ran.empty() && pumpUntil ([&] { return ran == std::vector<int> { 1, 2, 3 }; }, 5000));

    // The gradient is made at the first paint and kept: 450 px from the centre lies beyond its
    // radius at 375 x 667, but inside the one a gradient for 500 x 900 would have.
    EXPECT_EQ (mc->getLocalBounds(), juce::Rectangle<int> (375, 667));
    EXPECT_EQ (mc->getChildComponent (3), mc->toast.get());   // on top of everything
    EXPECT_NEAR (mc->createComponentSnapshot (mc->getLocalBounds()).getPixelAt (0, 0).getRed(), 0x3c, 1);
    mc->setSize (500, 900);
    EXPECT_EQ (mc->createComponentSnapshot (mc->getLocalBounds()).getPixelAt (450, 5), juce::Colour (0xff171717));

    // Below y 93 the picture takes at most 256, the view at least 256, the toast 16 below (at most 64 high).
    const struct { int w, h; juce::Rectangle<int> picture, view, toast; } layouts[] = {
        { 375, 667, { 75, 93, 225, 107 }, { 0, 200, 375, 280 }, { 32, 496, 311, 64 } },
        { 500, 900, { 75, 93, 350, 112 }, { 0, 205, 500, 394 }, { 32, 615, 436, 64 } },
        { 375, 500, { 75, 93, 225, 102 }, { 0, 195, 375, 256 }, { 32, 467, 311, 49 } },
        { 375, 400, { 75, 93, 225, 72 },  { 0, 165, 375, 256 }, { 32, 437, 311, 0 } } };
    for (const bool info : { false, true })
        for (const auto& l : layouts)
        {
            SCOPED_TRACE (std::to_string (l.w) + " x " + std::to_string (l.h) + (info ? " info view" : " connect view"));
            mc->initialView->setVisible (! info);
            mc->connectedView->setVisible (info);
            mc->setSize (l.w, l.h);   // a new size each time
            EXPECT_EQ (mc->pictureButton->getBounds(), l.picture);
            EXPECT_EQ ((info ? (juce::Component&) *mc->connectedView : *mc->initialView).getBounds(), l.view);
            EXPECT_EQ (mc->toast->getBounds(), l.toast);
        }
}

// The window's close button quits at once, except while an update may write to the amplifier:
// then the quit waits for the whole image, however often it is asked for, and nothing follows.
TEST_P (Close, QuitsAtOnceOrOnceTheUpdateHasEnded)
{
    const auto at = GetParam().at;
    open();
    if (at != At::idle)   // right after the click, the close comes before the loop runs again
        mc->buttonClicked (&connect());
    pumpUntil ([&] { return at < At::probing || (at == At::probing ? amp->getNumReceivedMessages() > 0 : look() == amplifier + "1.2.3.30" + ready); });
    if (at >= At::checking) mc->buttonClicked (&check());
    pumpUntil ([&] { return at != At::updating || is<FirmwareUpdatingAppState>(); });

    app.mainWindow->closeButtonPressed();
    app.mainWindow->closeButtonPressed();
    EXPECT_EQ (juce::MessageManager::getInstance()->hasStopMessageBeenSent(), at < At::checking);
    EXPECT_EQ (mc->isQuitPending(), at >= At::checking);

    // A probe still running closes what it opened and, the loop having stopped, stores nothing.
    EXPECT_TRUE (pumpUntil ([&] { return juce::MessageManager::getInstance()->hasStopMessageBeenSent() && closedDown(); }, 60000));
    mc->handleAsyncUpdate();
    EXPECT_EQ (look(), GetParam().after);
    EXPECT_FALSE (app.mainWindow->isVisible());
    EXPECT_EQ (amp->flashEquals (newImage) && amp->getNumRestarts() == 2, at == At::updating);
}

INSTANTIATE_TEST_SUITE_P (Rows, Close, testing::Values (
    CloseIn { "Idle", At::idle, idle }, CloseIn { "Connected", At::connected, amplifier + "1.2.3.30" + ready },
    CloseIn { "RightAfterTheConnectClick", At::connectClicked, "connecting: (Connecting...)" },
    CloseIn { "WhileProbing", At::probing, "connecting: (Connecting...)" },
    CloseIn { "Checking", At::checking, "checking: TV40-2026-000731 1.2.3.30 (Eject) (Checking...) yellow" },
    CloseIn { "Updating", At::updating, "updating: TV40-2026-000731 1.2.3.30 (Eject) (Updating...) yellow" }),
    testing::PrintToStringParamName());
