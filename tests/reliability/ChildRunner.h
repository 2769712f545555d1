#pragma once

#include "Rows.h"

#include <string>
#include <vector>

namespace reliability
{

/** How a row's process ended. */
struct RowVerdict
{
    enum Kind
    {
        asExpected,
        unexpected,    // ended cleanly, but not as the row says
        lost,          // the amplifier could not be updated afterwards
        crash,         // killed by a signal, or ended without a result
        hang,          // still running at its time limit, killed
        sanitizer      // a sanitizer reported something
    };

    Kind kind = crash;
    RowResult result;
    double seconds = 0.0;
    std::string log;   // the last part of what the row printed
};

std::string toString (RowVerdict::Kind);

struct RunnerOptions
{
    std::string program;       // the row program
    std::string workDir;       // logs and result files go here
    int jobs = 6;
    int timeoutSeconds = 180;
};

/** Runs each row in a process of its own, at most jobs at a time, and tells how each
    ended. A process still running after timeoutSeconds is killed and counted as a hang. */
std::vector<RowVerdict> runRows (const std::vector<Row>& rows, const RunnerOptions& options);

/** The table printed at the end of a run: every row, a knob-by-phase grid for a matrix,
    and the counts. */
std::string formatReport (const std::string& title, const std::vector<Row>& rows,
                          const std::vector<RowVerdict>& verdicts);

} // namespace reliability
