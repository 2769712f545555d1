#pragma once

// What the tool and window rows share: the simulator as the port backend, with a hook before
// each message the host sends and a log of the transfer replies the host receives; the fault
// knobs with their expected outcomes; and a runner that plays each row in a process of its own.

#include "ChildRun.h"
#include "EmulatedAmplifier.h"
#include "JwDevice.h"
#include "JwDeviceManager.h"
#include "MessageLoop.h"
#include "Reconnect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace reliability
{
using Bytes = std::vector<uint8_t>;
using Amp = sim::EmulatedAmplifier;

constexpr int slow = TARVO_RELIABILITY_SANITIZED ? 3 : 1;   // sanitizer builds wait longer

// A probe: a frame with the operation bytes 02 12.
inline bool isProbe (const juce::MidiMessage& m)
{
    const auto* d = m.getRawData();
    return m.getRawDataSize() >= 7 && d[1] == 0x01 && d[4] == 0x02 && d[5] == 0x12;
}

// The name a firmware transfer message starts with (F0 name ...), or "" for a frame.
inline std::string transferName (const juce::MidiMessage& m)
{
    static const char* const names[] = {
        "GetFwStatus", "SetFwStatus", "GetFwInfo", "WriteFlash",
        "RetFwStatus", "RetFwInfo", "RetWriteFlash",
    };
    const auto* d = m.getRawData();
    const auto size = (size_t) m.getRawDataSize();

    for (const auto* name : names)
    {
        const auto length = std::strlen (name);

        if (size > length && d[0] == 0xf0 && std::memcmp (d + 1, name, length) == 0)
            return name;
    }

    return {};
}

// The reply a transfer request waits for; "" for one that gets none (SetFwStatus).
inline std::string replyNameFor (const std::string& request)
{
    if (request == "GetFwStatus")
        return "RetFwStatus";

    if (request == "GetFwInfo")
        return "RetFwInfo";

    if (request == "WriteFlash")
        return "RetWriteFlash";

    return {};
}

// A transfer reply as the host received it.
struct TransferReply
{
    std::string name;
    double msAfterRequest;   // from the host's send of the request it answers
    int otherNamesBefore;    // transfer messages of other names received in between
};

// The simulator, with an action armed to run just before the host sends its n-th message
// (probes not counted): a knob is then in force when the amplifier handles that message,
// without racing the update. From that message on, the transfer replies are logged.
struct ArmingBackend final : midi::Backend
{
    using Clock = std::chrono::steady_clock;

    // The transfer request the host last sent, while it waits for the reply.
    struct Pending
    {
        std::string reply;
        Clock::time_point sent;
        const void* output;
        int otherNames = 0;
    };

    sim::VirtualMidiService service;
    std::mutex lock;
    size_t sent = 0;
    size_t armedAt = 0;
    std::function<void()> action;
    bool logging = false;
    std::optional<Pending> pending;
    std::vector<TransferReply> replies;

    // How long the host waited for a reply that did not come: until it sent the next
    // transfer request or closed the port it had sent the request on.
    std::vector<double> msWaitedInVain;

    void arm (size_t n, std::function<void()> fn)
    {
        const std::lock_guard<std::mutex> l (lock);
        sent = 0;
        armedAt = n;
        action = std::move (fn);
        logging = false;
    }

    // What was logged since the armed message; kept until the next one is reached.
    std::vector<TransferReply> transferReplies()
    {
        const std::lock_guard<std::mutex> l (lock);
        return replies;
    }

    std::vector<double> waitsInVain()
    {
        const std::lock_guard<std::mutex> l (lock);
        return msWaitedInVain;
    }

    // The wait for the pending reply, if any, ends without it (lock held).
    void giveUpPending()
    {
        if (pending.has_value())
        {
            const std::chrono::duration<double, std::milli> waited = Clock::now() - pending->sent;
            msWaitedInVain.push_back (waited.count());
        }

        pending.reset();
    }

    // Before a message goes out on the output: the armed action, if it is due (outside the
    // lock: a knob takes the amplifier's own lock), and the request noted.
    void hostSends (const juce::MidiMessage& m, const void* output)
    {
        std::function<void()> due;

        if (const std::lock_guard<std::mutex> l (lock); ! isProbe (m) && sent++ == armedAt)
        {
            std::swap (due, action);
            logging = true;
            pending.reset();
            replies.clear();
            msWaitedInVain.clear();
        }

        if (due)
            due();

        const auto name = transferName (m);
        const std::lock_guard<std::mutex> l (lock);

        if (! logging || name.empty())
            return;

        giveUpPending();
        const auto reply = replyNameFor (name);

        if (! reply.empty())
            pending = Pending { reply, Clock::now(), output };
    }

    void hostCloses (const void* output)
    {
        const std::lock_guard<std::mutex> l (lock);

        if (pending.has_value() && pending->output == output)
            giveUpPending();
    }

    // Each message that reaches one of the host's inputs, on the delivery thread.
    void hostReceives (const juce::MidiMessage& m)
    {
        const auto name = transferName (m);
        const std::lock_guard<std::mutex> l (lock);

        if (! logging || ! pending.has_value() || name.empty())
            return;

        if (name != pending->reply)
        {
            ++pending->otherNames;
            return;
        }

        const std::chrono::duration<double, std::milli> elapsed = Clock::now() - pending->sent;
        replies.push_back ({ name, elapsed.count(), pending->otherNames });
        pending.reset();
    }

    struct WatchedOutput final : midi::Output
    {
        ArmingBackend& owner;
        std::unique_ptr<midi::Output> out;

        WatchedOutput (ArmingBackend& o, std::unique_ptr<midi::Output> p)
            : owner (o), out (std::move (p))
        {
        }

        ~WatchedOutput() override
        {
            owner.hostCloses (this);
        }

        void sendMessageNow (const juce::MidiMessage& m) override
        {
            owner.hostSends (m, this);
            out->sendMessageNow (m);
        }
    };

    // Passes the messages on as its own, since the host tells its inputs apart by pointer.
    struct WatchedInput final : midi::Input, midi::InputCallback
    {
        ArmingBackend& owner;
        midi::InputCallback* callback;
        std::unique_ptr<midi::Input> in;

        WatchedInput (ArmingBackend& o, midi::InputCallback* c)
            : owner (o), callback (c)
        {
        }

        ~WatchedInput() override
        {
            in.reset();   // closed first: no message arrives after
        }

        void start() override
        {
            in->start();
        }

        void stop() override
        {
            in->stop();
        }

        void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& m) override
        {
            owner.hostReceives (m);
            callback->handleIncomingMidiMessage (this, m);
        }
    };

    juce::StringArray getInputNames() override
    {
        return service.getInputNames();
    }

    juce::StringArray getOutputNames() override
    {
        return service.getOutputNames();
    }

    std::unique_ptr<midi::Input> openInput (int i, midi::InputCallback* c) override
    {
        if (c == nullptr)
            return service.openInput (i, c);

        auto watched = std::make_unique<WatchedInput> (*this, c);
        watched->in = service.openInput (i, watched.get());
        return watched->in == nullptr ? nullptr : std::move (watched);
    }

    std::unique_ptr<midi::Output> openOutput (int i) override
    {
        auto out = service.openOutput (i);
        return out == nullptr ? nullptr : std::make_unique<WatchedOutput> (*this, std::move (out));
    }
};

