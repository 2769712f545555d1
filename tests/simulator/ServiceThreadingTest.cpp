#include "SimTestSupport.h"

#include <atomic>
#include <future>

using namespace simtest;

namespace
{
const Bytes sysex { 0xf0, 0x7d, 0x10, 0x20, 0xf7 };

/** Echoes every host message back, so the host can keep its input busy. */
struct EchoDevice final : public sim::VirtualMidiService::Device
{
    explicit EchoDevice (sim::VirtualMidiService& s) : service (s) {}
    void messageFromHost (const Bytes& m) override { service.sendToHost (id.load(), m); }

    sim::VirtualMidiService& service;
    std::atomic<int> id { 0 };
};

/** Notes callbacks that come after its input was deleted. */
struct WatchingCallback final : public midi::InputCallback
{
    void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override
    {
        inside = true;

        if (deleted)
            ++lateCalls;

        if (++calls == 1)
            firstCall.set_value();

        std::this_thread::sleep_for (std::chrono::microseconds (200));   // widen the window

        if (deleted)
            ++lateCalls;

        inside = false;
    }

    std::atomic<bool> inside { false }, deleted { false };
    std::atomic<int> calls { 0 }, lateCalls { 0 };
    std::promise<void> firstCall;
};
} // namespace

TEST (ServiceThreading, NoCallbackRunsOnceDeletingAnInputHasReturned)
{
    sim::VirtualMidiService service;
    auto out = service.openOutput (0);

    for (int round = 0; round < 20; ++round)
    {
        WatchingCallback callback;
        auto in = service.openInput (0, &callback);
        in->start();

        for (int i = 0; i < 50; ++i)
            out->sendMessageNow (toMidi (sysex));

        // Delete while deliveries are still queued and, mostly, one is running.
        ASSERT_EQ (callback.firstCall.get_future().wait_for (std::chrono::milliseconds (hangGuardMs)),
                   std::future_status::ready);

        in.reset();
        callback.deleted = true;
        EXPECT_FALSE (callback.inside);
        ASSERT_TRUE (service.waitUntilIdle());
        EXPECT_EQ (callback.lateCalls, 0) << "round " << round;
    }
}

TEST (ServiceThreading, StopFromInsideTheCallbackWorks)
{
    struct StoppingCallback final : public midi::InputCallback
    {
        void handleIncomingMidiMessage (midi::Input* source, const juce::MidiMessage&) override
        {
            ++calls;
            EXPECT_EQ (source, input);
            source->stop();
        }

        midi::Input* input = nullptr;
        std::atomic<int> calls { 0 };
    };

    sim::VirtualMidiService service;
    StoppingCallback callback;
    auto in = service.openInput (0, &callback);
    callback.input = in.get();
    auto out = service.openOutput (0);
    in->start();

    for (int i = 0; i < 5; ++i)
        out->sendMessageNow (toMidi (sysex));

    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (callback.calls, 1);

    in->start();
    out->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (callback.calls, 2);
}

TEST (ServiceThreading, DeletingAnInputFromInsideItsCallbackWorks)
{
    struct DeletingCallback final : public midi::InputCallback
    {
        void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override
        {
            ++calls;
            input.reset();
        }

        std::unique_ptr<midi::Input> input;
        std::atomic<int> calls { 0 };
    };

    sim::VirtualMidiService service;
    DeletingCallback callback;
    callback.input = service.openInput (0, &callback);
    callback.input->start();
    auto out = service.openOutput (0);

    for (int i = 0; i < 3; ++i)
        out->sendMessageNow (toMidi (sysex));

    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (callback.calls, 1);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
}

TEST (ServiceThreading, ADeviceMayDetachItselfFromItsOwnCallback)
{
    struct SelfDetaching final : public sim::VirtualMidiService::Device
    {
        explicit SelfDetaching (sim::VirtualMidiService& s) : service (s) {}
        void messageFromHost (const Bytes&) override { ++calls; service.detach (id); }

        sim::VirtualMidiService& service;
        sim::VirtualMidiService::DeviceId id = 0;
        std::atomic<int> calls { 0 };
    };

    sim::VirtualMidiService service;
    SelfDetaching device (service);
    device.id = service.plug ("Gone", &device);
    auto out = service.openOutput (1);
    out->sendMessageNow (toMidi (sysex));
    out->sendMessageNow (toMidi (sysex));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (device.calls, 1);
    EXPECT_EQ (service.getOutputNames(), juce::StringArray ("Midi Through Port-0"));
}

TEST (ServiceThreading, PlugAndUnplugWhileHostsSendAndList)
{
    sim::VirtualMidiService service;
    EchoDevice device (service);
    device.id = service.plug ("Echo", &device);

    std::atomic<bool> stop { false };
    std::atomic<int> received { 0 };

    struct Counter final : public midi::InputCallback
    {
        explicit Counter (std::atomic<int>& r) : count (r) {}
        void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& m) override
        {
            EXPECT_EQ (m.getRawDataSize(), 5);
            ++count;
        }
        std::atomic<int>& count;
    };

    const auto host = [&]
    {
        Counter counter (received);

        while (! stop)
        {
            const auto index = service.getInputNames().indexOf ("Echo");
            auto in = service.openInput (index, &counter);
            auto out = service.openOutput (service.getOutputNames().indexOf ("Echo"));

            if (in != nullptr)
                in->start();

            if (out != nullptr)
                for (int i = 0; i < 10; ++i)
                    out->sendMessageNow (toMidi (sysex));

            std::this_thread::yield();
        }
    };

    std::thread h1 (host), h2 (host);
    std::thread plugger ([&]
    {
        for (int i = 0; i < 300; ++i)
        {
            const auto where = service.unplug (device.id);
            std::this_thread::yield();
            service.replug (device.id, where);
            std::this_thread::yield();
        }

        stop = true;
    });

    plugger.join();
    h1.join();
    h2.join();
    ASSERT_TRUE (service.waitUntilIdle());
    service.detach (device.id);

    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Midi Through Port-0"));
}
