#include "WindowFixture.h"

#include "JwDeviceManager.h"
#include "MessageLoop.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace windowtest;

namespace
{
/** Ends the process if the guarded block does not finish in time: a deadlock must fail
    the test, not hang it. */
class HangGuard
{
public:
    explicit HangGuard (int seconds)
        : watcher ([this, seconds]
          {
              std::unique_lock<std::mutex> lock (mutex);

              if (! done.wait_for (lock, std::chrono::seconds (seconds), [this] { return finished; }))
              {
                  std::fprintf (stdout, "hang guard: still blocked after %d s\n", seconds);
                  std::fflush (stdout);
                  std::_Exit (3);
              }
          })
    {
    }

    ~HangGuard()
    {
        {
            const std::lock_guard<std::mutex> lock (mutex);
            finished = true;
        }

        done.notify_all();
        watcher.join();
    }

private:
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watcher;
};

class WindowCloseTest : public WindowTest
{
protected:
    void SetUp() override
    {
        plugAmplifier();
        openWindow();
    }

    /** What the application does once the window may go: the close path, then the
        quit, then the window's destruction. Returns how long it took. */
    std::chrono::milliseconds quitAndDestroy()
    {
        const auto start = std::chrono::steady_clock::now();
        HangGuard guard (20);

        window->setVisible (false);
        auto* manager = jw::DeviceManager::instance();
        manager->stopPolling();

        if (auto* device = manager->currentDevice())
        {
            device->Close();
            manager->setCurrentDevice (nullptr);
        }

        // A test process is not an application: quitting is stopping the message loop.
        juce::MessageManager::getInstance()->stopDispatchLoop();
        window.reset();

        return std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now() - start);
    }
};
} // namespace

TEST_F (WindowCloseTest, ClosingAtOnceAfterTheConnectClickDoesNotDeadlock)
{
    // The probe's worker starts, and the window goes before the loop runs again.
    window->buttonClicked (&connectButton());
    ASSERT_TRUE (stateIs<ConnectingAppState>());
    EXPECT_TRUE (window->requestQuit());

    const auto took = quitAndDestroy();
    EXPECT_LT (took.count(), 10000);

    // Whatever the probe had opened is closed again, and no device was stored.
    EXPECT_TRUE (service.waitUntilIdle (5000));
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (WindowCloseTest, ClosingWhileTheProbeWaitsForRepliesDoesNotDeadlock)
{
    connectButton().triggerClick();

    // The probe request has gone out: the worker now waits for replies, then needs the
    // message thread again.
    ASSERT_TRUE (pumpUntil ([this] { return amplifier->getNumReceivedMessages() > 0; }, 10000));
    ASSERT_TRUE (stateIs<ConnectingAppState>());
    EXPECT_TRUE (window->requestQuit());

    const auto took = quitAndDestroy();
    EXPECT_LT (took.count(), 10000);

    EXPECT_TRUE (service.waitUntilIdle (5000));
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (WindowCloseTest, ClosingWhileConnectedOrIdleIsAllowedAtOnce)
{
    EXPECT_TRUE (window->requestQuit());
    EXPECT_FALSE (window->isQuitPending());

    connectByClick();
    EXPECT_TRUE (window->requestQuit());
    EXPECT_FALSE (window->isQuitPending());

    const auto took = quitAndDestroy();
    EXPECT_LT (took.count(), 10000);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (WindowCloseTest, ClosingWhileUpdatingWaitsForTheWholeImage)
{
    connectByClick();

    bool ready = false;
    bool flashWasComplete = false;
    bool deviceWasHeld = false;
    bool stateWasUpdating = false;

    window->onQuitReady = [&]
    {
        ready = true;
        flashWasComplete = amplifier->flashEquals (embeddedImage());
        deviceWasHeld = jw::DeviceManager::instance()->currentDevice() != nullptr;
        stateWasUpdating = stateIs<FirmwareUpdatingAppState>();
    };

    firmwareButton().triggerClick();
    ASSERT_TRUE (pumpUntil ([this] { return stateIs<FirmwareUpdatingAppState>(); }, 10000));

    // The close is deferred, however often it is asked for.
    EXPECT_FALSE (window->requestQuit());
    EXPECT_TRUE (window->isQuitPending());
    EXPECT_FALSE (window->requestQuit());
    EXPECT_FALSE (ready);

    ASSERT_TRUE (pumpUntil ([&] { return ready; }, 60000));
    EXPECT_TRUE (flashWasComplete);
    EXPECT_TRUE (deviceWasHeld);
    EXPECT_TRUE (stateWasUpdating);
    EXPECT_EQ (amplifier->getNumRestarts(), 2);

    // No transition follows: no toast, no new reading of the information.
    testing_support::pumpFor (500);
    EXPECT_TRUE (stateIs<FirmwareUpdatingAppState>());
    EXPECT_FALSE (window->toast->isVisible());

    const auto took = quitAndDestroy();
    EXPECT_LT (took.count(), 10000);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (WindowCloseTest, ClosingWhileCheckingEndsBeforeAnythingIsWritten)
{
    connectByClick();
    const auto messagesBefore = amplifier->getNumReceivedMessages();

    bool ready = false;
    window->onQuitReady = [&] { ready = true; };

    window->buttonClicked (&firmwareButton());
    ASSERT_TRUE (stateIs<FirmwareCheckingAppState>());
    EXPECT_FALSE (window->requestQuit());

    ASSERT_TRUE (pumpUntil ([&] { return ready; }, 10000));
    testing_support::pumpFor (300);

    EXPECT_FALSE (stateIs<FirmwareUpdatingAppState>());
    EXPECT_EQ (amplifier->getNumReceivedMessages(), messagesBefore);
    EXPECT_TRUE (amplifier->flashEquals (olderImage()));

    quitAndDestroy();
}
