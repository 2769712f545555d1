#include "BenchSupport.h"

#include "AppStates.h"
#include "ApplicationMain.h"
#include "EmulatedAmplifier.h"
#include "JwDeviceManager.h"
#include "MainComponent.h"
#include "Reconnect.h"
#include "SimulatorInstall.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

/*  The message thread while the window flashes the amplifier.

    The window (a MainComponent on the desktop, so it paints) connects to the emulated
    amplifier as a user would, then "Check to update" is pressed. From then on another
    thread posts a callAsync every 10 ms; each records how late it ran. The delays of the
    messages that ran while FirmwareUpdatingAppState was the window's state are the figure:
    their 50th and 99th percentiles and the largest. The reconnect delay is shortened (the
    emulated amplifier restarts in 50 ms), which leaves the flashing itself as it is.
*/
namespace
{
using Clock = std::chrono::steady_clock;

constexpr int postIntervalMs = 10;
constexpr int amplifierRestartMs = 50;
constexpr auto shortReopenDelay = std::chrono::milliseconds (250);

/** Gives the loop below an event at least this often, so that it looks at its condition. */
class Heartbeat final : private juce::Timer
{
public:
    Heartbeat() { startTimer (20); }
    ~Heartbeat() override { stopTimer(); }

private:
    void timerCallback() override {}
};

/** Runs the message loop until done() holds, a turn of the application's own loop at a time
    (blocked in poll until an event comes). JUCE's runDispatchLoopUntil would sleep a
    millisecond whenever the queue is empty and so add up to 1 ms to every delay measured. */
bool pumpUntil (const std::function<bool()>& done, int timeoutMs)
{
    const Heartbeat heartbeat;
    const auto deadline = Clock::now() + std::chrono::milliseconds (timeoutMs);

    while (! done())
    {
        if (Clock::now() >= deadline)
            return done();

        dispatchNextEvent();
    }

    return true;
}

template <typename State>
bool stateIs (MainComponent& mc)
{
    return dynamic_cast<State*> (mc.state.get()) != nullptr;
}

juce::TextButton& firmwareButton (MainComponent& mc)
{
    return *mc.connectedView->rows[ConnectedDeviceInfoView::firmwareRow]->actionButton;
}

//==============================================================================
struct Rig
{
    Rig()
    {
        sim::EmulatedAmplifier::Config config;
        config.restartTimeMs = amplifierRestartMs;
        amplifier = std::make_unique<sim::EmulatedAmplifier> (service, config);
        reopenDelay = shortReopenDelay;

        window = std::make_unique<MainComponent>();
        window->addToDesktop (juce::ComponentPeer::windowHasTitleBar);
        window->setVisible (true);

        // "Connect Hardware", as the user would press it.
        window->changeState (std::make_unique<ConnectingAppState>());
        connected = pumpUntil ([this] { return stateIs<ConnectedAppState> (*window) && idle(); }, 20000);
    }

    ~Rig()
    {
        window.reset();

        auto& manager = *jw::DeviceManager::instance();
        manager.stopPolling();

        if (auto* device = manager.currentDevice())
            device->Close();

        manager.setCurrentDevice (nullptr);
        amplifier.reset();
    }

    /** Connected, the information read and the buttons usable again. */
    bool idle()
    {
        return jw::DeviceManager::instance()->currentDevice() != nullptr
            && firmwareButton (*window).isEnabled()
            && firmwareButton (*window).getButtonText() == "Check to update";
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    std::unique_ptr<sim::EmulatedAmplifier> amplifier;
    std::unique_ptr<MainComponent> window;
    bool connected = false;
};

std::unique_ptr<Rig> rig;

//==============================================================================
/** Posts a message every 10 ms from a thread of its own; the messages note their delay
    when the window is flashing. Only the message thread touches the samples. */
class Sampler
{
public:
    explicit Sampler (MainComponent& w) : window (w)
    {
        thread = std::thread ([this]
        {
            auto next = Clock::now();

            while (! stopping)
            {
                next += std::chrono::milliseconds (postIntervalMs);
                std::this_thread::sleep_until (next);
                const auto posted = Clock::now();
                ++numPosted;

                juce::MessageManager::callAsync ([this, posted]
                {
                    const auto delay = std::chrono::duration<double, std::milli> (Clock::now() - posted).count();

                    if (stateIs<FirmwareUpdatingAppState> (window))
                        delaysMs.push_back (delay);

                    ++numRun;
                });
            }
        });
    }

    /** Stops posting and lets every posted message run, so that none outlives this. */
    ~Sampler()
    {
        stopping = true;
        thread.join();
        pumpUntil ([this] { return numRun == numPosted; }, 60000);
    }

    std::vector<double> delaysMs;

private:
    MainComponent& window;
    std::atomic<bool> stopping { false };
    std::atomic<int64_t> numPosted { 0 }, numRun { 0 };
    std::thread thread;
};

double percentile (const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0.0;

    const auto rank = (size_t) std::ceil (p / 100.0 * (double) sorted.size());
    return sorted[std::min (sorted.size(), std::max<size_t> (rank, 1)) - 1];
}

void BM_MessageThreadDuringUpdate (benchmark::State& state)
{
    if (std::getenv ("DISPLAY") == nullptr)
    {
        state.SkipWithError ("needs an X display (run under xvfb-run -a)");
        return;
    }

    const bench::QuietStdout quiet;

    if (rig == nullptr)
    {
        rig = std::make_unique<Rig>();
        bench::atTeardown ([] { rig.reset(); });
    }

    if (! rig->connected)
    {
        state.SkipWithError ("the window did not connect to the emulated amplifier");
        return;
    }

    auto& window = *rig->window;
    std::vector<double> delays;

    for (auto _ : state)
    {
        Sampler sampler (window);

        // "Check to update".
        window.changeState (std::make_unique<FirmwareCheckingAppState>());

        const auto flashed = pumpUntil ([&] { return stateIs<FirmwareUpdatingAppState> (window); }, 10000)
                          && pumpUntil ([&] { return ! stateIs<FirmwareUpdatingAppState> (window); }, 120000)
                          && pumpUntil ([&] { return rig->idle(); }, 20000);

        if (! flashed || window.toast->label->getText() != "Your firmware is up-to-date.")
        {
            state.SkipWithError ("the update did not finish well");
            return;
        }

        delays.insert (delays.end(), sampler.delaysMs.begin(), sampler.delaysMs.end());
    }

    std::sort (delays.begin(), delays.end());
    state.counters["samples"] = (double) delays.size();
    state.counters["p50_ms"] = percentile (delays, 50.0);
    state.counters["p99_ms"] = percentile (delays, 99.0);
    state.counters["max_ms"] = delays.empty() ? 0.0 : delays.back();
}

BENCHMARK (BM_MessageThreadDuringUpdate)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (10);

const bool summary = bench::setSummary ([] (const bench::Figures& figures)
{
    const auto* f = bench::find (figures, "BM_MessageThreadDuringUpdate");

    if (f == nullptr)
        return;

    std::printf ("Message thread during the window's update (a callAsync every %d ms, %d delays):\n",
                 postIntervalMs, (int) f->counter ("samples"));
    bench::printFigure ("delay, 50th percentile", f->counter ("p50_ms"), "ms");
    bench::printCheck ("delay, 99th percentile", f->counter ("p99_ms"), "ms", true, 20.0);
    bench::printFigure ("delay, largest", f->counter ("max_ms"), "ms");
});
} // namespace
