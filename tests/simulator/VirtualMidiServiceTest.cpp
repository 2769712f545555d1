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
        onOtherThread = onOtherThread && std::this_thread::get_id() != testThread;
    }

    void hostConnectionsChanged() override { ++connectionChanges; }

    std::vector<Bytes> get() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return messages;
    }

    mutable std::mutex lock;
    std::vector<Bytes> messages;
    const std::thread::id testThread = std::this_thread::get_id();
    std::atomic<bool> onOtherThread { true };
    std::atomic<int> connectionChanges { 0 };
};

const Bytes sysex { 0xf0, 0x7d, 0x01, 0x02, 0x03, 0xf7 };
} // namespace

TEST (VirtualMidiService, ThroughPortLoopsBackWholeOnceOnTheDeliveryThreadWhileStarted)
{
    sim::VirtualMidiService service;
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Midi Through Port-0"));
    EXPECT_EQ (service.getOutputNames(), juce::StringArray ("Midi Through Port-0"));

    Collector collector;
    auto in = service.openInput (0, &collector);
    auto out = service.openOutput (0);
    ASSERT_NE (in, nullptr);
    ASSERT_NE (out, nullptr);

    out->sendMessageNow (toMidi (sysex));   // not started yet
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (collector.get().empty());

    in->start();
    Bytes big (1000, 0x11);
    big.front() = 0xf0;
    big.back() = 0xf7;
    out->sendMessageNow (toMidi (sysex));
    out->sendMessageNow (toMidi (big));
    ASSERT_TRUE (collector.waitFor (2));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (collector.get(), (std::vector<Bytes> { sysex, big }));

    EXPECT_EQ (collector.callsOnCreatingThread, 0);

    in->stop();
    out->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (collector.get().size(), 2u);
}

TEST (VirtualMidiService, OpensOnlyListedIndices)
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

TEST (VirtualMidiService, PlugsAtPositionsAndComesBackWhereItWas)
{
    sim::VirtualMidiService service;
    RecordingDevice a, b;
    const auto idA = service.plug ("Synth A", &a);
    const auto idB = service.plug ("Synth B", &b, { 0, 1 });
    const juce::StringArray inputs ("Synth B", "Midi Through Port-0", "Synth A");
    EXPECT_EQ (service.getInputNames(), inputs);
    EXPECT_EQ (service.getOutputNames(), juce::StringArray ("Midi Through Port-0", "Synth B", "Synth A"));

    const auto where = service.unplug (idB);
    EXPECT_FALSE (service.isPlugged (idB));
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Midi Through Port-0", "Synth A"));
    EXPECT_TRUE (service.replug (idB, where));
    EXPECT_FALSE (service.replug (idB, where));   // already plugged
    EXPECT_EQ (service.getInputNames(), inputs);
    EXPECT_EQ (service.getPositions (idA).input, 2);

    const auto inOnly = service.plug ("Keys", nullptr, {}, sim::VirtualMidiService::Directions::inputOnly);
    EXPECT_EQ (service.getInputNames().size(), 4);
    EXPECT_EQ (service.getOutputNames().size(), 3);
    service.detach (inOnly);
    EXPECT_EQ (service.getInputNames().size(), 3);
}

TEST (VirtualMidiService, CarriesMessagesBothWaysInOrderOnTheDeliveryThread)
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
    EXPECT_TRUE (device.onOtherThread);

    // A device's send reaches every started input of its port, and no other.
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
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.connectionChanges, 2);
    EXPECT_EQ (service.getHostConnections (id).inputs, 1);
    EXPECT_EQ (service.getHostConnections (id).outputs, 1);

    // Gone, and back again as a new port: the old objects stay dead until the host opens it again.
    const auto where = service.unplug (id);

    for (int round = 0; round < 2; ++round)
    {
        out->sendMessageNow (toMidi (sysex));
        service.sendToHost (id, sysex);
        ASSERT_TRUE (service.waitUntilIdle());
        EXPECT_TRUE (device.get().empty());
        EXPECT_TRUE (collector.get().empty());
        EXPECT_EQ (service.getHostConnections (id).inputs, 0);
        EXPECT_EQ (service.getHostConnections (id).outputs, 0);

        if (round == 0)
            service.replug (id, where);
    }

    Collector collector2;
    auto in2 = service.openInput (1, &collector2);
    auto out2 = service.openOutput (1);
    in2->start();
    out2->sendMessageNow (toMidi (sysex));
    service.sendToHost (id, sysex);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.get(), std::vector<Bytes> { sysex });
    EXPECT_EQ (collector2.get(), std::vector<Bytes> { sysex });

    // Closing either port tells the device.
    const auto changesBefore = device.connectionChanges.load();
    in2.reset();
    out2.reset();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.connectionChanges, changesBefore + 2);
    EXPECT_EQ (service.getNumOpenInputs(), 1);   // the dead ones still count
    EXPECT_EQ (service.getNumOpenOutputs(), 1);

    in.reset();
    out.reset();
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    service.detach (id);
}

TEST (VirtualMidiService, CallLaterRunsAfterItsDelayAndNotAfterDetach)
{
    sim::VirtualMidiService service;
    RecordingDevice device;
    const auto id = service.plug ("Synth", &device);
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ranOnDeliveryThread { false }, ranAfterDetach { false };
    std::atomic<int64_t> elapsedMs { -1 };

    service.callLater (id, 100, [&]
    {
        elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now() - start).count();
        ranOnDeliveryThread = service.isDeliveryThread();
    });
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (ranOnDeliveryThread);
    EXPECT_GE (elapsedMs.load(), 100);

    service.callLater (id, 50, [&] { ranAfterDetach = true; });
    service.detach (id);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_FALSE (ranAfterDetach);
}
