// The simulator's virtual MIDI service, on its own (a through port that sends everything
// back, no emulated amplifier): the device code closes a transport by deleting its input port
// and counts on no callback of that port running afterwards. Every other guarantee of the
// service is exercised by the tests that drive the product through it.

#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

TEST (VirtualMidiService, NoCallbackRunsOnceDeletingAnInputHasReturned)
{
    struct Watching final : midi::InputCallback
    {
        void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override
        {
            if (calls++ == 0)
                running.set_value();
            std::this_thread::sleep_for (std::chrono::microseconds (200));   // widens the window
            late += deleted ? 1 : 0;
        }

        std::atomic<bool> deleted { false };
        std::atomic<int> calls { 0 }, late { 0 };
        std::promise<void> running;
    };

    sim::VirtualMidiService service;
    auto out = service.openOutput (0);   // the through port sends everything back

    for (int round = 0; round < 20; ++round)
    {
        Watching callback;
        auto in = service.openInput (0, &callback);
        in->start();
        for (int i = 0; i < 50; ++i)
            out->sendMessageNow (juce::MidiMessage::createSysExMessage ("\x10\x20", 2));

        // Deleted while deliveries are still queued and, mostly, one is running.
        ASSERT_EQ (callback.running.get_future().wait_for (std::chrono::seconds (10)), std::future_status::ready);
        in.reset();
        callback.deleted = true;
        ASSERT_TRUE (service.waitUntilIdle());
        EXPECT_EQ (callback.late, 0) << "round " << round;
    }
}
