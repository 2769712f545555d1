#include "Harness.h"

#include "FirmwareUpdateSession.h"
#include "JwDeviceManager.h"
#include "JwUsbMidiDeviceFinder.h"
#include "JwUsbMidiH3.h"
#include "Reconnect.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <random>
#include <sstream>
#include <thread>

#if defined (__SANITIZE_ADDRESS__) || defined (__SANITIZE_THREAD__)
 #define TARVO_SOAK_SANITIZER_ALLOCATOR 1
#elif defined (__has_feature)
 #if __has_feature (address_sanitizer) || __has_feature (thread_sanitizer)
  #define TARVO_SOAK_SANITIZER_ALLOCATOR 1
 #endif
#endif

#if TARVO_SOAK_SANITIZER_ALLOCATOR
// The sanitizer runtimes count what their allocator hands out; not every toolchain
// ships the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Update after update with seeded random faults, in one process: whatever happens to an
// update, the threads, the open ports and the memory in use must come back to where they
// were, and an amplifier left half-updated must take the next clean update.

namespace
{
using namespace reliability;

int environmentInt (const char* name, int fallback)
{
    const auto* value = std::getenv (name);
    return value != nullptr && *value != 0 ? std::atoi (value) : fallback;
}

size_t bytesInUse()
{
   #if TARVO_SOAK_SANITIZER_ALLOCATOR
    return __sanitizer_get_current_allocated_bytes();
   #else
    return mallinfo2().uordblks;
   #endif
}

int numThreads()
{
    return juce::File ("/proc/self/task").getNumberOfChildFiles (juce::File::findDirectories);
}

/** The faults a soak round can draw, and whether the update must still succeed. */
enum class Fault
{
    none, refuseOnce, otherNames, shortDelay, overlongNamed, overlongFrame, refuseAll,
    neverBack, dropReply, vanish, vanishAfterBlocks
};

bool updateMustSucceed (Fault fault)
{
    return fault == Fault::none || fault == Fault::refuseOnce || fault == Fault::otherNames
        || fault == Fault::shortDelay;
}

const char* nameOf (Fault fault)
{
    static const char* names[] = { "none", "refuse once", "other names", "short delay", "overlong named",
                                   "overlong frame", "refuse all", "never back", "drop reply", "vanish",
                                   "vanish after blocks" };
    return names[(int) fault];
}

/** The reconnection of these rounds: instead of a fixed wait, closes the device and waits
    for the amplifier to leave and come back (or not), then opens the device again. The
    rounds stay short and do not depend on the machine's load. */
bool reopenWhenBack (JwDevice* device, FirmwareUpdateSession*, void* user)
{
    auto& amplifier = *static_cast<sim::EmulatedAmplifier*> (user);
    device->Close();
    amplifier.waitUntilPlugged (false, 1000);
    amplifier.waitUntilPlugged (true, 500);
    return device->Open();
}

class Soak : public testing::Test
{
protected:
    static constexpr size_t imageSize = 3 * 256 + 200;

    Fault draw()
    {
        // Half the rounds clean. The faults that cost a 3 s reply wait are drawn less
        // often, so that the soak stays within its time.
        if (std::uniform_int_distribution<int> (0, 1) (rng) == 0)
            return Fault::none;

        static const std::pair<Fault, int> weighted[] = {
            { Fault::refuseOnce, 6 }, { Fault::otherNames, 6 }, { Fault::shortDelay, 6 },
            { Fault::overlongNamed, 6 }, { Fault::overlongFrame, 6 }, { Fault::refuseAll, 6 },
            { Fault::neverBack, 6 }, { Fault::dropReply, 1 }, { Fault::vanish, 1 },
            { Fault::vanishAfterBlocks, 1 } };

        int total = 0;

        for (const auto& w : weighted)
            total += w.second;

        auto pick = std::uniform_int_distribution<int> (0, total - 1) (rng);

        for (const auto& w : weighted)
        {
            if (pick < w.second)
                return w.first;

            pick -= w.second;
        }

        return Fault::none;
    }

