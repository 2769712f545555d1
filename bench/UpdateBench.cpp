#include "BenchSupport.h"

#include "BinaryData.h"
#include "Bootloader.h"
#include "EmulatedAmplifier.h"
#include "FirmwareUpdateSession.h"
#include "JwUsbMidiDeviceFinder.h"
#include "JwUsbMidiH3.h"
#include "SimulatorInstall.h"

#include <condition_variable>
#include <memory>
#include <mutex>

/*  What one update costs the host, beside the least that its traffic can cost.

    Update: FirmwareUpdateSession::Perform of the embedded image (708,859 bytes, 2,769
    blocks) on a JwUsbMidiH3 opened on the emulated amplifier, which replies at once; the
    two reconnects close the device, wait until the amplifier is back and open it again,
    without sleeping.

    Floor: the same number of 310-byte sends, each waiting for a 20-byte reply, through the
    same virtual MIDI service with a responder that answers every message with a fixed
    reply, and no device code at all.

    Each iteration runs the floor and then the update; the fastest of three repetitions of
    ten counts. Both report blocks per second and the CPU time per block of the whole
    process (the delivery thread and the amplifier included); the update also reports the
    CPU time of the thread that runs Perform.
*/
namespace
{
constexpr int imageSize = BinaryData::temp_binary_data_2Size;
constexpr int numBlocks = (imageSize + (int) bootloader::flashBlockSize - 1) / (int) bootloader::flashBlockSize;
constexpr size_t floorRequestSize = bootloader::writeFlashSize;
constexpr size_t floorReplySize = 20;

//==============================================================================
/** Answers every message with one fixed 20-byte reply. */
class Responder final : public sim::VirtualMidiService::Device
{
public:
    explicit Responder (sim::VirtualMidiService& s) : service (s)
    {
        reply.assign (floorReplySize, 0x00);
        reply.front() = 0xF0;
        reply.back() = 0xF7;
        reply[18] = 0x01;
        id = service.plug ("Bench Responder", this);
    }

    ~Responder() override { service.detach (id); }

    void messageFromHost (const std::vector<uint8_t>&) override
    {
        service.sendToHost (id, reply);
    }

    sim::VirtualMidiService& service;
    sim::VirtualMidiService::DeviceId id = 0;
    std::vector<uint8_t> reply;
};

/** The host side of the floor: counts replies and wakes the waiting sender. */
class ReplyWaiter final : public midi::InputCallback
{
public:
    void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> l (lock);
        lastSize = message.getRawDataSize();
        ++replies;
        arrived.notify_one();
    }

    int64_t count()
    {
        const std::lock_guard<std::mutex> l (lock);
        return replies;
    }

    bool waitFor (int64_t count)
    {
        std::unique_lock<std::mutex> l (lock);
        return arrived.wait_for (l, std::chrono::seconds (3), [&] { return replies >= count; });
    }

    std::mutex lock;
    std::condition_variable arrived;
    int64_t replies = 0;
    int lastSize = 0;
};

//==============================================================================
struct Rig
{
    Rig()
    {
        sim::EmulatedAmplifier::Config config;
        config.restartTimeMs = 0;   // the amplifier is back at once: only the host's cost is left
        amplifier = std::make_unique<sim::EmulatedAmplifier> (service, config);

        {
            const bench::QuietStdout quiet;
            JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
        }

        device = std::make_unique<JwUsbMidiH3> (reinterpret_cast<const char*> (config.deviceId.data()));
        deviceOpen = device->Open();

        responder = std::make_unique<Responder> (service);
        const auto in = midi::getInputNames().indexOf ("Bench Responder");
        const auto out = midi::getOutputNames().indexOf ("Bench Responder");
        floorInput = midi::openInput (in, &waiter);
        floorOutput = midi::openOutput (out);

        if (floorInput != nullptr)
            floorInput->start();
    }

