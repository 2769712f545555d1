#include "SimTestSupport.h"

#include <atomic>

using namespace simtest;

namespace
{
/** A device behind a port pair that records what the host sent it. */
struct RecordingDevice final : public sim::VirtualMidiService::Device
{
    void messageFromHost (const Bytes& m) override
    {
        const std::lock_guard<std::mutex> l (lock);
        messages.push_back (m);
        threads.push_back (std::this_thread::get_id());
    }

    void hostConnectionsChanged() override { ++connectionChanges; }

    std::vector<Bytes> get() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return messages;
    }

    mutable std::mutex lock;
    std::vector<Bytes> messages;
    std::vector<std::thread::id> threads;
    std::atomic<int> connectionChanges { 0 };
};

const Bytes sysex { 0xf0, 0x7d, 0x01, 0x02, 0x03, 0xf7 };
} // namespace

TEST (VirtualMidiService, StartsWithTheThroughPortOnBothSides)
{
    sim::VirtualMidiService service;
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Midi Through Port-0"));
    EXPECT_EQ (service.getOutputNames(), juce::StringArray ("Midi Through Port-0"));
}

TEST (VirtualMidiService, ThroughPortLoopsBackWholeOnceOnTheDeliveryThread)
{
    sim::VirtualMidiService service;
    Collector collector;
    auto in = service.openInput (0, &collector);
    auto out = service.openOutput (0);
    ASSERT_NE (in, nullptr);
    ASSERT_NE (out, nullptr);
    in->start();

    Bytes big (1000, 0x11);
    big.front() = 0xf0;
    big.back() = 0xf7;
    out->sendMessageNow (toMidi (sysex));
    out->sendMessageNow (toMidi (big));
    ASSERT_TRUE (collector.waitFor (2));
    ASSERT_TRUE (service.waitUntilIdle());

    EXPECT_EQ (collector.get(), (std::vector<Bytes> { sysex, big }));

    for (auto t : collector.getThreads())
        EXPECT_NE (t, std::this_thread::get_id());
}