    void turnOn (Fault fault, sim::EmulatedAmplifier& amplifier)
    {
        auto any = [this] (int lo, int hi) { return std::uniform_int_distribution<int> (lo, hi) (rng); };

        switch (fault)
        {
            case Fault::none:              break;
            case Fault::refuseOnce:        amplifier.refuseBlockOnce (any (0, 3)); break;
            case Fault::otherNames:        amplifier.setOtherRepliesBeforeTransferReplies (any (1, 4)); break;
            case Fault::shortDelay:        amplifier.setReplyDelayMs (any (1, 120)); break;
            case Fault::overlongNamed:     amplifier.setOverlongMessageBeforeReplies (sim::EmulatedAmplifier::OverlongMessage::firmwareInfoNamed); break;
            case Fault::overlongFrame:     amplifier.setOverlongMessageBeforeReplies (sim::EmulatedAmplifier::OverlongMessage::frame); break;
            case Fault::refuseAll:         amplifier.setRefuseAllBlocks (true); break;
            case Fault::neverBack:         amplifier.setNeverComeBackAfterRestart (true); break;
            case Fault::dropReply:         amplifier.dropReplyToMessage (amplifier.getNumReceivedMessages() + (size_t) any (0, 8)); break;
            case Fault::vanish:            amplifier.vanishOnMessage (amplifier.getNumReceivedMessages() + (size_t) any (0, 8)); break;
            case Fault::vanishAfterBlocks: amplifier.vanishAfterBlocks (any (0, 3)); break;
        }
    }

    /** One update as the tool does it, on a device opened from the id that the probe
        found; or, every so often, the whole command-line tool with its probe. */
    bool update (sim::EmulatedAmplifier& amplifier, const Bytes& image, bool wholeTool)
    {
        if (wholeTool)
            return runTool (file.getPath()).status == 0 && amplifier.flashEquals (image);

        auto* manager = jw::DeviceManager::instance();
        manager->setCurrentDevice (new JwUsbMidiH3 (reinterpret_cast<const char*> (id.data())));
        auto* device = manager->currentDevice();
        bool ok = false;

        if (device->Open())
        {
            // No serial query here: an amplifier in its bootloader would hold every such
            // round 3 s for its missing answer. The rounds of the whole tool ask it.
            FirmwareUpdateSession session;
            session.fw_data_ = image.data();
            session.fw_size_ = (int) image.size();
            session.status_reset_cb_ = &reopenWhenBack;
            session.finish_cb_ = &reopenWhenBack;
            session.cb_user_data_ = &amplifier;

            {
                // The session's progress lines are not wanted in the soak's log.
                StdoutCapture quiet;
                ok = session.Perform (device);
                quiet.finish();
            }
        }

        device->Close();
        manager->setCurrentDevice (nullptr);
        return ok && amplifier.flashEquals (image);
    }

    void SetUp() override
    {
        backend();
        reopenDelay = std::chrono::milliseconds (200);
        seed = (unsigned) environmentInt ("TARVO_SOAK_SEED", 20260417);
        rng.seed (seed);
    }

    sim::EmulatedAmplifier::Config config()
    {
        auto c = fieldAmplifier();
        c.restartTimeMs = 40;

        // Some rounds start from an amplifier that an earlier update left in its bootloader.
        if (std::uniform_int_distribution<int> (0, 3) (rng) == 0)
        {
            c.bootloaderMode = true;
            c.firmwareStatus = 0;
        }

        return c;
    }

    unsigned seed = 0;
    std::mt19937 rng;
    const Bytes image = makeImage (imageSize, 37);
    const ImageFile file { image };
    DeviceUuid id {};
};
} // namespace