inline ArmingBackend& backend()
{
    // Owned by the port layer once installed, to the end of the process.
    static ArmingBackend* const installed = []
    {
        auto b = std::make_unique<ArmingBackend>();
        auto* raw = b.get();
        midi::installBackend (std::move (b));
        return raw;
    }();

    return *installed;
}

inline sim::VirtualMidiService& service()
{
    return backend().service;
}

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

inline void expectPortsClosed()
{
    EXPECT_EQ (0, service().getNumOpenInputs()) << "input ports left open";
    EXPECT_EQ (0, service().getNumOpenOutputs()) << "output ports left open";
    EXPECT_EQ (nullptr, jw::DeviceManager::instance()->currentDevice()) << "device left open";
}

// The amplifier runs the image, its update finished.
inline void expectRunning (const Amp& amp, const Bytes& image)
{
    EXPECT_TRUE (amp.flashEquals (image)) << "the flash holds another image";
    EXPECT_EQ (1, (int) amp.getFirmwareStatus());
    EXPECT_FALSE (amp.isInBootloaderMode());
}

// The user plugs the amplifier back in, its faults gone.
inline void plugBackIn (Amp& amp)
{
    backend().arm (SIZE_MAX, nullptr);
    amp.clearFaults();
    service().refuseOpensAfter (amp.getDeviceId(), -1);
    amp.plug();
    ASSERT_TRUE (amp.waitUntilPlugged (true, 5000));
}

