#pragma once

// What the tool and window rows share: the simulator as the port backend with a hook
// before each message the host sends, the fault knobs with their expected outcomes, and a
// runner that plays each row in a process of its own.

#include "EmulatedAmplifier.h"
#include "JwDevice.h"
#include "JwDeviceManager.h"
#include "Reconnect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace reliability
{
using Bytes = std::vector<uint8_t>;
using Amp = sim::EmulatedAmplifier;

constexpr int slow = TARVO_RELIABILITY_SANITIZED ? 3 : 1;   // sanitizer builds wait longer

// The simulator, with an action armed to run just before the host sends its n-th message
// (probes not counted): a knob is then in force when the amplifier handles that message,
// without racing the update.
struct ArmingBackend final : midi::Backend
{
    sim::VirtualMidiService service;
    std::mutex lock;
    size_t sent = 0, armedAt = 0;
    std::function<void()> action;

    void arm (size_t n, std::function<void()> fn)
    {
        const std::lock_guard<std::mutex> l (lock);
        std::tie (sent, armedAt, action) = std::make_tuple (0, n, std::move (fn));
    }

    struct Watched final : midi::Output
    {
        ArmingBackend& owner;
        std::unique_ptr<midi::Output> out;
        Watched (ArmingBackend& o, std::unique_ptr<midi::Output> p) : owner (o), out (std::move (p)) {}

        void sendMessageNow (const juce::MidiMessage& m) override
        {
            const auto* d = m.getRawData();
            const bool probe = m.getRawDataSize() >= 7 && d[1] == 0x01 && d[4] == 0x02 && d[5] == 0x12;
            std::function<void()> due;
            if (const std::lock_guard<std::mutex> l (owner.lock); ! probe && owner.sent++ == owner.armedAt)
                std::swap (due, owner.action);
            if (due)
                due();   // outside the lock: a knob takes the amplifier's own lock
            out->sendMessageNow (m);
        }
    };

    juce::StringArray getInputNames() override  { return service.getInputNames(); }
    juce::StringArray getOutputNames() override { return service.getOutputNames(); }
    std::unique_ptr<midi::Input> openInput (int i, midi::InputCallback* c) override { return service.openInput (i, c); }
    std::unique_ptr<midi::Output> openOutput (int i) override
    {
        auto out = service.openOutput (i);
        return out == nullptr ? nullptr : std::make_unique<Watched> (*this, std::move (out));
    }
};

inline ArmingBackend& backend()
{
    // Owned by the port layer once installed, to the end of the process.
    static ArmingBackend* const installed = [] { auto b = std::make_unique<ArmingBackend>(); auto* raw = b.get(); midi::installBackend (std::move (b)); return raw; }();
    return *installed;
}

inline sim::VirtualMidiService& service() { return backend().service; }

// An amplifier as found in the field: running older firmware, restarting fast.
inline Amp::Config fieldAmplifier()
{
    // The host waits reopenDelay for a restart: shortened, with a margin for a loaded machine.
    reopenDelay = std::chrono::milliseconds (150 * slow);
    alarm (120 * slow);   // a row that hangs ends its process, and the row fails
    Amp::Config config;
    config.restartTimeMs = 30;
    config.flash = Bytes (0x600, 30);
    return config;
}

inline bool portsClosed() { return service().getNumOpenInputs() + service().getNumOpenOutputs() == 0 && jw::DeviceManager::instance()->currentDevice() == nullptr; }

// The user plugs the amplifier back in, its faults gone.
inline void plugBackIn (Amp& amp)
{
    backend().arm (SIZE_MAX, nullptr);
    amp.clearFaults();
    service().refuseOpensAfter (amp.getDeviceId(), -1);
    amp.plug();
    ASSERT_TRUE (amp.waitUntilPlugged (true, 5000));
}

// Phases: probe (window: connect), serial query (window: the three info queries), status
// read, status reset, firmware description, transfer, final status. A fault knob and how
// an update ends with it turned on at each phase and left on. Tool: "none" (no device
// found), "ok", or the error code, '' when the serial line is empty. Window: "c" (back on
// Connect), "ok" (success toast), "f" (failure toast).
constexpr int numPhases = 7;

// aimsAtMessage: the knob takes the amplifier's own message index.
struct Knob { const char* name; bool aimsAtMessage; std::function<void (Amp&, size_t index, bool window)> turnOn; const char *tool, *window; };

inline const std::vector<Knob>& knobs()
{
    static const std::vector<Knob> all {
        { "refuse block once", false, [] (Amp& a, size_t, bool) { a.refuseBlockOnce (1); }, "ok ok ok ok ok ok ok", "ok ok ok ok ok ok ok" },
        { "refuse all blocks", false, [] (Amp& a, size_t, bool) { a.setRefuseAllBlocks (true); }, "16 16 16 16 16 16 ok", "f f f f f f ok" },
        { "drop reply", true, [] (Amp& a, size_t i, bool) { a.dropReplyToMessage (i); }, "none ok'' 11 ok 14 16 ok", "c ok f ok f f ok" },
        // Late, within the waits; the window writes thousands of blocks, each reply late.
        { "short delay", false, [] (Amp& a, size_t, bool w) { a.setReplyDelayMs (w ? 1 : 150); }, "ok ok ok ok ok ok ok", "ok ok ok ok ok ok ok" },
        { "delay 3500 ms", false, [] (Amp& a, size_t, bool) { a.setReplyDelayMs (3500); }, "none 11'' 11 14 14 16 ok", "c f f f f f ok" },
        { "other names first", false, [] (Amp& a, size_t, bool) { a.setOtherRepliesBeforeTransferReplies (3); }, "ok ok ok ok ok ok ok", "ok ok ok ok ok ok ok" },
        { "wrong checksum", false, [] (Amp& a, size_t, bool) { a.setWrongChecksumOnFramedReplies (true); }, "none ok'' ok ok ok ok ok", "c ok ok ok ok ok ok" },
        { "short probe id", false, [] (Amp& a, size_t, bool) { a.setProbeIdLength (5); }, "none ok ok ok ok ok ok", "c ok ok ok ok ok ok" },
        { "overlong named", false, [] (Amp& a, size_t, bool) { a.setOverlongMessageBeforeReplies (Amp::OverlongMessage::firmwareInfoNamed); }, "11 11 11 14 14 16 ok", "f f f f f f ok" },
        { "overlong frame", false, [] (Amp& a, size_t, bool) { a.setOverlongMessageBeforeReplies (Amp::OverlongMessage::frame); }, "11'' 11'' 11 14 14 16 ok", "f f f f f f ok" },
        { "silent on strings", false, [] (Amp& a, size_t, bool) { a.setSilentOnStringQueries (true); }, "ok'' ok'' ok ok ok ok ok", "ok ok ok ok ok ok ok" },
        { "never back", false, [] (Amp& a, size_t, bool) { a.setNeverComeBackAfterRestart (true); }, "13 13 13 13 ok ok ok", "f f f f ok ok ok" },
        { "vanish", true, [] (Amp& a, size_t i, bool) { a.vanishOnMessage (i); }, "none 11'' 11 13 14 16 ok", "c f f f f f ok" },
        { "vanish after 2 blocks", false, [] (Amp& a, size_t, bool) { a.vanishAfterBlocks (2); }, "16 16 16 16 16 16 ok", "f f f f f f ok" },
        // A driver gone bad: from the phase on, the amplifier's ports no longer open.
        { "ports refuse to open", false, [] (Amp& a, size_t, bool) { service().refuseOpensAfter (a.getDeviceId(), 0); }, "none 13 13 13 ok ok ok", "c f f f ok ok ok" },
    };
    return all;
}

inline std::string outcomeOf (const Knob& knob, int phase, bool window)
{
    std::istringstream outcomes (window ? knob.window : knob.tool);
    std::string outcome;
    while (phase-- >= 0)
        outcomes >> outcome;
    return outcome;
}

// Turns the knob on for the phase, and returns how the update must end.
inline std::string turnOnAt (const Knob& knob, int phase, size_t numBlocks, bool window, Amp& amp)
{
    // The host message (probes not counted) of each phase; the window reads three
    // strings before the update, which reads the description again.
    const size_t messages[2][numPhases] = { { 0, 0, 1, 2, 3, 4, 4 + numBlocks }, { 0, 0, 3, 4, 5, 6, 6 + numBlocks } };
    const auto message = messages[window][phase];
    if (knob.aimsAtMessage || phase == 0)
        knob.turnOn (amp, phase == 0 ? 0 : message + 1, window);   // + 1: the amplifier counts the probe
    else
        backend().arm (message, [&knob, &amp, window] { knob.turnOn (amp, 0, window); });
    return outcomeOf (knob, phase, window);
}

// Rows wait on the amplifier far more than they compute, so many run at once, each in a
// process of its own (this program again, asked for the current test and one row): a
// crash, a hang (ended by the row's alarm) or a sanitizer report fails that row alone.
inline void forEachRowInAChild (int numRows, const std::function<void (int)>& playRow)
{
    // Unbuffered, so that a row that dies still shows how far it came.
    if (const auto* row = std::getenv ("TARVO_RELIABILITY_ROW"))
        return (void) std::setvbuf (stdout, nullptr, _IONBF, 0), playRow (std::atoi (row));

    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    const auto filter = juce::String ("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const auto self = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName();
    std::atomic<int> next { 0 };
    std::vector<std::future<std::string>> workers;
    for (int j = 0; j < 24 / slow; ++j)   // sanitizer builds: fewer at once, each heavier
        workers.push_back (std::async (std::launch::async, [&]
        {
            std::string failures;
            for (int row; (row = next++) < numRows;)
            {
                juce::ChildProcess child;
                std::string out;
                char buffer[4096];
                if (! child.start ({ "env", "TARVO_RELIABILITY_ROW=" + juce::String (row), self, filter }))
                    out = "could not start the row's process\n";
                else
                    for (int n; (n = child.readProcessOutput (buffer, sizeof (buffer))) > 0;)
                        out.append (buffer, (size_t) n);
                std::replace (out.begin(), out.end(), '\0', ' ');   // the firmware printout holds one: a failure's text would end there
                if (! child.waitForProcessToFinish (10000) || child.getExitCode() != 0
                    || out.find ("[  PASSED  ] 1 test") == std::string::npos || out.find ("Sanitizer") != std::string::npos)
                    failures += "--- row " + std::to_string (row) + ", exit code " + std::to_string (child.getExitCode()) + " ---\n" + out;
            }
            return failures;
        }));
    for (auto& worker : workers)
        if (const auto failures = worker.get(); ! failures.empty())
            ADD_FAILURE() << failures;
}

// Every knob at every phase, a row each.
inline void forEachKnobAtEachPhase (const std::function<void (const Knob&, int phase)>& play)
{
    forEachRowInAChild ((int) knobs().size() * numPhases, [&] (int row)
    {
        const auto& knob = knobs()[(size_t) (row / numPhases)];
        SCOPED_TRACE (std::string (knob.name) + " at phase " + std::to_string (row % numPhases));
        play (knob, row % numPhases);
    });
}
} // namespace reliability
