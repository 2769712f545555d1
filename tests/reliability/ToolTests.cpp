// Command-line updates cut off at every message, with every fault knob at every phase, and
// update after update with random faults: each run ends in time with the line and status
// that fit, leaves no port open, and the amplifier still takes a clean update.

#include "Reliability.h"

#include "FirmwareUpdateSession.h"
#include "FirmwareUpgradeTool.h"
#include "JwUsbMidiH3.h"

#include <malloc.h>
#include <numeric>
#include <random>

using namespace reliability;

namespace
{
// Four blocks, the last one partial.
Bytes makeImage (uint8_t version) { Bytes image (3 * 256 + 200); std::iota (image.begin(), image.end(), version); return image; }
const Bytes image = makeImage (37), nextImage = makeImage (38);

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

// outcome: "none", "ok" or an error code, "''" appended when the serial line is empty.
void expectRun (const std::pair<int, std::string>& run, const std::string& code, bool checkSerial = true)
{
    const bool emptySerial = code.size() > 2 && code.compare (code.size() - 2, 2, "''") == 0;
    const auto outcome = code.substr (0, code.size() - (emptySerial ? 2 : 0));
    const auto last = outcome == "none" ? "No device found"
                    : outcome == "ok"   ? "Firmware upgraded!" : "Firmware upgrade failed! Error code is " + outcome;
    const auto serial = std::string ("Get device SN:'") + (emptySerial ? "" : "TV40-2026-000731") + "'\n";
    EXPECT_EQ (run.first, outcome == "ok" ? 0 : 1);
    const auto text = run.second.substr (0, run.second.find_last_not_of ('\n') + 1);
    EXPECT_EQ (text.substr (text.rfind ('\n') + 1), last);
    EXPECT_TRUE (outcome == "none" || ! checkSerial || run.second.find (serial) != std::string::npos) << serial;
    EXPECT_TRUE (portsClosed()) << "ports or device left open";
}

// An update with a fault; then the user plugs the amplifier back in and updates again.
void playToolRow (const std::function<std::string (Amp&)>& turnOn)
{
    Amp amp (service(), fieldAmplifier());
    const auto code = turnOn (amp);
    expectRun (runTool (image), code);
    EXPECT_TRUE (code != "ok" || amp.flashEquals (image)) << "success reported, flash differs";
    ASSERT_NO_FATAL_FAILURE (plugBackIn (amp));
    SCOPED_TRACE ("the clean update after the fault");
    expectRun (runTool (nextImage), "ok", false);   // left in its bootloader, it may not tell its serial
    EXPECT_TRUE (amp.flashEquals (nextImage) && amp.getFirmwareStatus() == 1 && ! amp.isInBootloaderMode());
}

// An update as the tool does it, on a device opened from the id that the last probe found.
bool updateDirectly (Amp& amp)
{
    auto* manager = jw::DeviceManager::instance();
    manager->setCurrentDevice (new JwUsbMidiH3 (reinterpret_cast<const char*> (fieldAmplifier().deviceId.data())));
    FirmwareUpdateSession session;
    session.fw_data_ = image.data();
    session.fw_size_ = (int) image.size();
    session.status_reset_cb_ = session.finish_cb_ = &reopenDevice;
    const bool ok = manager->currentDevice()->Open() && session.Perform (manager->currentDevice());
    manager->currentDevice()->Close();
    manager->setCurrentDevice (nullptr);
    return ok && amp.flashEquals (image);
}
} // namespace

TEST (FaultMatrix, CommandLineToolEveryKnobAtEveryPhase)
{
    forEachKnobAtEachPhase ([] (const Knob& knob, int phase) { playToolRow ([&] (Amp& amp) { return turnOnAt (knob, phase, 4, false, amp); }); });
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
        playToolRow ([&] (Amp& amp) { knob.turnOn (amp, k, false); return outcomeOf (knob, (int) std::min<size_t> (k, 5) + (k == 9), false); });
    });
}

TEST (Soak, FiftyUpdatesWithRandomFaultsReturnToTheBaseline)
{
    std::mt19937 rng (20260417);
    auto any = [&] (int lo, int hi) { return std::uniform_int_distribution<int> (lo, hi) (rng); };
    const int warmUp = 3;
    std::pair<int, size_t> baseline;   // threads and bytes in use
    for (int round = 0; round < warmUp + 50 && ! HasFailure(); ++round)
    {
        // Half the rounds clean, the others with a knob turned on at a random message.
        const auto* knob = round < warmUp || any (0, 1) == 0 ? nullptr : &knobs()[(size_t) any (0, (int) knobs().size() - 1)];
        const bool tool = round % 10 == 0;   // the whole tool: its probe finds the amplifier for the rounds after
        SCOPED_TRACE ("round " + std::to_string (round) + ": " + (knob != nullptr ? knob->name : "no fault") + (tool ? ", tool" : ""));
        {
            auto config = fieldAmplifier();
            config.bootloaderMode = any (0, 3) == 0;   // left there by an earlier update
            config.firmwareStatus = config.bootloaderMode ? 0 : 1;
            Amp amp (service(), config);
            if (knob != nullptr)
                knob->turnOn (amp, (size_t) any (0, 8), false);

            const auto update = [&] { return tool ? runTool (image).first == 0 && amp.flashEquals (image) : updateDirectly (amp); };
            const bool ok = update();
            // Knobs that spare an update from the start (the tool's probe, or the status read).
            EXPECT_TRUE (ok || knob == nullptr || knob->aimsAtMessage || outcomeOf (*knob, tool ? 0 : 2, false).rfind ("ok", 0) != 0);

            // Cut off at its very end, an update may succeed with the amplifier still restarting.
            ASSERT_TRUE (service().waitUntilIdle (10000));
            if (! ok || amp.getFirmwareStatus() != 1 || amp.isInBootloaderMode())
            {
                ASSERT_NO_FATAL_FAILURE (plugBackIn (amp));
                ASSERT_TRUE (update()) << "the amplifier is lost";
            }
            EXPECT_TRUE (amp.getFirmwareStatus() == 1 && ! amp.isInBootloaderMode());
        }
        ASSERT_TRUE (service().waitUntilIdle (10000));   // no late reply or restart pending
        EXPECT_TRUE (portsClosed());

        // Threads and memory back where they were; room for what the allocator keeps, not for
        // a message leaked per round. Sanitizers report leaks themselves.
        const auto numThreads = juce::File ("/proc/self/task").getNumberOfChildFiles (juce::File::findDirectories);
        if (round + 1 == warmUp)
            baseline = { numThreads, mallinfo2().uordblks };
        EXPECT_TRUE (round < warmUp || numThreads == baseline.first);
        EXPECT_TRUE (round < warmUp || slow > 1 || mallinfo2().uordblks <= baseline.second + 48 * 1024);
    }
}
