// Helpers for tests that run on the message thread: they keep the message loop going while
// they wait, so that calls posted to the message thread (MIDI port opening, timers) run.

#pragma once

#include <juce_events/juce_events.h>

#include <chrono>
#include <functional>
#include <future>

namespace testing_support
{
/** Runs the message loop on the test thread (the message thread) until pred holds or the
    time runs out. Returns pred's last value. The bound is a guard against hangs only. */
inline bool pumpUntil (const std::function<bool()>& pred, int timeoutMs = 30000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);

    while (! pred())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);
    }

    return true;
}

/** Runs the message loop for about the given time. */
inline void pumpFor (int ms)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (ms);
}

/** Runs fn on a worker thread while the test thread keeps the message loop going, and
    returns its result. */
template <typename Fn>
auto runOnWorker (Fn&& fn, int timeoutMs = 60000)
{
    auto future = std::async (std::launch::async, std::forward<Fn> (fn));
    const auto ready = [&]
    {
        return future.wait_for (std::chrono::seconds (0)) == std::future_status::ready;
    };

    pumpUntil (ready, timeoutMs);
    return future.get();
}
} // namespace testing_support
