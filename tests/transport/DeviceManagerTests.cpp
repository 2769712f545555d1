#include "EmulatedAmplifier.h"
#include "JwDeviceManager.h"
#include "MessageLoop.h"
#include "ScriptedDevice.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <thread>

using testing_support::pumpFor;
using testing_support::pumpUntil;

namespace
{
sim::EmulatedAmplifier::Config amplifierNamed (const juce::String& name, uint8_t lastIdByte)
{
    sim::EmulatedAmplifier::Config config;
    config.portName = name;
    config.deviceId[7] = lastIdByte;
    return config;
}

int countProbes (const sim::EmulatedAmplifier& amplifier)
{
    int probes = 0;

    for (const auto& m : amplifier.getReceivedMessages())
        probes += (m.size() == 7 && m[4] == 0x02 && m[5] == 0x12) ? 1 : 0;

    return probes;
}

class DeviceManagerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        manager.setDeviceListChangedCallback ([this] (jw::DeviceManager* m)
        {
            EXPECT_EQ (m, &manager);
            reported.push_back (m->impl->uuids);
        });
    }

    void TearDown() override
    {
        manager.stopPolling();
    }

    /** Waits through the next poll tick that finishes a probe (a tick comes every 2 s). */
    bool waitForReports (size_t n) { return pumpUntil ([&] { return reported.size() >= n; }, 15000); }

    sim::VirtualMidiService& service = sim::installSimulator();
    jw::DeviceManager& manager = *jw::DeviceManager::instance();
    std::vector<std::vector<DeviceUuid>> reported;
};
} // namespace

TEST_F (DeviceManagerTest, TheInstanceIsOneObject)
{
    EXPECT_EQ (jw::DeviceManager::instance(), &manager);
    EXPECT_EQ (manager.currentDevice(), nullptr);
    EXPECT_TRUE (manager.deviceUuids().empty());
}

TEST_F (DeviceManagerTest, AnAmplifierPresentAtStartIsReportedOnceAndNotProbedAgain)
{
    sim::EmulatedAmplifier amplifier (service);
    manager.startPolling();

    ASSERT_TRUE (waitForReports (1));
    ASSERT_EQ (reported[0].size(), 1u);
    EXPECT_EQ (reported[0][0], (DeviceUuid { 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x31 }));
    EXPECT_EQ (countProbes (amplifier), 1);

    // Two more ticks with the same input list: no probe, no report.
    pumpFor (4500);
    EXPECT_EQ (countProbes (amplifier), 1);
    EXPECT_EQ (reported.size(), 1u);
}

TEST_F (DeviceManagerTest, PlugAndUnplugAreReportedAnUnrelatedPortIsNot)
{
    manager.startPolling();

    // The first tick probes (the stored names start empty) and finds nobody: no report.
    pumpFor (2600);
    EXPECT_TRUE (reported.empty());

    auto amplifier = std::make_unique<sim::EmulatedAmplifier> (service);
    ASSERT_TRUE (waitForReports (1));
    EXPECT_EQ (reported[0].size(), 1u);

    ScriptedDevice keyboard (service, "USB Keyboard", {});
    ASSERT_TRUE (pumpUntil ([&] { return countProbes (*amplifier) == 2; }, 15000));
    pumpFor (500);
    EXPECT_EQ (reported.size(), 1u);

    amplifier->unplug();
    ASSERT_TRUE (waitForReports (2));
    EXPECT_TRUE (reported[1].empty());
}

TEST_F (DeviceManagerTest, TheSameIdsInAnotherOrderAreAChange)
{
    auto first = std::make_unique<sim::EmulatedAmplifier> (service, amplifierNamed ("Tarvo A", 0xA));
    auto second = std::make_unique<sim::EmulatedAmplifier> (service, amplifierNamed ("Tarvo B", 0xB));
    manager.startPolling();

    ASSERT_TRUE (waitForReports (1));
    ASSERT_EQ (reported[0].size(), 2u);
    EXPECT_EQ (reported[0][0][7], 0xA);
    EXPECT_EQ (reported[0][1][7], 0xB);

    // Swap which id answers on the earlier ports.
    first.reset();
    second.reset();
    first = std::make_unique<sim::EmulatedAmplifier> (service, amplifierNamed ("Tarvo B", 0xB));
    second = std::make_unique<sim::EmulatedAmplifier> (service, amplifierNamed ("Tarvo A", 0xA));

    ASSERT_TRUE (waitForReports (2));
    ASSERT_EQ (reported[1].size(), 2u);
    EXPECT_EQ (reported[1][0][7], 0xB);
    EXPECT_EQ (reported[1][1][7], 0xA);
}

