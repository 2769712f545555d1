#include "SimTestSupport.h"

#include <atomic>
#include <future>

using namespace simtest;

namespace
{
const Bytes sysex { 0xf0, 0x7d, 0x10, 0x20, 0xf7 };

/** Notes callbacks that come after its input was deleted. */
struct WatchingCallback final : public midi::InputCallback
{
    void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override
    {
        inside = true;
        lateCalls += deleted ? 1 : 0;

        if (++calls == 1)
            firstCall.set_value();

        std::this_thread::sleep_for (std::chrono::microseconds (200));   // widen the window
        lateCalls += deleted ? 1 : 0;
        inside = false;
    }

    std::atomic<bool> inside { false }, deleted { false };
    std::atomic<int> calls { 0 }, lateCalls { 0 };
    std::promise<void> firstCall;
};

/** Stops or deletes its own input from inside the callback. */
struct SelfEndingCallback final : public midi::InputCallback
{
    void handleIncomingMidiMessage (midi::Input* source, const juce::MidiMessage&) override
    {
        ++calls;
        EXPECT_EQ (source, input.get());

        if (deleteInput)
            input.reset();
        else
            source->stop();
    }

    bool deleteInput = false;
    std::unique_ptr<midi::Input> input;
    std::atomic<int> calls { 0 };
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

TEST (ServiceThreading, AnInputMayStopOrDeleteItselfFromInsideItsCallback)
{
    sim::VirtualMidiService service;
    auto out = service.openOutput (0);

    for (bool deleteInput : { false, true })
    {
        SelfEndingCallback callback;
        callback.deleteInput = deleteInput;
        callback.input = service.openInput (0, &callback);
        callback.input->start();

        for (int i = 0; i < 5; ++i)
            out->sendMessageNow (toMidi (sysex));

        ASSERT_TRUE (service.waitUntilIdle());
        EXPECT_EQ (callback.calls, 1);
        EXPECT_EQ (service.getNumOpenInputs(), deleteInput ? 0 : 1);

        if (! deleteInput)
        {
            callback.input->start();
            out->sendMessageNow (toMidi (sysex));
            ASSERT_TRUE (service.waitUntilIdle());
            EXPECT_EQ (callback.calls, 2);
        }
    }
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
    std::atomic<bool> stop { false };
    Collector c1, c2;

    {
        sim::EmulatedAmplifier amp (service);

        const auto host = [&] (Collector& collector)
        {
            while (! stop)
            {
                auto in = service.openInput (service.getInputNames().indexOf ("Tarvo 40"), &collector);
                auto out = service.openOutput (service.getOutputNames().indexOf ("Tarvo 40"));

                if (in != nullptr)
                    in->start();

                const auto before = collector.get().size();

                for (int i = 0; out != nullptr && i < 10; ++i)
                    out->sendMessageNow (toMidi (probe));

                collector.waitFor (before + 1, 5);   // pacing only: keeps the input open a while
            }
        };

        std::thread h1 (host, std::ref (c1)), h2 (host, std::ref (c2));

        for (int i = 0; i < 300; ++i)
        {
            amp.unplug();
            std::this_thread::yield();
            amp.plug();

            if (i % 30 == 0)   // now and then, stay plugged until a reply has got through
            {
                EXPECT_TRUE (c1.waitFor (c1.get().size() + 1));
            }
        }

        stop = true;
        h1.join();
        h2.join();
        ASSERT_TRUE (service.waitUntilIdle());
    }

    for (const auto* c : { &c1, &c2 })
        for (const auto& m : c->get())
            ASSERT_EQ (m, probeReply);

    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (service.getInputNames(), juce::StringArray ("Midi Through Port-0"));
}
