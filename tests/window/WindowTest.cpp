// Guards the application's states as its window shows them: connecting, the information read
// from the amplifier, the check and the update with their toast, eject, the poll, the links,
// the event queue, the layout at the main sizes, and the close button's quit, at once or once
// an update has ended. The fixture is the whole application with its window, in this process
// under the test display, on the simulator's virtual MIDI ports with an emulated amplifier.
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
#include <tuple>

namespace
{
using Bytes = std::vector<uint8_t>;
using testing_support::pumpUntil;
using View = ConnectedDeviceInfoView;

const Bytes newImage (BinaryData::temp_binary_data_2,
                      BinaryData::temp_binary_data_2 + BinaryData::temp_binary_data_2Size);
const Bytes oldImage (simresources::olderFirmwareImage,
                      simresources::olderFirmwareImage + simresources::olderFirmwareImageSize);

// What look() gives: the idle window, the start of the connected one and the end of a usable one.
const std::string idle = "initial: [Connect Hardware]";
const std::string amplifier = "connected: TV40-2026-000731 ";
const std::string ready = " [Eject] [Check to update]";

// The toast's texts, as the window records them.
const std::string upToDate = "Your firmware is up-to-date. | ";
const std::string failed = "Firmware updating failed! | ";

jw::DeviceManager& manager()
{
    return *jw::DeviceManager::instance();
}

/** What the application still holds open: the current device, and the simulator's ports. */
struct StillOpen
{
    bool device;
    int inputs;
    int outputs;
};

bool operator== (const StillOpen& a, const StillOpen& b)
{
    return std::tie (a.device, a.inputs, a.outputs) == std::tie (b.device, b.inputs, b.outputs);
}

void PrintTo (const StillOpen& s, std::ostream* os)
{
    *os << "{ device " << (s.device ? "open" : "none") << ", " << s.inputs << " inputs, "
        << s.outputs << " outputs }";
}

const StillOpen nothingOpen { false, 0, 0 };

/** A button as look() shows it: [enabled] or (disabled). */
juce::String shown (juce::Button& b)
{
    if (b.isEnabled())
        return "[" + b.getButtonText() + "]";

    return "(" + b.getButtonText() + ")";
}

// The whole application with its window, on the simulator. The amplifier restarts in 200 ms and
// the reconnection waits to match, so that an update takes about two seconds.
class Window : public testing::Test, private juce::ComponentListener
{
protected:
    // A deadlock must fail the test rather than hang the run.
    Window()
    {
        reopenDelay = std::chrono::milliseconds (600);

        std::thread ([]
        {
            std::this_thread::sleep_for (std::chrono::seconds (150));
            std::puts ("hung");
            std::_Exit (3);
        }).detach();
    }

    ~Window() override
    {
        app.shutdown();
    }

    void open (bool plugged = true, const Bytes& flash = oldImage)
    {
        sim::EmulatedAmplifier::Config config;
        config.restartTimeMs = 200;
        config.flash = flash;
        amp = std::make_unique<sim::EmulatedAmplifier> (service, config);

        if (! plugged)
            amp->unplug();

        app.initialise ({});
        app.mainWindow->setTopLeftPosition (0, 0);   // away from the centre, where window_process looks
        mc = dynamic_cast<MainComponent*> (app.mainWindow->getContentComponent());
        mc->toast->addComponentListener (this);
        reach (idle);
    }

    template <typename State>
    bool is() const
    {
        return dynamic_cast<State*> (mc->state.get()) != nullptr;
    }

    juce::TextButton& connect() const
    {
        return *mc->initialView->connectButton;
    }

    juce::TextButton& eject() const
    {
        return *mc->connectedView->rows[View::deviceRow]->actionButton;
    }

    juce::TextButton& check() const
    {
        return *mc->connectedView->rows[View::firmwareRow]->actionButton;
    }

    juce::String text (int row) const
    {
        return mc->connectedView->rows[(size_t) row]->valueLabel->getText();
    }

    StillOpen stillOpen() const
    {
        const bool device = manager().currentDevice() != nullptr;
        return { device, service.getNumOpenInputs(), service.getNumOpenOutputs() };
    }

    bool closedDown() const
    {
        return stillOpen() == nothingOpen;
    }

    const char* stateName() const
    {
        if (is<InitialAppState>())
            return "initial";

        if (is<ConnectingAppState>())
            return "connecting";

        if (is<ConnectedAppState>())
            return "connected";

        if (is<FirmwareCheckingAppState>())
            return "checking";

        return "updating";
    }

