#include "MessageThread.h"

#include <juce_events/juce_events.h>

namespace jw
{
namespace
{
void* invoke (void* userData)
{
    auto& fn = *static_cast<const std::function<bool()>*> (userData);
    // Any non-null pointer says true; null is also what JUCE returns when it declined.
    return fn() ? userData : nullptr;
}
} // namespace

bool callOnMessageThread (const std::function<bool()>& fn)
{
    auto* mm = juce::MessageManager::getInstance();
    return mm->callFunctionOnMessageThread (&invoke, const_cast<std::function<bool()>*> (&fn)) != nullptr;
}
} // namespace jw
