// Command-line updates cut off at every message, with every fault knob at every phase, and
// update after update with random faults: each run ends in time with the line and status
// that fit, leaves no port open, and the amplifier still takes a clean update. Against the
// emulated amplifier on the simulator's ports; the matrix and the sweep play each row in a
// process of its own (see Reliability.h), the soak in the test's process.

#include "Reliability.h"

#include "FirmwareUpdateSession.h"
#include "FirmwareUpgradeTool.h"
#include "JwUsbMidiH3.h"

#include <gmock/gmock.h>

#include <malloc.h>
#include <numeric>
#include <random>

using namespace reliability;

namespace
{
// Four blocks, the last one partial.
Bytes makeImage (uint8_t version)
{
    Bytes image (3 * 256 + 200);
    std::iota (image.begin(), image.end(), version);
    return image;
}

const Bytes image = makeImage (37);
const Bytes nextImage = makeImage (38);

// One command-line update in-process: its status and standard output.
std::pair<int, std::string> runTool (const Bytes& firmware)
{
    const auto file = juce::File::createTempFile (".bin");
    file.replaceWithData (firmware.data(), firmware.size());

    std::ostringstream out;   // the tool's own lines; the session's printf lines go on to the log
    auto* const saved = std::cout.rdbuf (out.rdbuf());
    const auto status = console::FirmwareUpgradeTool (file.getFullPathName()).execute();
    std::cout.rdbuf (saved);

    file.deleteFile();
    std::cout << out.str();
    return { status, out.str() };
}

// The tool's last line for an outcome: "none", "ok" or an error code.
std::string lastLineFor (const std::string& outcome)
{
    if (outcome == "none")
        return "No device found";

    if (outcome == "ok")
        return "Firmware upgraded!";

    return "Firmware upgrade failed! Error code is " + outcome;
}

// code: "none", "ok" or an error code, "''" appended when the serial line is empty.
void expectRun (const std::pair<int, std::string>& run,
                const std::string& code,
                bool checkSerial = true)
{
    const bool emptySerial = code.size() > 2 && code.compare (code.size() - 2, 2, "''") == 0;
    const auto outcome = code.substr (0, code.size() - (emptySerial ? 2 : 0));
    const auto serial = std::string ("Get device SN:'")
                      + (emptySerial ? "" : "TV40-2026-000731")
                      + "'\n";

    EXPECT_EQ (outcome == "ok" ? 0 : 1, run.first) << "the tool's status";

    const auto text = run.second.substr (0, run.second.find_last_not_of ('\n') + 1);
    EXPECT_EQ (lastLineFor (outcome), text.substr (text.rfind ('\n') + 1));

    if (outcome != "none" && checkSerial)
    {
        EXPECT_THAT (run.second, testing::HasSubstr (serial));
    }

    expectPortsClosed();
}

// An update with a fault; then the user plugs the amplifier back in and updates again.
// knob: the one turned on, to be seen acting if it has a sign of its own.
void playToolRow (const std::function<std::string (Amp&)>& turnOn, const Knob* knob = nullptr)
{
    Amp amp (service(), fieldAmplifier());
    const auto code = turnOn (amp);
    expectRun (runTool (image), code);

    if (code == "ok")
    {
        EXPECT_TRUE (amp.flashEquals (image)) << "success reported, flash differs";
    }

    if (knob != nullptr && knob->expectSeen != nullptr)
    {
        SCOPED_TRACE ("the knob at work");
        ASSERT_NO_FATAL_FAILURE (readStatusOnOwnPorts());
        knob->expectSeen (false);
    }

    ASSERT_NO_FATAL_FAILURE (plugBackIn (amp));
    SCOPED_TRACE ("the clean update after the fault");
    // Left in its bootloader, the amplifier may not tell its serial.
    expectRun (runTool (nextImage), "ok", false);
    expectRunning (amp, nextImage);
}

// An update as the tool does it, on a device opened from the id that the last probe found.
bool updateDirectly (Amp& amp)
{
    auto* manager = jw::DeviceManager::instance();
    const auto& id = fieldAmplifier().deviceId;
    manager->setCurrentDevice (new JwUsbMidiH3 (reinterpret_cast<const char*> (id.data())));

    FirmwareUpdateSession session;
    session.fw_data_ = image.data();
    session.fw_size_ = (int) image.size();
    session.status_reset_cb_ = &reopenDevice;
    session.finish_cb_ = &reopenDevice;

    const bool ok = manager->currentDevice()->Open() && session.Perform (manager->currentDevice());
    manager->currentDevice()->Close();
    manager->setCurrentDevice (nullptr);
    return ok && amp.flashEquals (image);
}
} // namespace

