// Guards the USB-MIDI transport: the probe that finds amplifiers by name and reply
// (JwUsbMidiDeviceFinder), the device that opens the probed ports and exchanges SysEx
// (JwUsbMidiH3), and the device manager that polls for plugged and unplugged amplifiers.
// Fixtures: the simulator's virtual MIDI ports with scripted replies (Probe rows), the
// emulated amplifier on those ports (Transport), and the device manager driven tick by tick
// against emulated amplifiers (DeviceManager; its exit check runs in a process of its own).

#include "AmplifierWire.h"
#include "EmulatedAmplifier.h"
#include "JwDeviceManager.h"
#include "JwUsbMidiH3.h"
#include "MessageLoop.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <future>

namespace
{
using Bytes = std::vector<uint8_t>;
using Dir = sim::VirtualMidiService::Directions;
using Found = std::tuple<Bytes, int, int>;   // id, input index, output index
namespace finder = JwUsbMidiDeviceFinder;

const Bytes ampId { 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x31 };
const Bytes id1 (8, 1);
const Bytes id2 (8, 2);
const Bytes id7 (7, 6);
const Bytes highBitsId { 0x81, 0x02, 0xFF, 0x04, 0x05, 0x86, 0x07, 0x88 };
const Bytes probeRequest { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 };

Bytes reply (const Bytes& id, uint8_t op1 = 0x03, uint8_t op2 = 0x12)
{
    return sim::wire::frame (0, op1, op2, id);
}

template <typename Fn>
Bytes edited (Bytes b, Fn&& edit)
{
    edit (b);
    return b;
}

/** Runs a probe for "Tarvo" and returns what it printed. */
std::string probe()
{
    testing::internal::CaptureStdout();
    finder::ProbeAll ("Tarvo");
    return testing::internal::GetCapturedStdout();
}

std::vector<Found> found()
{
    std::vector<Found> result;

    for (const auto& d : finder::GetDescriptors())
    {
        Bytes id (std::begin (d.uuid), std::end (d.uuid));
        result.emplace_back (id, d.input_index, d.output_index);
    }

    return result;
}

struct Reply
{
    Bytes bytes;
    int delayMs = 0;
};

struct Port
{
    const char* name;
    std::vector<Reply> replies;
    Dir dir = Dir::both;
};

/** A device that answers each exact probe request with replies chosen byte for byte. */
struct Scripted final : sim::VirtualMidiService::Device
{
    Scripted (sim::VirtualMidiService& s, const Port& p)
        : service (s),
          port (p),
          id (s.plug (p.name, this, {}, p.dir))
    {
    }

    ~Scripted() override
    {
        service.detach (id);
    }

    void messageFromHost (const Bytes& m) override
    {
        ++received;

        if (m != probeRequest)
            return;

        for (const auto& r : port.replies)
        {
            service.callLater (id, r.delayMs, [this, b = r.bytes]
            {
                service.sendToHost (id, b);
            });
        }
    }