    // The state and what the window shows: [enabled] and (disabled) buttons, "yellow" for the
    // busy colour.
    std::string look() const
    {
        auto s = juce::String (stateName()) + ": ";
        const auto initialShown = mc->initialView->isVisible();

        if (initialShown != mc->connectedView->isVisible())
        {
            if (initialShown)
                s << shown (connect());
            else
                s << text (View::serialRow) << " " << text (View::firmwareRow) << " "
                  << shown (eject()) << " " << shown (check());
        }

        const auto colour = check().findColour (juce::TextButton::textColourOffId);

        if (colour == juce::Colour (0xffe4af09))
            s << " yellow";
        else if (colour != juce::Colours::white)
            s << " other colour";

        return s.toStdString();
    }

    void reach (const std::string& expected, int ms = 30000)
    {
        pumpUntil ([&] { return look() == expected; }, ms);
        ASSERT_EQ (expected, look());
    }

    // Only the state that shows a button acts on it: a second click changes nothing.
    void expectIgnored (std::initializer_list<juce::Button*> buttons)
    {
        const auto* before = mc->state.get();

        for (auto* b : buttons)
            mc->buttonClicked (b);

        EXPECT_EQ (before, mc->state.get()) << "a button acted in " << look();
    }

    // The drain without the loop.
    void clickByHand (juce::Button& b)
    {
        mc->buttonClicked (&b);
        mc->handleAsyncUpdate();
    }

