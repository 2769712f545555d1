#include "BenchSupport.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace bench
{

namespace
{
std::function<void (const Figures&)>& summaryFunction()
{
    static std::function<void (const Figures&)> fn;
    return fn;
}

std::vector<std::function<void()>>& teardownFunctions()
{
    static std::vector<std::function<void()>> fns;
    return fns;
}

double secondsOf (clockid_t clock)
{
    timespec ts {};
    clock_gettime (clock, &ts);
    return (double) ts.tv_sec + (double) ts.tv_nsec * 1.0e-9;
}
} // namespace

double Figure::counter (const std::string& name) const
{
    const auto it = counters.find (name);
    return it != counters.end() ? it->second : 0.0;
}

bool setSummary (std::function<void (const Figures&)> summary)
{
    summaryFunction() = std::move (summary);
    return true;
}

bool atTeardown (std::function<void()> fn)
{
    teardownFunctions().push_back (std::move (fn));
    return true;
}

const Figure* find (const Figures& figures, const std::string& name)
{
    const auto it = figures.find (name);

    if (it != figures.end())
        return &it->second;

    // Options such as a minimum time or real-time measurement add parts to the name.
    for (const auto& [key, figure] : figures)
        if (key.rfind (name + "/", 0) == 0)
            return &figure;

    return nullptr;
}

void printFigure (const std::string& label, double value, const std::string& unit)
{
    std::printf ("  %-58s %14.4g %s\n", label.c_str(), value, unit.c_str());
}

void printCheck (const std::string& label, double value, const std::string& unit,
                 bool atMost, double limit)
{
    const auto met = atMost ? value <= limit : value >= limit;
    std::printf ("  %-58s %14.4g %s  (target %s %g: %s)\n", label.c_str(), value, unit.c_str(),
                 atMost ? "<=" : ">=", limit, met ? "met" : "MISSED");
}

double processCpuSeconds()
{
    return secondsOf (CLOCK_PROCESS_CPUTIME_ID);
}

double threadCpuSeconds()
{
    return secondsOf (CLOCK_THREAD_CPUTIME_ID);
}

QuietStdout::QuietStdout()
{
    std::cout.flush();
    std::fflush (stdout);
    saved = dup (STDOUT_FILENO);

    const auto null = open ("/dev/null", O_WRONLY | O_CLOEXEC);

    if (null >= 0)
    {
        dup2 (null, STDOUT_FILENO);
        close (null);
    }
}

QuietStdout::~QuietStdout()
{
    std::cout.flush();
    std::fflush (stdout);

    if (saved >= 0)
    {
        dup2 (saved, STDOUT_FILENO);
        close (saved);
    }
}

void runSummary (const Figures& figures)
{
    if (summaryFunction())
    {
        std::printf ("\nFigures\n");
        summaryFunction() (figures);
        std::fflush (stdout);
    }
}

void runTeardown()
{
    auto& fns = teardownFunctions();

    for (auto it = fns.rbegin(); it != fns.rend(); ++it)
        (*it)();

    fns.clear();
}

} // namespace bench
