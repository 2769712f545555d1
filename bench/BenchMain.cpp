#include "BenchSupport.h"
#include "HeadlessApplication.h"

#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
/** Shows the usual table and keeps each finished benchmark's figures for the summary. */
class CollectingReporter final : public benchmark::ConsoleReporter
{
public:
    void ReportRuns (const std::vector<Run>& runs) override
    {
        for (const auto& run : runs)
        {
            if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations <= 0)
                continue;

            bench::Figure figure;
            const auto iterations = (double) run.iterations;
            figure.realSeconds = run.real_accumulated_time / iterations;
            figure.cpuSeconds = run.cpu_accumulated_time / iterations;

            for (const auto& [name, counter] : run.counters)
                figure.counters[name] = counter.value;

            // With repetitions the fastest stands: it is the one least disturbed by
            // whatever else the machine was doing.
            const auto name = run.benchmark_name();
            const auto known = figures.find (name);

            if (known == figures.end() || figure.realSeconds < known->second.realSeconds)
                figures[name] = figure;
        }

        ConsoleReporter::ReportRuns (runs);
    }

    bench::Figures figures;
};
} // namespace

int main (int argc, char** argv)
{
    benchmark::Initialize (&argc, argv);

    if (benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;

    testing_support::installHeadlessApplication();
    juce::ScopedJuceInitialiser_GUI juce;
    juce::MessageManager::getInstance()->setCurrentThreadAsMessageThread();

    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks (&reporter);
    bench::runSummary (reporter.figures);
    bench::runTeardown();
    benchmark::Shutdown();
    return 0;
}