TEST (FaultMatrix, CommandLineToolEveryKnobAtEveryPhase)
{
    forEachKnobAtEachPhase ([] (const Knob& knob, int phase)
    {
        const auto turnOn = [&] (Amp& amp)
        {
            return turnOnAt (knob, phase, 4, false, amp);
        };

        playToolRow (turnOn, &knob);
    });
}

// The amplifier gone or its reply lost at every message k: 0 probe, 1 serial query, 2
// status read, 3 status reset, 4 description, a message per block, the final status.
TEST (InterruptionSweep, AmplifierGoneOrReplyLostAtEveryMessage)
{
    forEachRowInAChild (20, [] (int row)
    {
        const auto& knob = knobs()[row < 10 ? 2 : 12];   // drop reply, vanish
        const auto k = (size_t) row % 10;
        SCOPED_TRACE (std::string (knob.name) + " at message " + std::to_string (k));

        playToolRow ([&] (Amp& amp)
        {
            knob.turnOn (amp, k, false);
            const auto phase = (int) std::min<size_t> (k, 5) + (k == 9);
            return outcomeOf (knob, phase, false);
        });
    });
}

TEST (Soak, FiftyUpdatesWithRandomFaultsReturnToTheBaseline)
{
    std::mt19937 rng (20260417);
    auto any = [&] (int lo, int hi)
    {
        return std::uniform_int_distribution<int> (lo, hi) (rng);
    };

    const int warmUp = 3;
    int baselineThreads = 0;
    size_t baselineBytes = 0;   // in use

    for (int round = 0; round < warmUp + 50 && ! HasFailure(); ++round)
    {
        // Half the rounds clean, the others with a knob turned on at a random message.
        const Knob* knob = nullptr;

        if (round >= warmUp && any (0, 1) != 0)
            knob = &knobs()[(size_t) any (0, (int) knobs().size() - 1)];

        // The whole tool: its probe finds the amplifier for the rounds after.
        const bool tool = round % 10 == 0;
        SCOPED_TRACE ("round " + std::to_string (round) + ": "
                      + (knob != nullptr ? knob->name : "no fault")
                      + (tool ? ", tool" : ""));
        {
            auto config = fieldAmplifier();
            config.bootloaderMode = any (0, 3) == 0;   // left there by an earlier update
            config.firmwareStatus = config.bootloaderMode ? 0 : 1;
            Amp amp (service(), config);

            if (knob != nullptr)
                knob->turnOn (amp, (size_t) any (0, 8), false);

            const auto update = [&]
            {
                if (tool)
                    return runTool (image).first == 0 && amp.flashEquals (image);

                return updateDirectly (amp);
            };

            const bool ok = update();

            // Knobs that spare an update from the start (the tool's probe, or the status read).
            const bool spared = knob != nullptr
                             && ! knob->aimsAtMessage
                             && outcomeOf (*knob, tool ? 0 : 2, false).rfind ("ok", 0) == 0;

            if (spared)
            {
                EXPECT_TRUE (ok) << "the knob spares the update, yet it failed";
            }

            // Cut off at its very end, an update may succeed with the amplifier still restarting.
            ASSERT_TRUE (service().waitUntilIdle (10000));

            if (! ok || amp.getFirmwareStatus() != 1 || amp.isInBootloaderMode())
            {
                ASSERT_NO_FATAL_FAILURE (plugBackIn (amp));
                ASSERT_TRUE (update()) << "the amplifier is lost";
            }

            EXPECT_EQ (1, (int) amp.getFirmwareStatus());
            EXPECT_FALSE (amp.isInBootloaderMode());
        }

        ASSERT_TRUE (service().waitUntilIdle (10000));   // no late reply or restart pending
        expectPortsClosed();

        // Threads and memory back where they were; room for what the allocator keeps, not for
        // a message leaked per round. Sanitizers report leaks themselves.
        const auto tasks = juce::File ("/proc/self/task");
        const auto numThreads = tasks.getNumberOfChildFiles (juce::File::findDirectories);
        const auto bytesInUse = mallinfo2().uordblks;

        if (round + 1 == warmUp)
        {
            baselineThreads = numThreads;
            baselineBytes = bytesInUse;
        }

        if (round >= warmUp)
        {
            EXPECT_EQ (baselineThreads, numThreads) << "threads";
        }

        if (round >= warmUp && slow == 1)
        {
            EXPECT_LE (bytesInUse, baselineBytes + 48 * 1024) << "bytes in use";
        }
    }
}