TEST_F (Soak, TwoHundredUpdatesWithRandomFaultsReturnToTheBaseline)
{
    const auto rounds = environmentInt ("TARVO_SOAK_ROUNDS", 200);
    const int warmUp = 3;
    std::cout << "soak: " << rounds << " rounds, seed " << seed << " (TARVO_SOAK_SEED)" << std::endl;

    // The amplifier is found once, as the tool finds it; every round's amplifier comes
    // back at the same ports with the same id.
    {
        sim::EmulatedAmplifier amplifier (service(), config());
        StdoutCapture quiet;
        ASSERT_EQ (jw::DeviceManager::instance()->impl->probeAll(), 1);
        quiet.finish();
        const auto ids = jw::DeviceManager::instance()->deviceUuids();
        ASSERT_EQ (ids.size(), 1u);
        id = ids.front();
    }

    int baselineThreads = 0;
    size_t baselineBytes = 0;
    size_t peakGrowth = 0;
    int recoveries = 0;
    std::map<std::string, int> drawn;

    // Room for what the allocator and the libraries keep from one round to the next; a
    // leak of one message per round would pass it within the rounds.
    const size_t slack = 48 * 1024;

    for (int round = 0; round < rounds + warmUp; ++round)
    {
        const auto fault = round < warmUp ? Fault::none : draw();
        const bool wholeTool = round % 20 == 7;
        ++drawn[nameOf (fault)];

        const auto roundStart = std::chrono::steady_clock::now();

        {
            sim::EmulatedAmplifier amplifier (service(), config());
            turnOn (fault, amplifier);

            const bool ok = update (amplifier, image, wholeTool);

            if (updateMustSucceed (fault))
            {
                EXPECT_TRUE (ok) << "round " << round << ": '" << nameOf (fault) << "' must not stop the update";
            }

            // An update cut off at its very end can report success with the amplifier still
            // in its bootloader; either way, plugged back in it must take a clean update.
            if (! ok || amplifier.getFirmwareStatus() != 1 || amplifier.isInBootloaderMode())
            {
                ++recoveries;
                amplifier.clearFaults();
                amplifier.plug();
                ASSERT_TRUE (amplifier.waitUntilPlugged (true, 5000)) << "round " << round;
                ASSERT_TRUE (update (amplifier, image, false)) << "round " << round << ": amplifier lost after '" << nameOf (fault) << "'";
            }

            EXPECT_EQ (amplifier.getFirmwareStatus(), 1) << "round " << round << " after '" << nameOf (fault) << "'";
            EXPECT_FALSE (amplifier.isInBootloaderMode()) << "round " << round << " after '" << nameOf (fault) << "'";
        }

        // Late replies and restarts of the amplifier just gone must not be pending.
        ASSERT_TRUE (service().waitUntilIdle (10000)) << "round " << round;

        const auto roundSeconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - roundStart).count();

        if (roundSeconds > 2.0)
            std::cout << "soak: round " << round << " ('" << nameOf (fault) << "'" << (wholeTool ? ", whole tool" : "")
                      << ") took " << roundSeconds << " s" << std::endl;

        EXPECT_EQ (service().getNumOpenInputs(), 0) << "round " << round;
        EXPECT_EQ (service().getNumOpenOutputs(), 0) << "round " << round;
        EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);

        if (round + 1 == warmUp)
        {
            baselineThreads = numThreads();
            baselineBytes = bytesInUse();
            continue;
        }

        if (round < warmUp)
            continue;

        EXPECT_EQ (numThreads(), baselineThreads) << "round " << round << " after '" << nameOf (fault) << "'";

        const auto bytes = bytesInUse();
        const auto growth = bytes > baselineBytes ? bytes - baselineBytes : 0;
        peakGrowth = std::max (peakGrowth, growth);
        EXPECT_LE (growth, slack) << "round " << round << " after '" << nameOf (fault) << "'";

        if (HasFatalFailure() || testing::Test::HasFailure())
            break;
    }

    std::ostringstream summary;
    summary << "soak: " << rounds << " rounds, " << recoveries << " left the amplifier to be recovered, threads "
            << baselineThreads << ", peak memory growth " << peakGrowth << " bytes; faults drawn:";

    for (const auto& d : drawn)
        summary << " " << d.first << " " << d.second << ";";

    std::cout << summary.str() << std::endl;
}
