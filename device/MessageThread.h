#pragma once

#include <functional>

namespace jw
{
/** Runs fn on the JUCE message thread and waits for it; on the message thread it runs at
    once. Returns false without running fn once the application has been asked to quit,
    so that a worker still running at shut-down opens nothing. */
bool callOnMessageThread (const std::function<bool()>& fn);
} // namespace jw
