#include "ChildRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testing_support
{
namespace
{
using Clock = std::chrono::steady_clock;

std::string describeError (int error)
{
    return std::error_code (error, std::generic_category()).message();
}

std::string describeStatus (int status)
{
    if (WIFEXITED (status))
        return "exit code " + std::to_string (WEXITSTATUS (status));

    if (WIFSIGNALED (status))
    {
        const auto signal = WTERMSIG (status);
        const auto* name = sigabbrev_np (signal);
        return "killed by signal " + std::to_string (signal)
             + " (SIG" + (name != nullptr ? name : "?") + ")";
    }

    return "ended with wait status " + std::to_string (status);
}

// This process's environment with the extra entries, each replacing one of the same name.
std::vector<std::string> environmentWith (const std::vector<std::string>& extra)
{
    const auto nameOf = [] (const std::string& entry)
    {
        return entry.substr (0, entry.find ('='));
    };

    std::vector<std::string> entries;

    for (auto** e = environ; *e != nullptr; ++e)
    {
        const std::string entry (*e);
        bool replaced = false;

        for (const auto& x : extra)
            replaced = replaced || nameOf (x) == nameOf (entry);

        if (! replaced)
            entries.push_back (entry);
    }

    entries.insert (entries.end(), extra.begin(), extra.end());
    return entries;
}

// Pointers into the strings, ended by a null, as exec takes them.
std::vector<char*> pointersTo (std::vector<std::string>& strings)
{
    std::vector<char*> pointers;

    for (auto& s : strings)
        pointers.push_back (s.data());

    pointers.push_back (nullptr);
    return pointers;
}

// The child starts with no signal blocked and the usual ones at their defaults, whatever
// the calling thread has set.
struct SpawnSettings
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    explicit SpawnSettings (int outputFd)
    {
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2 (&actions, outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2 (&actions, outputFd, STDERR_FILENO);

        posix_spawnattr_init (&attributes);
        sigset_t none;
        sigemptyset (&none);
        posix_spawnattr_setsigmask (&attributes, &none);

        sigset_t defaults;
        sigemptyset (&defaults);

        for (const auto signal : { SIGPIPE, SIGALRM, SIGINT, SIGTERM, SIGCHLD })
            sigaddset (&defaults, signal);

        posix_spawnattr_setsigdefault (&attributes, &defaults);
        posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }

    ~SpawnSettings()
    {
        posix_spawnattr_destroy (&attributes);
        posix_spawn_file_actions_destroy (&actions);
    }

    SpawnSettings (const SpawnSettings&) = delete;
    SpawnSettings& operator= (const SpawnSettings&) = delete;
};

int millisecondsUntil (Clock::time_point deadline)
{
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds> (deadline - Clock::now());
    return (int) std::max<long long> (0, left.count());
}

// Whether the child has ended, leaving it to be waited for.
bool hasEnded (pid_t pid)
{
    siginfo_t info {};
    const auto result = waitid (P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT);
    return result == 0 && info.si_pid == pid;
}

// Reads to the end of the stream. Past the deadline the child is killed, once, and gets ten
// seconds more to let go of the pipe; if the child has ended already, what holds the pipe
// open is something it left running, and the reading stops.
void readToEnd (int fd, pid_t pid, Clock::time_point deadline, ChildRun& run)
{
    char buffer[4096];

    for (;;)
    {
        pollfd p { fd, POLLIN, 0 };
        const auto ready = poll (&p, 1, millisecondsUntil (deadline));

        if (ready < 0 && errno == EINTR)
            continue;

        if (ready == 0)
        {
            if (run.killedForTime || hasEnded (pid))
                return;

            kill (pid, SIGKILL);
            run.killedForTime = true;
            deadline = Clock::now() + std::chrono::seconds (10);
            continue;
        }

        const auto n = ready < 0 ? -1 : read (fd, buffer, sizeof (buffer));

        if (n < 0 && errno == EINTR)
            continue;

        if (n <= 0)
            return;

        run.output.append (buffer, (size_t) n);
    }
}

// Waits for the child's end; past the deadline it is killed, once.
int waitForEnd (pid_t pid, Clock::time_point deadline, ChildRun& run)
{
    for (;;)
    {
        int status = 0;
        const auto flags = run.killedForTime ? 0 : WNOHANG;
        const auto result = waitpid (pid, &status, flags);

        if (result == pid)
            return status;

        if (result < 0 && errno != EINTR)
            return -1;

        if (result == 0 && Clock::now() >= deadline)
        {
            kill (pid, SIGKILL);
            run.killedForTime = true;
        }
        else if (result == 0)
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (5));
        }
    }
}
} // namespace

ChildRun runChild (const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment,
                   int killAfterMs)
{
    ChildRun run;

    if (argv.empty())
    {
        run.ending = "not started: no program named";
        return run;
    }

    auto arguments = argv;
    auto environment = environmentWith (extraEnvironment);
    const auto argumentPointers = pointersTo (arguments);
    const auto environmentPointers = pointersTo (environment);

    int fds[2];

    if (pipe2 (fds, O_CLOEXEC) != 0)
    {
        run.ending = "not started: no pipe: " + describeError (errno);
        return run;
    }

    const auto readEnd = fds[0];
    const auto writeEnd = fds[1];
    pid_t pid = 0;
    int error = 0;

    {
        SpawnSettings settings (writeEnd);
        error = posix_spawnp (&pid, argv[0].c_str(), &settings.actions, &settings.attributes,
                              argumentPointers.data(), environmentPointers.data());
    }

    // The child has its own copies: the parent's write end goes now, so that the read
    // ends when the child (and whatever it started) has closed them.
    close (writeEnd);

    if (error != 0)
    {
        close (readEnd);
        run.ending = "not started: " + describeError (error);
        return run;
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds (killAfterMs);
    readToEnd (readEnd, pid, deadline, run);
    close (readEnd);

    const auto status = waitForEnd (pid, deadline, run);
    run.ending = status == -1 ? "lost: waitpid failed" : describeStatus (status);
    return run;
}
} // namespace testing_support
