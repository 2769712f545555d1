#include "MessageThread.h"

#include <juce_events/juce_events.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace jw
{
namespace
{
// What a call posted to the message thread and its caller share. A caller that gives up
// marks it abandoned under the lock, so fn, which refers to the caller's stack, never
// runs after the caller has returned.
struct PendingCall
{
    std::mutex lock;
    std::condition_variable finished;
    const std::function<bool()>* fn = nullptr;
    bool done = false, result = false, abandoned = false;
};
} // namespace

bool callOnMessageThread (const std::function<bool()>& fn)
{
    auto* mm = juce::MessageManager::getInstance();

    if (mm->isThisTheMessageThread())
        return fn();

    auto call = std::make_shared<PendingCall>();
    call->fn = &fn;

    const auto posted = juce::MessageManager::callAsync ([call]
    {
        const std::lock_guard<std::mutex> guard (call->lock);

        if (call->abandoned)
            return;

        call->result = (*call->fn)();
        call->done = true;
        call->finished.notify_all();
    });

    if (! posted)
        return false;

    // A call posted just as the application is asked to quit can land behind the quit
    // message, which the loop never gets past: once the quit is on its way, the wait ends
    // instead of holding a worker, and with it the shut-down that waits for the worker.
    std::unique_lock<std::mutex> guard (call->lock);

    while (! call->done)
    {
        if (call->finished.wait_for (guard, std::chrono::milliseconds (20)) == std::cv_status::timeout
            && ! call->done && mm->hasStopMessageBeenSent())
        {
            call->abandoned = true;
            return false;
        }
    }

    return call->result;
}
} // namespace jw