// A status read of the row's own on the amplifier's ports, through the backend as the host's
// go, so that its reply is logged too. For the tool's rows, once the tool is done: in its last
// phase the update sends no request with a reply after the knob is on.
inline void readStatusOnOwnPorts()
{
    const auto portName = Amp::Config().portName;

    struct Collector final : midi::InputCallback
    {
        std::atomic<bool> gotStatus { false };

        void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& m) override
        {
            if (transferName (m) == "RetFwStatus")
                gotStatus = true;
        }
    };

    Collector collector;
    auto& b = backend();
    auto input = b.openInput (b.getInputNames().indexOf (portName), &collector);
    auto output = b.openOutput (b.getOutputNames().indexOf (portName));
    ASSERT_NE (nullptr, input) << "the amplifier's input port does not open";
    ASSERT_NE (nullptr, output) << "the amplifier's output port does not open";

    input->start();
    const std::string request ("GetFwStatus");   // F0 and F7 added around it
    const auto size = (int) request.size();
    output->sendMessageNow (juce::MidiMessage::createSysExMessage (request.data(), size));
    testing_support::pumpUntil ([&] { return collector.gotStatus.load(); }, 20000 * slow);
    EXPECT_TRUE (collector.gotStatus) << "no status came back";
}

// For knobs whose outcomes are those of no fault: the host saw them act, in the transfer
// replies after the knob was turned on.
inline void expectRepliesAtLeastLate (int delayMs)
{
    const auto replies = backend().transferReplies();
    ASSERT_FALSE (replies.empty()) << "no transfer reply came with the knob on";

    const auto earliest = std::min_element (replies.begin(), replies.end(), [] (auto& a, auto& b)
    {
        return a.msAfterRequest < b.msAfterRequest;
    });

    EXPECT_GE (earliest->msAfterRequest, delayMs)
        << "ms from request to reply, the least of " << replies.size() << ", a " << earliest->name;
}

// The host gave up on no transfer reply before its wait was over.
inline void expectWaitsInVainAtLeast (int waitMs)
{
    const auto waits = backend().waitsInVain();

    if (waits.empty())
        return;   // the phase's outcome shows the knob: no device found, or none missed

    const auto shortest = *std::min_element (waits.begin(), waits.end());
    EXPECT_GE (shortest, waitMs)
        << "ms the host waited for a reply that did not come, the least of " << waits.size();
}

inline void expectOtherNamesBeforeEachReply (int count)
{
    const auto replies = backend().transferReplies();
    ASSERT_FALSE (replies.empty()) << "no transfer reply came with the knob on";

    const auto fewest = std::min_element (replies.begin(), replies.end(), [] (auto& a, auto& b)
    {
        return a.otherNamesBefore < b.otherNamesBefore;
    });

    EXPECT_GE (fewest->otherNamesBefore, count)
        << "other names before a reply, the fewest of " << replies.size()
        << ", before a " << fewest->name;
}

