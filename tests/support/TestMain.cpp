// The main of every test program: JUCE is brought up with the test thread as its message
// thread, then GoogleTest runs the tests.

#include "HeadlessApplication.h"

#include <gtest/gtest.h>

#include <juce_events/juce_events.h>

int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);

    testing_support::installHeadlessApplication();
    juce::ScopedJuceInitialiser_GUI juce;
    juce::MessageManager::getInstance()->setCurrentThreadAsMessageThread();

    return RUN_ALL_TESTS();
}
