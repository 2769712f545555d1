#include "ChildRunner.h"

#include <juce_core/juce_core.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace reliability
{

namespace
{
using Clock = std::chrono::steady_clock;

const char* const sanitizerMarkers[] = {
    "ERROR: AddressSanitizer",
    "ERROR: LeakSanitizer",
    "WARNING: ThreadSanitizer",
    "runtime error:",
};

struct Running
{
    size_t row = 0;
    pid_t pid = -1;
    Clock::time_point start;
    Clock::time_point deadline;
    bool killed = false;
    std::thread waiter;
    juce::File log, result;
};

struct Finished
{
    pid_t pid;
    int status;
};

std::string fileName (const std::string& id)
{
    auto name = id;
    std::replace (name.begin(), name.end(), '/', '-');
    return name;
}

std::map<std::string, std::string> readResult (const juce::File& file)
{
    std::map<std::string, std::string> values;
    juce::StringArray lines;
    file.readLines (lines);

    for (const auto& line : lines)
    {
        const auto eq = line.indexOfChar ('=');

        if (eq > 0)
            values[line.substring (0, eq).toStdString()] = line.substring (eq + 1).toStdString();
    }

    return values;
}

RowVerdict judge (const Running& child, int status)
{
    RowVerdict verdict;
    verdict.seconds = std::chrono::duration<double> (Clock::now() - child.start).count();

    const auto log = child.log.loadFileAsString();
    verdict.log = log.length() > 4000 ? log.substring (log.length() - 4000).toStdString() : log.toStdString();

    const auto values = readResult (child.result);
    const bool hasResult = child.result.existsAsFile() && values.count ("asExpected") != 0;

    if (hasResult)
    {
        verdict.result.asExpected = values.at ("asExpected") == "1";
        verdict.result.recovered = values.count ("recovered") != 0 && values.at ("recovered") == "1";
        verdict.result.actual = values.count ("actual") != 0 ? values.at ("actual") : std::string();
        verdict.result.note = values.count ("note") != 0 ? values.at ("note") : std::string();
    }

    const bool sanitizerReport = std::any_of (std::begin (sanitizerMarkers), std::end (sanitizerMarkers),
                                              [&] (const char* marker) { return log.contains (marker); });

    if (child.killed)
        verdict.kind = RowVerdict::hang;
    else if (sanitizerReport)
        verdict.kind = RowVerdict::sanitizer;
    else if (WIFSIGNALED (status) || ! hasResult)
        verdict.kind = RowVerdict::crash;
    else if (! verdict.result.recovered)
        verdict.kind = RowVerdict::lost;
    else if (! verdict.result.asExpected || ! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        verdict.kind = RowVerdict::unexpected;
    else
        verdict.kind = RowVerdict::asExpected;

    if (! hasResult && ! child.killed)
        verdict.result.actual = WIFSIGNALED (status) ? "killed by signal " + std::to_string (WTERMSIG (status))
                                                     : "ended with status " + std::to_string (WEXITSTATUS (status)) + " and no result";

    if (child.killed)
        verdict.result.actual = "still running after its time limit";

    return verdict;
}

pid_t spawnRow (const RunnerOptions& options, const Row& row, const juce::File& log, const juce::File& result)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, log.getFullPathName().toRawUTF8(),
                                      O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2 (&actions, STDOUT_FILENO, STDERR_FILENO);

    std::string program = options.program, id = row.id, resultPath = result.getFullPathName().toStdString();
    char* argv[] = { program.data(), id.data(), resultPath.data(), nullptr };

    pid_t pid = -1;
    const auto error = posix_spawn (&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy (&actions);
    return error == 0 ? pid : -1;
}
} // namespace

std::string toString (RowVerdict::Kind kind)
{
    switch (kind)
    {
        case RowVerdict::asExpected: return "as expected";
        case RowVerdict::unexpected: return "NOT AS EXPECTED";
        case RowVerdict::lost:       return "UPDATE LOST";
        case RowVerdict::crash:      return "CRASH";
        case RowVerdict::hang:       return "HANG";
        case RowVerdict::sanitizer:  return "SANITIZER REPORT";
    }

    return "?";
}

std::vector<RowVerdict> runRows (const std::vector<Row>& rows, const RunnerOptions& options)
{
    // Several suites start at once and share the parent folder: create_directories takes
    // a folder that another process made meanwhile as success.
    const juce::File workDir (options.workDir);
    std::error_code ignored;
    std::filesystem::create_directories (options.workDir, ignored);

    std::vector<RowVerdict> verdicts (rows.size());
    std::mutex lock;
    std::condition_variable finishedChanged;
    std::vector<Finished> finished;
    std::map<pid_t, std::unique_ptr<Running>> running;
    size_t next = 0, numDone = 0;

    std::cout << "running " << rows.size() << " rows, " << options.jobs << " at a time; logs in "
              << options.workDir << std::endl;

    const auto timeout = std::chrono::seconds (options.timeoutSeconds);

    while (next < rows.size() || ! running.empty())
    {
        while (next < rows.size() && (int) running.size() < std::max (1, options.jobs))
        {
            auto child = std::make_unique<Running>();
            child->row = next;
            child->log = workDir.getChildFile (fileName (rows[next].id) + ".log");
            child->result = workDir.getChildFile (fileName (rows[next].id) + ".result");
            child->result.deleteFile();
            child->start = Clock::now();
            child->deadline = child->start + timeout;
            child->pid = spawnRow (options, rows[next], child->log, child->result);

            if (child->pid < 0)
            {
                verdicts[next].kind = RowVerdict::crash;
                verdicts[next].result.actual = "could not be started";
                ++next;
                continue;
            }

            // Each child has a thread that blocks until it ends: no polling.
            const auto pid = child->pid;
            child->waiter = std::thread ([pid, &lock, &finished, &finishedChanged]
            {
                int status = 0;

                while (::waitpid (pid, &status, 0) < 0 && errno == EINTR) {}

                const std::lock_guard<std::mutex> l (lock);
                finished.push_back ({ pid, status });
                finishedChanged.notify_all();
            });

            running.emplace (pid, std::move (child));
            ++next;
        }

        // Nothing started (every start failed): nothing to wait for.
        if (running.empty())
            continue;

        std::vector<Finished> done;

        {
            auto earliest = Clock::time_point::max();

            for (const auto& entry : running)
                if (! entry.second->killed)
                    earliest = std::min (earliest, entry.second->deadline);

            std::unique_lock<std::mutex> l (lock);

            if (earliest == Clock::time_point::max())
                finishedChanged.wait (l, [&] { return ! finished.empty(); });
            else
                finishedChanged.wait_until (l, earliest, [&] { return ! finished.empty(); });

            done.swap (finished);
        }

        for (const auto& f : done)
        {
            auto it = running.find (f.pid);

            if (it == running.end())
                continue;

            it->second->waiter.join();
            const auto row = it->second->row;
            verdicts[row] = judge (*it->second, f.status);
            running.erase (it);

            // Progress, so that a suite that runs long shows where it is.
            std::cout << "[" << ++numDone << "/" << rows.size() << "] " << rows[row].id << ": "
                      << toString (verdicts[row].kind) << " (" << juce::String (verdicts[row].seconds, 1) << " s)"
                      << std::endl;
        }

        // Only the processes started here, each by its own id.
        for (auto& entry : running)
        {
            if (! entry.second->killed && Clock::now() >= entry.second->deadline)
            {
                entry.second->killed = true;
                ::kill (entry.first, SIGKILL);
            }
        }
    }

    return verdicts;
}

//==============================================================================
std::string formatReport (const std::string& title, const std::vector<Row>& rows,
                          const std::vector<RowVerdict>& verdicts)
{
    std::ostringstream out;
    out << "\n==== " << title << " ====\n";

    size_t knobWidth = 4, phaseWidth = 5, expectedWidth = 8;

    for (const auto& row : rows)
    {
        knobWidth = std::max (knobWidth, row.knob.size());
        phaseWidth = std::max (phaseWidth, row.phase.size());
        expectedWidth = std::max (expectedWidth, row.expected.size());
    }

    out << std::left << std::setw ((int) knobWidth) << "knob" << " | " << std::setw ((int) phaseWidth) << "phase"
        << " | " << std::setw ((int) expectedWidth) << "expected" << " | " << std::setw (16) << "verdict"
        << " | " << std::setw (6) << "s" << " | actual\n";

    for (size_t i = 0; i < rows.size(); ++i)
    {
        const auto& v = verdicts[i];
        out << std::left << std::setw ((int) knobWidth) << rows[i].knob << " | "
            << std::setw ((int) phaseWidth) << rows[i].phase << " | "
            << std::setw ((int) expectedWidth) << rows[i].expected << " | "
            << std::setw (16) << toString (v.kind) << " | "
            << std::setw (6) << std::fixed << std::setprecision (1) << v.seconds << " | "
            << v.result.actual;

        if (v.kind != RowVerdict::asExpected && ! v.result.note.empty())
            out << "  [" << v.result.note << "]";

        out << "\n";
    }

    // A matrix also as a grid: a knob per line, a phase per column, a mark per cell.
    std::vector<std::string> knobOrder, phaseOrder;

    for (const auto& row : rows)
    {
        if (std::find (knobOrder.begin(), knobOrder.end(), row.knob) == knobOrder.end())
            knobOrder.push_back (row.knob);

        if (std::find (phaseOrder.begin(), phaseOrder.end(), row.phase) == phaseOrder.end())
            phaseOrder.push_back (row.phase);
    }

    if (knobOrder.size() > 1 && phaseOrder.size() > 1 && knobOrder.size() * phaseOrder.size() == rows.size())
    {
        out << "\n" << std::left << std::setw ((int) knobWidth) << "" ;

        for (const auto& phase : phaseOrder)
            out << " | " << std::setw (14) << phase;

        out << "\n";

        for (const auto& knob : knobOrder)
        {
            out << std::left << std::setw ((int) knobWidth) << knob;

            for (const auto& phase : phaseOrder)
            {
                for (size_t i = 0; i < rows.size(); ++i)
                {
                    if (rows[i].knob != knob || rows[i].phase != phase)
                        continue;

                    const auto mark = verdicts[i].kind == RowVerdict::asExpected ? "ok" : toString (verdicts[i].kind);
                    out << " | " << std::setw (14) << mark;
                }
            }

            out << "\n";
        }
    }

    size_t asExpected = 0, lost = 0, crashes = 0, hangs = 0, sanitizer = 0, unexpected = 0;

    for (const auto& v : verdicts)
    {
        switch (v.kind)
        {
            case RowVerdict::asExpected: ++asExpected; break;
            case RowVerdict::unexpected: ++unexpected; break;
            case RowVerdict::lost:       ++lost; break;
            case RowVerdict::crash:      ++crashes; break;
            case RowVerdict::hang:       ++hangs; break;
            case RowVerdict::sanitizer:  ++sanitizer; break;
        }
    }

    out << "\nrows tried: " << rows.size()
        << " | rows as expected: " << asExpected
        << " | updates lost: " << lost
        << " | crashes: " << crashes
        << " | hangs: " << hangs
        << " | sanitizer reports: " << sanitizer
        << " | other differences: " << unexpected << "\n";

    return out.str();
}

} // namespace reliability