// Phases: probe (window: connect), serial query (window: the three info queries), status
// read, status reset, firmware description, transfer, final status. A fault knob and how
// an update ends with it turned on at each phase and left on. Tool: "none" (no device
// found), "ok", or the error code, '' when the serial line is empty. Window: "c" (back on
// Connect), "ok" (success toast), "f" (failure toast).
constexpr int numPhases = 7;

struct Knob
{
    const char* name;
    bool aimsAtMessage;   // the knob takes the amplifier's own message index
    std::function<void (Amp&, size_t index, bool window)> turnOn;
    const char* tool;
    const char* window;

    // What the host sees of the knob acting that its outcomes do not show: where they are
    // those of no fault, or how long the host waited for the reply the knob held back.
    std::function<void (bool window)> expectSeen = nullptr;
};

// Late, within the waits; the window writes thousands of blocks, each reply late.
constexpr int shortDelayMs (bool window)
{
    return window ? 1 : 150;
}

constexpr int numOtherNames = 3;

// How long the host waits for a transfer reply.
constexpr int replyWaitMs = 3000;

inline const std::vector<Knob>& knobs()
{
    using Overlong = Amp::OverlongMessage;

    static const std::vector<Knob> all {
        { "refuse block once", false,
          [] (Amp& a, size_t, bool) { a.refuseBlockOnce (1); },
          "ok ok ok ok ok ok ok", "ok ok ok ok ok ok ok" },
        { "refuse all blocks", false,
          [] (Amp& a, size_t, bool) { a.setRefuseAllBlocks (true); },
          "16 16 16 16 16 16 ok", "f f f f f f ok" },
        { "drop reply", true,
          [] (Amp& a, size_t i, bool) { a.dropReplyToMessage (i); },
          "none ok'' 11 ok 14 16 ok", "c ok f ok f f ok" },
        { "short delay", false,
          [] (Amp& a, size_t, bool w) { a.setReplyDelayMs (shortDelayMs (w)); },
          "ok ok ok ok ok ok ok", "ok ok ok ok ok ok ok",
          [] (bool w) { expectRepliesAtLeastLate (shortDelayMs (w)); } },
        { "delay 3500 ms", false,
          [] (Amp& a, size_t, bool) { a.setReplyDelayMs (3500); },
          "none 11'' 11 14 14 16 ok", "c f f f f f ok",
          [] (bool) { expectWaitsInVainAtLeast (replyWaitMs); } },
        { "other names first", false,
          [] (Amp& a, size_t, bool) { a.setOtherRepliesBeforeTransferReplies (numOtherNames); },
          "ok ok ok ok ok ok ok", "ok ok ok ok ok ok ok",
          [] (bool) { expectOtherNamesBeforeEachReply (numOtherNames); } },
        { "wrong checksum", false,
          [] (Amp& a, size_t, bool) { a.setWrongChecksumOnFramedReplies (true); },
          "none ok'' ok ok ok ok ok", "c ok ok ok ok ok ok" },
        { "short probe id", false,
          [] (Amp& a, size_t, bool) { a.setProbeIdLength (5); },
          "none ok ok ok ok ok ok", "c ok ok ok ok ok ok" },
        { "overlong named", false,
          [] (Amp& a, size_t, bool)
          {
              a.setOverlongMessageBeforeReplies (Overlong::firmwareInfoNamed);
          },
          "11 11 11 14 14 16 ok", "f f f f f f ok" },
        { "overlong frame", false,
          [] (Amp& a, size_t, bool) { a.setOverlongMessageBeforeReplies (Overlong::frame); },
          "11'' 11'' 11 14 14 16 ok", "f f f f f f ok" },
        { "silent on strings", false,
          [] (Amp& a, size_t, bool) { a.setSilentOnStringQueries (true); },
          "ok'' ok'' ok ok ok ok ok", "ok ok ok ok ok ok ok" },
        { "never back", false,
          [] (Amp& a, size_t, bool) { a.setNeverComeBackAfterRestart (true); },
          "13 13 13 13 ok ok ok", "f f f f ok ok ok" },
        { "vanish", true,
          [] (Amp& a, size_t i, bool) { a.vanishOnMessage (i); },
          "none 11'' 11 13 14 16 ok", "c f f f f f ok" },
        { "vanish after 2 blocks", false,
          [] (Amp& a, size_t, bool) { a.vanishAfterBlocks (2); },
          "16 16 16 16 16 16 ok", "f f f f f f ok" },
        // A driver gone bad: from the phase on, the amplifier's ports no longer open.
        { "ports refuse to open", false,
          [] (Amp& a, size_t, bool) { service().refuseOpensAfter (a.getDeviceId(), 0); },
          "none 13 13 13 ok ok ok", "c f f f ok ok ok" },
    };

    return all;
}

