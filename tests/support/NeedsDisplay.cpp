// Linked into the test programs with windows: it reports their tests as skipped, instead of
// letting them crash, when no X display is there (scripts/with-display.sh provides one).

#include <gtest/gtest.h>

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
// Linked into the test programs that put windows on a screen: with no X display to open
// they would crash inside the framework, so they are reported as skipped instead.
class NeedsDisplay final : public testing::Environment
{
public:
    void SetUp() override
    {
        // This gtest reports tests skipped here as passed; the line is what ctest looks for.
        if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() == nullptr)
        {
            std::cout << "[  SKIPPED ] needs an X display; scripts/with-display.sh provides one"
                      << std::endl;
            GTEST_SKIP();
        }
    }
};

[[maybe_unused]] auto* const needsDisplay = testing::AddGlobalTestEnvironment (new NeedsDisplay());
} // namespace