    sim::VirtualMidiService& service;
    const Port& port;
    const sim::VirtualMidiService::DeviceId id;
    std::atomic<int> received { 0 };
};

struct ProbeCase
{
    const char* what;
    std::vector<Port> ports;
    std::vector<Found> found;
    std::vector<int> received;   // the messages that each port got
    size_t inputsOpened;
    int opensAllowed = -1;       // for the first port
};

void PrintTo (const ProbeCase& row, std::ostream* os)
{
    *os << row.what;
}

// Each row: what, ports, found, received, inputs opened [, opens allowed].
const ProbeCase probeCases[] = {
    {
        "other names, or ours in lower case",
        {
            { "USB Keyboard", { { reply (ampId) } } },
            { "tarvo h3 lookalike", { { reply (ampId) } } },
        },
        {},
        { 0, 0 },
        0,
    },
    {
        "two devices, in reply order",
        {
            { "USB Tarvo", { { reply (id1) } } },
            { "XH3Y MIDI", { { reply (id2) } } },
        },
        { { id1, 1, 1 }, { id2, 2, 2 } },
        { 1, 1 },
        2,
    },
    {
        "a late reply gets the output probed then",
        {
            { "Tarvo A", { { reply (id1), 1300 } } },
            { "Tarvo B", {} },
        },
        { { id1, 1, 2 } },
        { 1, 1 },
        2,
    },
    {
        "only the first reply on an input",
        {
            { "Tarvo", { { reply (id1) }, { reply (id2), 200 } } },
        },
        { { id1, 1, 1 } },
        { 1 },
        1,
    },
    {
        "malformed or short replies ignored",
        {
            {
                "Tarvo 40",
                {
                    { edited (reply (id2), [] (Bytes& b) { b[3] ^= 1; }) },   // checksum off
                    { reply (id2, 0x02, 0x12) },   // not a probe reply
                    { reply (id2, 0x03, 0x11) },   // nor this
                    { edited (reply (id2), [] (Bytes& b) { b.back() = 0; }) },   // no F7 at the end
                    { reply (id7) },   // an id a byte short
                    { reply ({}) },
                    // A lone group header:
                    { edited (reply (id7), [] (Bytes& b) { b.insert (b.end() - 1, 0); }) },
                    // Nine id bytes and another session: the first eight count.
                    {
                        edited (reply (edited (highBitsId, [] (Bytes& b) { b.push_back (0x11); })),
                                [] (Bytes& b) { b[2] = 0x55; }),
                        50,
                    },
                },
            },
        },
        { { highBitsId, 1, 1 } },
        { 1 },
        1,
    },
    {
        "answered, then its ports refuse to open",
        {
            { "Tarvo 40", { { reply (id1) } } },
        },
        {},
        { 1 },
        1,
        2,
    },
    {
        "an input without an output",
        {
            { "Tarvo In", { { reply (id1) } }, Dir::inputOnly },
        },
        {},
        { 0 },
        1,
    },
};

class Probe : public testing::TestWithParam<ProbeCase>
{
};
} // namespace

TEST_P (Probe, FindsWhatAnsweredOnMatchingPorts)
{
    const auto& row = GetParam();
    auto& service = sim::installSimulator();
    std::vector<std::unique_ptr<Scripted>> ports;

    for (const auto& p : row.ports)
        ports.push_back (std::make_unique<Scripted> (service, p));

    service.refuseOpensAfter (ports[0]->id, row.opensAllowed);

    probe();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (row.found, found());

    for (size_t i = 0; i < ports.size(); ++i)
        EXPECT_EQ (row.received[i], ports[i]->received.load()) << row.ports[i].name;

    EXPECT_EQ (row.inputsOpened, finder::probe_map_.size());
    EXPECT_EQ (0, service.getNumOpenInputs());
    EXPECT_EQ (0, service.getNumOpenOutputs());
}

INSTANTIATE_TEST_SUITE_P (Rows, Probe, testing::ValuesIn (probeCases));

namespace
{
struct Observed final : JwUsbMidiH3
{
    using JwUsbMidiH3::JwUsbMidiH3;

    void OnMessageIn (const juce::MidiMessage&) override
    {
        ++in;
    }

    void OnMessageOut (const juce::MidiMessage&) override
    {
        ++out;
    }

    std::atomic<int> in { 0 };
    std::atomic<int> out { 0 };
};

/** Asks for the serial number: its reply must come back whole on the asking session. */
void expectSerial (JwDevice& device)
{
    const auto sid = device.AllocateSid();
    const Bytes query { 0xF0, 0x01, (uint8_t) sid, 0x00, 0x02, 0x23, 0xF7 };
    const auto serial = sim::EmulatedAmplifier::Config().serialNumber;
    ASSERT_EQ (device.Send (query.data(), 7), 7);

    Bytes buffer (1024);
    const auto read = device.ReadNext (sid, buffer.data(), buffer.size(), 5000);
    buffer.resize ((size_t) std::max (0, read));

    const Bytes serialBytes (serial.begin(), serial.end());
    EXPECT_EQ (sim::wire::frame ((uint8_t) sid, 0x02, 0x23, serialBytes), buffer);
}

void editDescriptors (const std::function<void (std::vector<_H3MidiDeviceDescriptor>&)>& edit)
{
    const std::lock_guard<std::recursive_mutex> lock (finder::desc_mutex_);
    edit (finder::descriptors_);
}
} // namespace

