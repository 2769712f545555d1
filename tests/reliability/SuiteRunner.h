#pragma once

#include "ChildRunner.h"
#include "Rows.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <cstdlib>
#include <iostream>

namespace reliability
{

inline int environmentInt (const char* name, int fallback)
{
    const auto* value = std::getenv (name);
    return value != nullptr && *value != 0 ? std::atoi (value) : fallback;
}

/** Runs a suite's rows, each in a process of its own, prints its table (and writes it
    next to the rows' logs), and expects every row to end as it says. */
inline void runSuite (const std::string& suite, const std::string& title)
{
    // Sanitizer builds sample the sweeps; TARVO_RELIABILITY_STRIDE overrides.
    const auto stride = std::max (1, environmentInt ("TARVO_RELIABILITY_STRIDE", TARVO_RELIABILITY_DEFAULT_STRIDE));
    const auto rows = rowsOfSuite (suite, stride);
    ASSERT_FALSE (rows.empty());

    RunnerOptions options;
    options.program = TARVO_RELIABILITY_ROW_PROGRAM;
    options.workDir = juce::File (TARVO_RELIABILITY_WORK_DIR).getChildFile (suite).getFullPathName().toStdString();
    options.jobs = environmentInt ("TARVO_RELIABILITY_JOBS", 6);
    options.timeoutSeconds = environmentInt ("TARVO_RELIABILITY_ROW_TIMEOUT", TARVO_RELIABILITY_DEFAULT_ROW_TIMEOUT);

    const auto verdicts = runRows (rows, options);
    const auto report = formatReport (title + (stride > 1 ? " (every " + std::to_string (stride) + ". position)" : ""),
                                      rows, verdicts);

    std::cout << report << std::flush;
    juce::File (TARVO_RELIABILITY_WORK_DIR).getChildFile (suite + "-report.txt").replaceWithText (report);
    std::cout << "(also in " << TARVO_RELIABILITY_WORK_DIR << "/" << suite << "-report.txt)" << std::endl;

    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ (verdicts[i].kind, RowVerdict::asExpected)
            << rows[i].id << ": " << rows[i].knob << " at " << rows[i].phase << " -> " << toString (verdicts[i].kind)
            << "\nexpected: " << rows[i].expected << "\nactual: " << verdicts[i].result.actual
            << "\nnote: " << verdicts[i].result.note << "\n--- end of its log ---\n" << verdicts[i].log;
}

} // namespace reliability
