#pragma once

// Starts test programs as processes of their own, from as many threads as a test likes.

#include <string>
#include <vector>

namespace testing_support
{
/** How a child process ended and what it wrote on its standard output and error. */
struct ChildRun
{
    /** "exit code N", "killed by signal N (NAME)", or "not started: why". */
    std::string ending;

    /** Set when the child outlived its bound and was killed for it. */
    bool killedForTime = false;

    /** Its standard output and standard error as one stream, in the order written. */
    std::string output;

    bool exitedZero() const { return ending == "exit code 0"; }
};

/** Runs argv[0] (looked up on PATH when it holds no '/') with the given arguments, this
    process's environment plus extraEnvironment ("NAME=value" each, later ones winning),
    and standard input from /dev/null; returns once the child has ended and its output
    was read to the end.

    Safe to call from many threads at once: the pipe is made close-on-exec, so no other
    child inherits it, and each descriptor is closed exactly once, by this call.

    The bound only guards against a hang: a child still running after killAfterMs is
    killed (SIGKILL), and killedForTime is set. Past the bound, the output of a child that
    has ended is not waited for (something it left running may hold the pipe). */
ChildRun runChild (const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment = {},
                   int killAfterMs = 600000);
} // namespace testing_support