TEST_F (DeviceManagerTest, ATickNeverWaitsForAProbeOfAnotherThread)
{
    sim::EmulatedAmplifier amplifier (service);

    // Another thread's probe holds the lock (it would be waiting for this thread).
    std::promise<void> locked, release;
    std::thread holder ([&]
    {
        const std::lock_guard<std::mutex> lock (JwUsbMidiDeviceFinder::probe_mutex_);
        locked.set_value();
        release.get_future().wait_for (std::chrono::seconds (10));
    });
    locked.get_future().wait();

    const auto start = std::chrono::steady_clock::now();
    manager.impl->timerCallback();
    const auto elapsed = std::chrono::steady_clock::now() - start;

    release.set_value();
    holder.join();

    EXPECT_LT (elapsed, std::chrono::seconds (5));
    EXPECT_EQ (countProbes (amplifier), 0);
    EXPECT_TRUE (reported.empty());

    // Nothing was stored: the next tick still sees a changed list, probes and reports.
    testing::internal::CaptureStdout();
    manager.impl->timerCallback();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ (countProbes (amplifier), 1);
    EXPECT_EQ (reported.size(), 1u);
}

TEST_F (DeviceManagerTest, AWorkerProbingWhileTicksRunNeitherDeadlocksNorStalls)
{
    sim::EmulatedAmplifier amplifier (service);
    manager.startPolling();

    std::atomic<bool> done { false };
    std::atomic<int> found { 0 };
    std::thread worker ([&]
    {
        for (int i = 0; i < 3; ++i)
            found = manager.impl->probeAll();

        done = true;
    });

    // Ports come and go so that ticks keep wanting to probe meanwhile.
    for (int i = 0; i < 6 && ! done; ++i)
    {
        ScriptedDevice other (service, "Other " + juce::String (i), {});
        pumpFor (1000);
    }

    const bool finished = pumpUntil ([&] { return done.load(); }, 60000);
    worker.join();

    ASSERT_TRUE (finished);
    EXPECT_EQ (found, 1);
}

TEST_F (DeviceManagerTest, AProbeOfTheConnectingStateUpdatesNamesButNotReportedIds)
{
    sim::EmulatedAmplifier amplifier (service);

    testing::internal::CaptureStdout();
    EXPECT_EQ (testing_support::runOnWorker ([&] { return manager.impl->probeAll(); }), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE (manager.impl->uuids.empty());

    // The input list is unchanged since that probe: ticks do nothing.
    manager.startPolling();
    pumpFor (4500);
    EXPECT_EQ (countProbes (amplifier), 1);
    EXPECT_TRUE (reported.empty());

    // Any new input makes the next tick probe; the ids differ from the (empty) reported ones.
    ScriptedDevice keyboard (service, "USB Keyboard", {});
    ASSERT_TRUE (waitForReports (1));
    EXPECT_EQ (reported[0].size(), 1u);
}

TEST_F (DeviceManagerTest, AChangeWithNoCallbackInstalledIsIgnored)
{
    manager.setDeviceListChangedCallback ({});
    sim::EmulatedAmplifier amplifier (service);

    testing::internal::CaptureStdout();
    manager.impl->timerCallback();
    testing::internal::GetCapturedStdout();

    EXPECT_EQ (countProbes (amplifier), 1);
    EXPECT_EQ (manager.impl->uuids.size(), 1u);
}

TEST_F (DeviceManagerTest, SettingADeviceDeletesTheOneHeldBefore)
{
    struct Tracked final : JwDevice
    {
        explicit Tracked (int& d) : deletions (d) {}
        ~Tracked() override { ++deletions; }
        bool Open() override { return true; }
        void Close() override {}
        int Internal_Send (const uint8_t*, size_t len) override { return (int) len; }
        int& deletions;
    };

    int deletions = 0;
    manager.setCurrentDevice (new Tracked (deletions));
    manager.setCurrentDevice (new Tracked (deletions));
    EXPECT_EQ (deletions, 1);
    manager.setCurrentDevice (nullptr);
    EXPECT_EQ (deletions, 2);
    EXPECT_EQ (manager.currentDevice(), nullptr);
}

TEST (DeviceManagerAtExit, ADeviceStillHeldIsClosedThenDeleted)
{
    struct Announcing final : JwDevice
    {
        ~Announcing() override { std::fputs ("deleted\n", stderr); }
        bool Open() override { return true; }
        void Close() override { std::fputs ("closed\n", stderr); }
        int Internal_Send (const uint8_t*, size_t len) override { return (int) len; }
    };

    EXPECT_EXIT ({
        jw::DeviceManager::instance()->setCurrentDevice (new Announcing());
        std::exit (0);
    }, testing::ExitedWithCode (0), "closed\ndeleted\n");
}
