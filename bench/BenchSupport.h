#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>

/*  What the benchmark programs share.

    Every program links BenchMain.cpp: it brings JUCE up with the main thread as the
    message thread (benchmarks run on that thread, so a device opened there opens its ports
    at once), runs the registered benchmarks and then calls the program's summary with the
    figures of every finished benchmark, so that ratios come from the same run.
*/
namespace bench
{

/** One finished benchmark: times per iteration and its counters, as reported. */
struct Figure
{
    double realSeconds = 0.0;   // wall time per iteration
    double cpuSeconds = 0.0;    // CPU time per iteration (the whole process where measured so)
    std::map<std::string, double> counters;

    double counter (const std::string& name) const;
};

using Figures = std::map<std::string, Figure>;

/** Registers the text printed after all benchmarks ran. Returns true, for use in a
    namespace-scope initialiser. */
bool setSummary (std::function<void (const Figures&)> summary);

/** Registers what must be torn down while JUCE still runs (devices, amplifiers). */
bool atTeardown (std::function<void()> fn);

/** The figure of a benchmark by its full name; null when it did not run (filtered out or
    failed). */
const Figure* find (const Figures& figures, const std::string& name);

/** Prints "  label: value unit". */
void printFigure (const std::string& label, double value, const std::string& unit);

/** Prints a figure with its target, and whether it was met. */
void printCheck (const std::string& label, double value, const std::string& unit,
                 bool atMost, double limit);

/** CPU time consumed so far by the whole process (all threads), in seconds. */
double processCpuSeconds();

/** CPU time consumed so far by the calling thread, in seconds. */
double threadCpuSeconds();

/** Sends standard output to /dev/null while it lives: the update prints its progress,
    which must not mix with the tables. */
class QuietStdout
{
public:
    QuietStdout();
    ~QuietStdout();

    QuietStdout (const QuietStdout&) = delete;
    QuietStdout& operator= (const QuietStdout&) = delete;

private:
    int saved = -1;
};

//==============================================================================
// Used by BenchMain.cpp.
void runSummary (const Figures& figures);
void runTeardown();

} // namespace bench