TEST (Transport, OpensTheProbedPortsExchangesAndCloses)
{
    auto& service = sim::installSimulator();
    sim::EmulatedAmplifier amplifier (service);
    Observed device (reinterpret_cast<const char*> (ampId.data()));

    // Never found: fails at once, without the message thread (whose loop is not running).
    auto early = std::async (std::launch::async, [&] { return device.Open(); });
    ASSERT_EQ (early.wait_for (std::chrono::seconds (20)), std::future_status::ready);
    EXPECT_FALSE (early.get());

    const std::string printed = "Found MIDI IN device:Midi Through Port-0\n"
                                "Found MIDI IN device:Tarvo 40\n"
                                "Start this MIDI input device\n"
                                "Found MIDI OUT device:Midi Through Port-0\n"
                                "Found MIDI OUT device:Tarvo 40\n"
                                "This MIDI Out device is available\n";
    EXPECT_EQ (printed, probe());
    EXPECT_EQ ((std::vector<Found> { { ampId, 1, 1 } }), found());
    EXPECT_EQ (std::vector<Bytes> { probeRequest }, amplifier.getReceivedMessages());

    ASSERT_TRUE (testing_support::runOnWorker ([&] { return device.Open(); }));
    ASSERT_TRUE (device.Open());   // already open: keeps its ports
    EXPECT_EQ (1, service.getNumOpenInputs());
    EXPECT_EQ (1, service.getNumOpenOutputs());
    expectSerial (device);
    EXPECT_EQ (1, device.in.load());
    EXPECT_EQ (1, device.out.load());

    device.Close();
    device.Close();
    EXPECT_EQ (-1, device.Send (probeRequest.data(), 7));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (2u, amplifier.getNumReceivedMessages());
    EXPECT_EQ (0, service.getNumOpenInputs());
    EXPECT_EQ (0, service.getNumOpenOutputs());

    // An output that fails to open closes the input again; a later Open tries both afresh.
    editDescriptors ([] (auto& d)
    {
        d.at (0).output_index = 42;
    });
    EXPECT_FALSE (device.Open());
    EXPECT_EQ (0, service.getNumOpenInputs());

    // Of two descriptors with one id, the first is used.
    editDescriptors ([] (auto& d)
    {
        d.at (0).output_index = 1;
        d.push_back (d[0]);
        d[1].input_index = 7;
        d[1].output_index = 7;
    });
    ASSERT_TRUE (device.Open());
    expectSerial (device);
    device.Close();

    // A probe while the amplifier is away forgets it; back at the same positions, the ports
    // of the last successful lookup serve.
    amplifier.unplug();
    probe();
    ASSERT_EQ (std::vector<Found>(), found());
    amplifier.plug();
    ASSERT_TRUE (device.Open());
    expectSerial (device);
}

namespace
{
/** A device that says on stderr when it is closed and when it is deleted. */
struct Noted final : JwDevice
{
    ~Noted() override
    {
        std::fputs ("deleted\n", stderr);
    }

    bool Open() override
    {
        return true;
    }

    void Close() override
    {
        std::fputs ("closed\n", stderr);
    }

    int Internal_Send (const uint8_t*, size_t len) override
    {
        return (int) len;
    }
};
} // namespace

TEST (DeviceManager, PollsEvery2sAndDeletesADeviceItLetsGoClosingItAtExit)
{
    auto& manager = *jw::DeviceManager::instance();

    // The first device is deleted when replaced; the second is closed, then deleted, at exit.
    EXPECT_EXIT (
        {
            manager.setCurrentDevice (new Noted());
            manager.setCurrentDevice (new Noted());
            std::exit (0);
        },
        testing::ExitedWithCode (0),
        "deleted\nclosed\ndeleted\n");

    // The poll timer is a private base of the manager's inner part, which only a C-style
    // cast may reach. It is started only after the fork above, which must not copy a timer
    // thread.
    const auto* timer = (const juce::Timer*) manager.impl.get();
    manager.startPolling();
    EXPECT_EQ (2000, timer->getTimerInterval());
    manager.stopPolling();
    EXPECT_FALSE (timer->isTimerRunning());
}

