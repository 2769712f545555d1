#include <gtest/gtest.h>

#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
// A test executable is not a JUCEApplication; without an application instance JUCE
// installs no X error handler and the first X error on a bare server ends the process.
class TestApplication final : public juce::JUCEApplicationBase
{
public:
    const juce::String getApplicationName() override { return "tarvo tests"; }
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

juce::JUCEApplicationBase* createTestApplication() { return new TestApplication(); }
} // namespace

int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);

    juce::JUCEApplicationBase::createInstance = &createTestApplication;
    juce::ScopedJuceInitialiser_GUI juce;
    juce::MessageManager::getInstance()->setCurrentThreadAsMessageThread();

    return RUN_ALL_TESTS();
}