    // The toast can come and go within one turn of the loop, so it is watched: its text, and
    // what the window looked like then.
    void componentVisibilityChanged (juce::Component& t) override
    {
        if (t.isVisible())
            toasts.push_back (mc->toast->label->getText().toStdString() + " | " + look());
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    std::unique_ptr<sim::EmulatedAmplifier> amp;
    std::vector<std::string> toasts;
    CorvelFwUpgradeLauncherApplication app;
    MainComponent* mc = nullptr;
};

struct UpdateEnd
{
    const char* name;
    Bytes flash;
    bool refuseBlocks;
    bool dropDevice;
    std::string toast;
    std::string after;
};

enum class At
{
    idle,
    connectClicked,
    probing,
    connected,
    checking,
    updating
};

struct CloseIn
{
    const char* name;
    At at;
    std::string after;
};

void PrintTo (const UpdateEnd& row, std::ostream* os)
{
    *os << row.name;
}

void PrintTo (const CloseIn& row, std::ostream* os)
{
    *os << row.name;
}

class Update : public Window, public testing::WithParamInterface<UpdateEnd> {};
class Close : public Window, public testing::WithParamInterface<CloseIn> {};
} // namespace

// The whole sequence; however the update ends, the toast says it at once, and the connected
// state reads the information again.
TEST_P (Update, FromConnectThroughTheUpdateToEject)
{
    const auto& row = GetParam();
    const std::string version = row.flash == newImage ? "1.2.3.37" : "1.2.3.30";
    open (true, row.flash);
    expectIgnored ({ &eject(), &check() });

    // Connecting and checking last only until their task's hand-over: the drain is made by hand.
    clickByHand (connect());
    EXPECT_EQ ("connecting: (Connecting...)", look());
    expectIgnored ({ &connect(), &eject(), &check() });
    mc->onDeviceListChanged (&manager());   // with nothing open: a click on the disabled pill
    reach (amplifier + version + ready);
    expectIgnored ({ &connect() });
    amp->setRefuseAllBlocks (row.refuseBlocks);

    if (row.dropDevice)
        manager().setCurrentDevice (nullptr);   // as after a failed open: the device is closed

    clickByHand (check());
    EXPECT_EQ ("checking: TV40-2026-000731 " + version + " (Eject) (Checking...) yellow", look());
    expectIgnored ({ &connect(), &eject(), &check() });

    // The buttons stay as the update left them until the information has been read again.
    reach (row.after, 60000);
    const auto toastShownOver = amplifier + version + " (Eject) (Updating...) yellow";
    EXPECT_EQ (std::vector<std::string> { row.toast + toastShownOver }, toasts);

    const bool written = ! row.refuseBlocks && ! row.dropDevice;
    EXPECT_EQ (written, amp->flashEquals (newImage));

    const auto imageBlocks = (int) ((newImage.size() + 255) / 256);
    EXPECT_EQ (row.toast == upToDate ? imageBlocks : 0, amp->getNumWriteFlashBlocksAccepted());

    // Eject closes the amplifier, and the poll leaves it alone although it is still plugged in.
    eject().triggerClick();
    reach (idle);
    manager().impl->timerCallback();
    testing_support::pumpFor (100);
    EXPECT_EQ (idle, look());
    EXPECT_EQ (nothingOpen, stillOpen());
}

// Refused blocks leave the amplifier in its bootloader, which answers only the version query.
INSTANTIATE_TEST_SUITE_P (Rows, Update, testing::Values (
    UpdateEnd { "NewerImage", oldImage, false, false, upToDate, amplifier + "1.2.3.37" + ready },
    UpdateEnd { "SameVersionFlashedAgain", newImage, false, false, upToDate,
                amplifier + "1.2.3.37" + ready },
    UpdateEnd { "RefusedBlocks", oldImage, true, false, failed, "connected:  1.2.3.30" + ready },
    UpdateEnd { "NoDevice", oldImage, false, true, failed, "connected:  " + ready }),
    testing::PrintToStringParamName());

// The poll probes once when the amplifier appears, the connecting state once more; an amplifier
// silent after that leaves the texts empty and the window usable.
TEST_F (Window, ThePollConnectsWhatIsPluggedInAndDropsWhatIsUnplugged)
{
    open (false);
    amp->setSilentOnStringQueries (true);

    for (size_t index = 2; index < 9; ++index)
        amp->dropReplyToMessage (index);

    amp->plug();
    reach ("connected:  " + ready);
    amp->unplug();
    reach (idle);
    EXPECT_EQ (nothingOpen, stillOpen());

    // With no amplifier the probe ends at once.
    clickByHand (connect());
    EXPECT_EQ ("connecting: (Connecting...)", look());
    reach (idle);
}

TEST_F (Window, LayoutAtTheMainSizesLinksAndTheEventQueue)
{
    open (false);

    // The links open the maker's pages in a stand-in browser; they, and the picture, leave the
    // state alone.
    const auto folder = juce::File::createTempFile ("browser");
    const auto opened = folder.getChildFile ("opened");
    const auto browser = folder.getChildFile ("xdg-open");
    const auto script = "#!/bin/sh\necho \"$1\" >> '" + opened.getFullPathName() + "'\n";
    ASSERT_TRUE (folder.createDirectory());
    ASSERT_TRUE (browser.replaceWithText (script, false, false, "\n"));
    ASSERT_TRUE (browser.setExecutePermission (true));
    const auto path = folder.getFullPathName() + ":" + juce::String (std::getenv ("PATH"));
    ::setenv ("PATH", path.toRawUTF8(), 1);

    mc->pictureButton->triggerClick();
    mc->initialView->learnMoreButton->triggerClick();
    pumpUntil ([&] { return opened.loadFileAsString().isNotEmpty(); });
    mc->initialView->helpCenterButton->triggerClick();
    const auto supportLine = "\n" + juce::String (MainComponent::supportPageUrl);
    pumpUntil ([&] { return opened.loadFileAsString().contains (supportLine); });
    const auto bothPages = juce::String (MainComponent::homePageUrl) + "\n"
                         + MainComponent::supportPageUrl + "\n";
    EXPECT_EQ (bothPages, opened.loadFileAsString());
    EXPECT_EQ (idle, look());
    folder.deleteRecursively();

    // Queued view changes run in order, and only once the drain is triggered.
    std::vector<int> ran;

    for (int i : { 1, 2, 3 })
        mc->pushAsyncEvent ([&ran, i] { ran.push_back (i); });

    testing_support::pumpFor (100);
    mc->triggerAsyncUpdate();
    EXPECT_EQ (std::vector<int> {}, ran);
    pumpUntil ([&] { return ran == std::vector<int> { 1, 2, 3 }; }, 5000);
    EXPECT_EQ ((std::vector<int> { 1, 2, 3 }), ran);

    // The gradient is made at the first paint and kept: 450 px from the centre lies beyond its
    // radius at 375 x 667, but inside the one a gradient for 500 x 900 would have.
    EXPECT_EQ (juce::Rectangle<int> (375, 667), mc->getLocalBounds());
    EXPECT_EQ (mc->toast.get(), mc->getChildComponent (3));   // on top of everything
    const auto corner = mc->createComponentSnapshot (mc->getLocalBounds()).getPixelAt (0, 0);
    EXPECT_NEAR (0x3c, corner.getRed(), 1);
    mc->setSize (500, 900);
    const auto beyond = mc->createComponentSnapshot (mc->getLocalBounds()).getPixelAt (450, 5);
    EXPECT_EQ (juce::Colour (0xff171717), beyond);

    // Below y 93 the picture takes at most 256, the view at least 256, the toast 16 below (at
    // most 64 high).
    struct Layout
    {
        int w;
        int h;
        juce::Rectangle<int> picture;
        juce::Rectangle<int> view;
        juce::Rectangle<int> toast;
    };

    const Layout layouts[] = {
        { 375, 667, { 75, 93, 225, 107 }, { 0, 200, 375, 280 }, { 32, 496, 311, 64 } },
        { 500, 900, { 75, 93, 350, 112 }, { 0, 205, 500, 394 }, { 32, 615, 436, 64 } },
        { 375, 500, { 75, 93, 225, 102 }, { 0, 195, 375, 256 }, { 32, 467, 311, 49 } },
        { 375, 400, { 75, 93, 225, 72 }, { 0, 165, 375, 256 }, { 32, 437, 311, 0 } },
    };

    for (const bool info : { false, true })
    {
        for (const auto& l : layouts)
        {
            const auto shownView = info ? " info view" : " connect view";
            SCOPED_TRACE (std::to_string (l.w) + " x " + std::to_string (l.h) + shownView);
            mc->initialView->setVisible (! info);
            mc->connectedView->setVisible (info);
            mc->setSize (l.w, l.h);   // a new size each time
            const juce::Component& view = info ? (juce::Component&) *mc->connectedView
                                               : *mc->initialView;
            EXPECT_EQ (l.picture, mc->pictureButton->getBounds());
            EXPECT_EQ (l.view, view.getBounds());
            EXPECT_EQ (l.toast, mc->toast->getBounds());
        }
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

    pumpUntil ([&]
    {
        if (at < At::probing)
            return true;

        if (at == At::probing)
            return amp->getNumReceivedMessages() > 0;

        return look() == amplifier + "1.2.3.30" + ready;
    });

    if (at >= At::checking)
        mc->buttonClicked (&check());

    pumpUntil ([&] { return at != At::updating || is<FirmwareUpdatingAppState>(); });

    app.mainWindow->closeButtonPressed();
    app.mainWindow->closeButtonPressed();
    const auto stopSent = []
    {
        return juce::MessageManager::getInstance()->hasStopMessageBeenSent();
    };

    EXPECT_EQ (at < At::checking, stopSent());
    EXPECT_EQ (at >= At::checking, mc->isQuitPending());

    // A probe still running closes what it opened and, the loop having stopped, stores nothing.
    auto stopped = false;
    auto held = stillOpen();

    pumpUntil ([&]
    {
        stopped = stopSent();
        held = stillOpen();
        return stopped && held == nothingOpen;
    }, 60000);

    EXPECT_TRUE (stopped);
    EXPECT_EQ (nothingOpen, held);
    mc->handleAsyncUpdate();
    EXPECT_EQ (GetParam().after, look());
    EXPECT_FALSE (app.mainWindow->isVisible());

    // Only a quit that waited for the update finds the new image written and the amplifier
    // restarted twice (into its bootloader and back).
    const auto flashed = amp->flashEquals (newImage);
    const auto flashedAndRestarted = std::make_tuple (flashed, amp->getNumRestarts());

    if (at == At::updating)
        EXPECT_EQ (std::make_tuple (true, 2), flashedAndRestarted);
    else
        EXPECT_NE (std::make_tuple (true, 2), flashedAndRestarted);
}

INSTANTIATE_TEST_SUITE_P (Rows, Close, testing::Values (
    CloseIn { "Idle", At::idle, idle },
    CloseIn { "Connected", At::connected, amplifier + "1.2.3.30" + ready },
    CloseIn { "RightAfterTheConnectClick", At::connectClicked, "connecting: (Connecting...)" },
    CloseIn { "WhileProbing", At::probing, "connecting: (Connecting...)" },
    CloseIn { "Checking", At::checking,
              "checking: TV40-2026-000731 1.2.3.30 (Eject) (Checking...) yellow" },
    CloseIn { "Updating", At::updating,
              "updating: TV40-2026-000731 1.2.3.30 (Eject) (Updating...) yellow" }),
    testing::PrintToStringParamName());
