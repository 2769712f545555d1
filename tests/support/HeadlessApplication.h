// For the test and benchmark mains, which bring JUCE up themselves: an application instance
// that does nothing, so that JUCE still installs its X error handler.

#pragma once

#include <juce_events/juce_events.h>

namespace testing_support
{
/** An application that does nothing. Programs that bring JUCE up themselves (test and
    benchmark mains) are not JUCEApplications; without an application instance JUCE
    installs no X error handler, and the first X error on a bare X server ends the
    process. Install it before juce::ScopedJuceInitialiser_GUI. */
class HeadlessApplication final : public juce::JUCEApplicationBase
{
public:
    const juce::String getApplicationName() override { return "tarvo headless"; }
    const juce::String getApplicationVersion() override { return "0"; }
    bool moreThanOneInstanceAllowed() override { return true; }
    void initialise (const juce::String&) override {}
    void shutdown() override {}
    void anotherInstanceStarted (const juce::String&) override {}
    void systemRequestedQuit() override {}
    void suspended() override {}
    void resumed() override {}
    void unhandledException (const std::exception*, const juce::String&, int) override {}
};

inline void installHeadlessApplication()
{
    juce::JUCEApplicationBase::createInstance = [] () -> juce::JUCEApplicationBase*
    {
        return new HeadlessApplication();
    };
}
} // namespace testing_support
