#include "BenchSupport.h"

#include "EmulatedAmplifier.h"
#include "JwUsbMidiDeviceFinder.h"
#include "JwUsbMidiH3.h"
#include "SimulatorInstall.h"

#include <juce_core/juce_core.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

/*  Idle cost and peak memory.

    Idle: a reply wait on a JwUsbMidiH3 opened on the emulated amplifier, with nothing
    arriving, for one second per iteration; the figure is the CPU time that the whole
    process (the waiting thread, the MIDI delivery thread, the amplifier) consumes per
    second of waiting.

    Peak memory: the simulator build's command-line update of the firmware file, run as a
    process of its own; its peak resident memory (VmHWM, as wait4 reports it), its wall
    time and its exit status.
*/
namespace
{
constexpr int idleWaitMs = 1000;

struct Rig
{
    Rig()
    {
        sim::EmulatedAmplifier::Config config;
        amplifier = std::make_unique<sim::EmulatedAmplifier> (service, config);

        {
            const bench::QuietStdout quiet;
            JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
        }

        device = std::make_unique<JwUsbMidiH3> (reinterpret_cast<const char*> (config.deviceId.data()));
        deviceOpen = device->Open();
    }

    ~Rig()
    {
        if (device != nullptr)
            device->Close();

        device.reset();
        amplifier.reset();
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    std::unique_ptr<sim::EmulatedAmplifier> amplifier;
    std::unique_ptr<JwUsbMidiH3> device;
    bool deviceOpen = false;
};

std::unique_ptr<Rig> rig;

Rig& getRig()
{
    if (rig == nullptr)
    {
        rig = std::make_unique<Rig>();
        bench::atTeardown ([] { rig.reset(); });
    }

    return *rig;
}

void BM_IdleReplyWait (benchmark::State& state)
{
    auto& r = getRig();

    if (! r.deviceOpen)
    {
        state.SkipWithError ("the emulated amplifier could not be opened");
        return;
    }

    const auto sid = r.device->AllocateSid();
    uint8_t buffer[512];

    for (auto _ : state)
    {
        // Nothing was asked, so nothing comes: the read must end at its time-out.
        if (r.device->ReadNext (sid, buffer, sizeof (buffer), idleWaitMs) != -1)
        {
            state.SkipWithError ("a message arrived during the idle wait");
            break;
        }
    }

    r.device->ReleaseSid (sid);
}

BENCHMARK (BM_IdleReplyWait)->Unit (benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations (3);

//==============================================================================
struct ChildResult
{
    bool started = false;
    int exitStatus = -1;
    double peakMiB = 0.0;
    double seconds = 0.0;
};

/** Runs the program with its output thrown away and no X display, as a command-line
    user would, and reports what wait4 says of it. */
ChildResult runCommandLineUpdate (const std::string& executable, const std::string& image)
{
    ChildResult result;

    std::vector<std::string> env;

    for (auto** e = environ; *e != nullptr; ++e)
        if (std::strncmp (*e, "DISPLAY=", 8) != 0)
            env.emplace_back (*e);

    std::vector<char*> envp;

    for (auto& e : env)
        envp.push_back (e.data());

    envp.push_back (nullptr);

    std::string arg0 = executable, arg1 = "--path", arg2 = image;
    char* argv[] = { arg0.data(), arg1.data(), arg2.data(), nullptr };

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const auto spawned = posix_spawn (&pid, executable.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy (&actions);

    if (spawned != 0)
        return result;

    result.started = true;
    int status = 0;
    rusage usage {};

    if (wait4 (pid, &status, 0, &usage) != pid)
        return result;

    result.seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
    result.exitStatus = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    result.peakMiB = (double) usage.ru_maxrss / 1024.0;   // ru_maxrss is in KiB on Linux
    return result;
}

void BM_CommandLineUpdatePeakMemory (benchmark::State& state)
{
    const std::string executable = TARVO_BENCH_SIM_EXECUTABLE;
    const std::string image = TARVO_BENCH_FIRMWARE_IMAGE;
    ChildResult result;

    for (auto _ : state)
        result = runCommandLineUpdate (executable, image);

    if (! result.started)
    {
        state.SkipWithError ("the simulator build could not be started");
        return;
    }

    if (result.exitStatus != 0)
    {
        state.SkipWithError ("the command-line update failed");
        return;
    }

    state.counters["peak_rss_MiB"] = result.peakMiB;
    state.counters["update_s"] = result.seconds;
}

BENCHMARK (BM_CommandLineUpdatePeakMemory)->Unit (benchmark::kSecond)->UseRealTime()->Iterations (1);

const bool summary = bench::setSummary ([] (const bench::Figures& figures)
{
    if (const auto* idle = bench::find (figures, "BM_IdleReplyWait"))
    {
        std::printf ("Idle reply wait (%d ms, nothing arriving):\n", idleWaitMs);
        const auto share = idle->cpuSeconds / idle->realSeconds;
        bench::printFigure ("process CPU per second of waiting", share * 1.0e3, "ms");
        bench::printCheck ("share of one core", share * 100.0, "%", true, 1.0);
    }

    if (const auto* peak = bench::find (figures, "BM_CommandLineUpdatePeakMemory"))
    {
        std::printf ("Command-line update of the simulator build (TarvoFirmwareUpdaterSim --path ...):\n");
        bench::printFigure ("peak resident memory (VmHWM)", peak->counter ("peak_rss_MiB"), "MiB");
        bench::printFigure ("wall time, both 5 s reconnects included", peak->counter ("update_s"), "s");
    }
});
} // namespace