    ~Rig()
    {
        floorInput.reset();
        floorOutput.reset();
        responder.reset();

        if (device != nullptr)
            device->Close();

        device.reset();
        amplifier.reset();
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    std::unique_ptr<sim::EmulatedAmplifier> amplifier;
    std::unique_ptr<JwUsbMidiH3> device;
    bool deviceOpen = false;

    std::unique_ptr<Responder> responder;
    ReplyWaiter waiter;
    std::unique_ptr<midi::Input> floorInput;
    std::unique_ptr<midi::Output> floorOutput;
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

/** Close, let the amplifier restart (the service is idle once it is back), open again. */
bool reopenWithoutSleeping (JwDevice* device, FirmwareUpdateSession*, void* user)
{
    auto& r = *static_cast<Rig*> (user);
    const auto restartsBefore = r.amplifier->getNumRestarts();

    device->Close();

    if (! r.service.waitUntilIdle (10000) || r.amplifier->getNumRestarts() == restartsBefore)
        return false;

    return r.amplifier->waitUntilPlugged (true, 10000) && device->Open();
}

//==============================================================================
/** One whole update; false when it failed. */
bool runUpdate (Rig& r)
{
    FirmwareUpdateSession session;
    session.fw_data_ = BinaryData::temp_binary_data_2;
    session.fw_size_ = imageSize;
    session.status_reset_cb_ = reopenWithoutSleeping;
    session.finish_cb_ = reopenWithoutSleeping;
    session.cb_user_data_ = &r;
    return session.Perform (r.device.get());
}

/** numBlocks sends of 310 bytes, each waiting for its reply; false when one was missing. */
bool runFloor (Rig& r, int64_t& expectedReplies)
{
    uint8_t request[floorRequestSize] {};
    request[0] = 0xF0;
    request[floorRequestSize - 1] = 0xF7;

    for (int block = 0; block < numBlocks; ++block)
    {
        r.floorOutput->sendMessageNow (juce::MidiMessage (request, (int) floorRequestSize));

        if (! r.waiter.waitFor (++expectedReplies))
            return false;
    }

    const std::lock_guard<std::mutex> l (r.waiter.lock);
    return r.waiter.lastSize == (int) floorReplySize;
}

struct Totals
{
    double wall = 0.0, processCpu = 0.0, threadCpu = 0.0;
};

/** Runs fn and adds its wall time and CPU times to totals. */
template <typename Fn>
bool measure (Totals& totals, Fn&& fn)
{
    const auto wallBefore = std::chrono::steady_clock::now();
    const auto processBefore = bench::processCpuSeconds();
    const auto threadBefore = bench::threadCpuSeconds();
    const auto ok = fn();
    totals.threadCpu += bench::threadCpuSeconds() - threadBefore;
    totals.processCpu += bench::processCpuSeconds() - processBefore;
    totals.wall += std::chrono::duration<double> (std::chrono::steady_clock::now() - wallBefore).count();
    return ok;
}

/** Each iteration runs the floor and then the update, so that both see the same machine
    (a loaded machine slows a ping-pong between threads by the same factor for both). */
void BM_UpdateAgainstFloor (benchmark::State& state)
{
    auto& r = getRig();

    if (! r.deviceOpen || r.floorInput == nullptr || r.floorOutput == nullptr)
    {
        state.SkipWithError ("the emulated amplifier or the responder could not be opened");
        return;
    }

    Totals update, floor;
    auto expectedReplies = r.waiter.count();
    const bench::QuietStdout quiet;

    for (auto _ : state)
    {
        if (! measure (floor, [&] { return runFloor (r, expectedReplies); }))
        {
            state.SkipWithError ("the responder did not answer");
            return;
        }

        if (! measure (update, [&] { return runUpdate (r); }))
        {
            state.SkipWithError ("the update failed");
            return;
        }
    }

    const auto perBlock = 1.0 / ((double) state.iterations() * numBlocks);
    state.counters["update_blocks_per_s"] = 1.0 / (update.wall * perBlock);
    state.counters["floor_blocks_per_s"] = 1.0 / (floor.wall * perBlock);
    state.counters["update_floor_ratio"] = update.wall / floor.wall;
    state.counters["update_cpu_us_per_block"] = update.processCpu * perBlock * 1.0e6;
    state.counters["update_thread_cpu_us_per_block"] = update.threadCpu * perBlock * 1.0e6;
    state.counters["floor_cpu_us_per_block"] = floor.processCpu * perBlock * 1.0e6;
}

BENCHMARK (BM_UpdateAgainstFloor)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (10)->Repetitions (3);

const bool summary = bench::setSummary ([] (const bench::Figures& figures)
{
    const auto* f = bench::find (figures, "BM_UpdateAgainstFloor");

    if (f == nullptr)
        return;

    std::printf ("Update of the %d-byte image (%d blocks) against the floor, interleaved:\n", imageSize, numBlocks);
    bench::printFigure ("update: blocks per second", f->counter ("update_blocks_per_s"), "blocks/s");
    bench::printFigure ("update: whole update", numBlocks / f->counter ("update_blocks_per_s") * 1.0e3, "ms");
    bench::printFigure ("update: process CPU per block", f->counter ("update_cpu_us_per_block"), "us");
    bench::printFigure ("update: CPU of the thread running Perform, per block",
                        f->counter ("update_thread_cpu_us_per_block"), "us");
    bench::printFigure ("floor: blocks per second", f->counter ("floor_blocks_per_s"), "blocks/s");
    bench::printFigure ("floor: process CPU per block", f->counter ("floor_cpu_us_per_block"), "us");
    bench::printCheck ("time per block, update / floor", f->counter ("update_floor_ratio"), "", true, 1.3);
});
} // namespace