// The knob's own sign, for the knobs that have one, from the update with the fault.
inline void expectKnobSeen (const Knob& knob, bool window)
{
    if (knob.expectSeen != nullptr)
        knob.expectSeen (window);
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
    const size_t messages[2][numPhases] = {
        { 0, 0, 1, 2, 3, 4, 4 + numBlocks },
        { 0, 0, 3, 4, 5, 6, 6 + numBlocks },
    };
    const auto message = messages[window][phase];

    if (knob.aimsAtMessage || phase == 0)
    {
        // + 1: the amplifier counts the probe.
        knob.turnOn (amp, phase == 0 ? 0 : message + 1, window);
        backend().arm (0, nullptr);   // the replies logged from the first message
    }
    else
    {
        backend().arm (message, [&knob, &amp, window]
        {
            knob.turnOn (amp, 0, window);
        });
    }

    return outcomeOf (knob, phase, window);
}

// Plays the row in this program again, asked for the current test and the row; returns
// what went wrong, or "".
inline std::string playInAChild (int row, const std::string& self, const std::string& filter)
{
    // Well beyond the row's alarm: a bound only in case the alarm itself fails.
    const auto run = testing_support::runChild ({ self, filter },
                                                { "TARVO_RELIABILITY_ROW=" + std::to_string (row) },
                                                240000 * slow);
    auto out = run.output;

    // The firmware printout holds a zero byte: a failure's text would end there.
    std::replace (out.begin(), out.end(), '\0', ' ');

    const bool passed = run.exitedZero()
                     && out.find ("[  PASSED  ] 1 test") != std::string::npos
                     && out.find ("Sanitizer") == std::string::npos;

    if (passed)
        return {};

    return "--- row " + std::to_string (row) + ", " + run.ending
         + (run.killedForTime ? ", killed for taking too long" : "") + " ---\n" + out;
}

// Rows wait on the amplifier far more than they compute, so many run at once, each in a
// process of its own (this program again, asked for the current test and one row): a
// crash, a hang (ended by the row's alarm) or a sanitizer report fails that row alone.
inline void forEachRowInAChild (int numRows, const std::function<void (int)>& playRow)
{
    if (const auto* row = std::getenv ("TARVO_RELIABILITY_ROW"))
    {
        // Unbuffered, so that a row that dies still shows how far it came.
        std::setvbuf (stdout, nullptr, _IONBF, 0);
        playRow (std::atoi (row));
        return;
    }

    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    const auto filter = std::string ("--gtest_filter=")
                      + test->test_suite_name() + "." + test->name();
    const auto self = juce::File::getSpecialLocation (juce::File::currentExecutableFile)
                          .getFullPathName()
                          .toStdString();
    std::atomic<int> next { 0 };
    std::vector<std::future<std::string>> workers;

    for (int j = 0; j < 24 / slow; ++j)   // sanitizer builds: fewer at once, each heavier
    {
        workers.push_back (std::async (std::launch::async, [&]
        {
            std::string failures;

            for (int row = next++; row < numRows; row = next++)
                failures += playInAChild (row, self, filter);

            return failures;
        }));
    }

    for (auto& worker : workers)
    {
        const auto failures = worker.get();

        if (! failures.empty())
            ADD_FAILURE() << failures;
    }
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