TEST (VirtualMidiService, OpeningAnIndexNotInTheListGivesNull)
{
    sim::VirtualMidiService service;
    Collector collector;

    for (int index : { -1, 1, 7 })
    {
        EXPECT_EQ (service.openInput (index, &collector), nullptr) << index;
        EXPECT_EQ (service.openOutput (index), nullptr) << index;
    }

    EXPECT_EQ (service.openInput (0, nullptr), nullptr);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST (VirtualMidiService, CountsOpenHostObjects)
{
    sim::VirtualMidiService service;
    Collector collector;
    auto in1 = service.openInput (0, &collector);
    auto in2 = service.openInput (0, &collector);
    auto out = service.openOutput (0);
    EXPECT_EQ (service.getNumOpenInputs(), 2);
    EXPECT_EQ (service.getNumOpenOutputs(), 1);
    in1.reset();
    out.reset();
    EXPECT_EQ (service.getNumOpenInputs(), 1);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST (VirtualMidiService, InputDeliversOnlyWhileStarted)
{
    sim::VirtualMidiService service;
    Collector collector;
    auto in = service.openInput (0, &collector);
    auto out = service.openOutput (0);

    out->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (collector.get().empty());

    in->start();
    out->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (collector.get().size(), 1u);

    in->stop();
    out->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (collector.get().size(), 1u);
}

TEST (VirtualMidiService, PlugsAtPositionsAndComesBackWhereItWas)
{
    sim::VirtualMidiService service;
    RecordingDevice a, b;
    const auto idA = service.plug ("Synth A", &a);
    const auto idB = service.plug ("Synth B", &b, { 0, 1 });

    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Synth B", "Midi Through Port-0", "Synth A"));
    EXPECT_EQ (service.getOutputNames(), juce::StringArray ("Midi Through Port-0", "Synth B", "Synth A"));

    const auto where = service.unplug (idB);
    EXPECT_EQ (where.input, 0);
    EXPECT_EQ (where.output, 1);
    EXPECT_FALSE (service.isPlugged (idB));
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Midi Through Port-0", "Synth A"));

    EXPECT_TRUE (service.replug (idB, where));
    EXPECT_FALSE (service.replug (idB, where));   // already plugged
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Synth B", "Midi Through Port-0", "Synth A"));
    EXPECT_EQ (service.getOutputNames(), juce::StringArray ("Midi Through Port-0", "Synth B", "Synth A"));
    EXPECT_EQ (service.getPositions (idA).input, 2);

    const auto inOnly = service.plug ("Keys", nullptr, {}, sim::VirtualMidiService::Directions::inputOnly);
    EXPECT_EQ (service.getInputNames().size(), 4);
    EXPECT_EQ (service.getOutputNames().size(), 3);
    service.detach (inOnly);
    EXPECT_EQ (service.getInputNames().size(), 3);
}

TEST (VirtualMidiService, HostMessagesReachTheDeviceInOrderOnTheDeliveryThread)
{
    sim::VirtualMidiService service;
    RecordingDevice device;
    const auto id = service.plug ("Synth", &device);
    auto out = service.openOutput (1);
    ASSERT_NE (out, nullptr);

    std::vector<Bytes> sent;

    for (uint8_t i = 0; i < 100; ++i)
    {
        sent.push_back ({ 0xf0, 0x7d, i, static_cast<uint8_t> (i ^ 0x55), 0xf7 });
        out->sendMessageNow (toMidi (sent.back()));
    }

    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.get(), sent);

    for (auto t : device.threads)
        EXPECT_NE (t, std::this_thread::get_id());

    service.detach (id);
}

TEST (VirtualMidiService, DeviceSendsReachEveryStartedInputOfItsPort)
{
    sim::VirtualMidiService service;
    RecordingDevice device;
    const auto id = service.plug ("Synth", &device);
    Collector c1, c2, through;
    auto in1 = service.openInput (1, &c1);
    auto in2 = service.openInput (1, &c2);
    auto in3 = service.openInput (0, &through);
    in1->start();
    in2->start();
    in3->start();

    service.sendToHost (id, sysex);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (c1.get(), std::vector<Bytes> { sysex });
    EXPECT_EQ (c2.get(), std::vector<Bytes> { sysex });
    EXPECT_TRUE (through.get().empty());
    service.detach (id);
}

TEST (VirtualMidiService, HostObjectsOfAVanishedPortStayValidAndDead)
{
    sim::VirtualMidiService service;
    RecordingDevice device;
    const auto id = service.plug ("Synth", &device);
    Collector collector;
    auto in = service.openInput (1, &collector);
    auto out = service.openOutput (1);
    in->start();
    EXPECT_EQ (service.getHostConnections (id).inputs, 1);
    EXPECT_EQ (service.getHostConnections (id).outputs, 1);

    const auto where = service.unplug (id);
    out->sendMessageNow (toMidi (sysex));
    service.sendToHost (id, sysex);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (device.get().empty());
    EXPECT_TRUE (collector.get().empty());
    EXPECT_EQ (service.getHostConnections (id).inputs, 0);

    // Back again: a new port; the old objects stay dead until the host opens it again.
    service.replug (id, where);
    out->sendMessageNow (toMidi (sysex));
    service.sendToHost (id, sysex);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (device.get().empty());
    EXPECT_TRUE (collector.get().empty());
    EXPECT_EQ (service.getHostConnections (id).outputs, 0);

    auto out2 = service.openOutput (1);
    out2->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.get(), std::vector<Bytes> { sysex });

    in.reset();
    out.reset();
    out2.reset();
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    service.detach (id);
}

TEST (VirtualMidiService, TellsTheDeviceWhenTheHostOpensAndClosesItsPorts)
{
    sim::VirtualMidiService service;
    RecordingDevice device;
    const auto id = service.plug ("Synth", &device);
    Collector collector;
    auto in = service.openInput (1, &collector);
    auto out = service.openOutput (1);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.connectionChanges, 2);

    in.reset();
    out.reset();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.connectionChanges, 4);
    EXPECT_EQ (service.getHostConnections (id).inputs, 0);
    EXPECT_EQ (service.getHostConnections (id).outputs, 0);
    service.detach (id);
}

TEST (VirtualMidiService, CallLaterRunsAfterItsDelayAndNotAfterDetach)
{
    sim::VirtualMidiService service;
    RecordingDevice device;
    const auto id = service.plug ("Synth", &device);
    std::atomic<bool> ran { false }, ranAfterDetach { false };
    std::atomic<bool> onDeliveryThread { false };

    const auto start = std::chrono::steady_clock::now();
    std::atomic<int64_t> elapsedMs { -1 };
    service.callLater (id, 100, [&]
    {
        elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now() - start).count();
        onDeliveryThread = service.isDeliveryThread();
        ran = true;
    });
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (ran);
    EXPECT_TRUE (onDeliveryThread);
    EXPECT_GE (elapsedMs.load(), 100);

    service.callLater (id, 50, [&] { ranAfterDetach = true; });
    service.detach (id);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_FALSE (ranAfterDetach);
}