namespace
{
/** The last byte of each id: enough to tell the test's amplifiers apart. */
Bytes lastBytes (const std::vector<DeviceUuid>& ids)
{
    Bytes result;

    for (const auto& id : ids)
        result.push_back (id[7]);

    return result;
}
} // namespace

TEST (DeviceManager, ReportsPluggingAndUnpluggingTickByTick)
{
    auto& service = sim::installSimulator();
    auto& manager = *jw::DeviceManager::instance();
    sim::EmulatedAmplifier::Config config;

    const auto amp = [&] (const char* name, uint8_t lastIdByte)
    {
        config.portName = name;
        config.deviceId[7] = lastIdByte;
        return std::make_unique<sim::EmulatedAmplifier> (service, config);
    };

    std::vector<Bytes> reports;

    manager.setDeviceListChangedCallback ([&] (jw::DeviceManager* m)
    {
        EXPECT_EQ (&manager, m);
        reports.push_back (lastBytes (m->impl->uuids));
    });

    // One poll tick, run here rather than by the timer; true when it probed (a probe prints).
    const auto tick = [&]
    {
        testing::internal::CaptureStdout();
        manager.impl->timerCallback();
        return ! testing::internal::GetCapturedStdout().empty();
    };

    auto a = amp ("Tarvo A", 0xA);
    auto b = std::unique_ptr<sim::EmulatedAmplifier>();

    // Another thread's probe holds the lock (and may be waiting for this thread): the tick
    // gives up at once, storing nothing, so that the next one still sees the change.
    std::promise<void> locked;
    std::promise<void> release;

    auto holder = std::async (std::launch::async, [&]
    {
        const std::lock_guard<std::mutex> lock (finder::probe_mutex_);
        locked.set_value();
        release.get_future().wait_for (std::chrono::seconds (10));
    });

    locked.get_future().wait();
    EXPECT_FALSE (tick());
    release.set_value();
    holder.wait();

    struct Step
    {
        const char* what;
        std::function<void()> change;
        bool probes;    // the tick probed
        bool reports;   // and called back
        Bytes ids;      // the last bytes of the ids known after it
    };

    const Step steps[] = {
        { "present at start", [] {}, true, true, { 0xA } },
        { "nothing changed", [] {}, false, false, { 0xA } },
        {
            "an unrelated port",
            [&] { service.plug ("USB Keyboard", nullptr, {}, Dir::inputOnly); },
            true, false, { 0xA },
        },
        {
            "a worker's probe noted the ports",
            [&]
            {
                service.plug ("USB Pedal", nullptr, {}, Dir::inputOnly);
                const auto probeAll = [&] { return manager.impl->probeAll(); };
                EXPECT_EQ (1, testing_support::runOnWorker (probeAll));
            },
            false, false, { 0xA },
        },
        {
            "unplugged",
            [&] { a->unplug(); },
            true, true, {},
        },
        {
            "two plugged",
            [&]
            {
                a->plug();
                b = amp ("Tarvo B", 0xB);
            },
            true, true, { 0xA, 0xB },
        },
        {
            "the same ids in another order",
            [&]
            {
                a.reset();
                b.reset();
                a = amp ("Tarvo B", 0xB);
                b = amp ("Tarvo A", 0xA);
            },
            true, true, { 0xB, 0xA },
        },
    };

    for (const auto& step : steps)
    {
        SCOPED_TRACE (step.what);
        const auto reportsBefore = reports.size();
        step.change();
        EXPECT_EQ (step.probes, tick());
        ASSERT_EQ (reportsBefore + (step.reports ? 1 : 0), reports.size());

        if (step.reports)
        {
            EXPECT_EQ (step.ids, reports.back());
        }

        EXPECT_EQ (step.ids, lastBytes (manager.deviceUuids()));
    }

    // A change with no callback installed is only noted.
    manager.setDeviceListChangedCallback ({});
    a.reset();
    EXPECT_TRUE (tick());
    EXPECT_EQ (Bytes { 0xA }, lastBytes (manager.impl->uuids));
}
