#pragma once

#include "AmplifierWire.h"
#include "EmulatedAmplifier.h"
#include "MidiPorts.h"
#include "SimulatorInstall.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simtest
{

using Bytes = std::vector<uint8_t>;

constexpr int hangGuardMs = 10000;   // only against hangs, never a timing check

inline juce::MidiMessage toMidi (const Bytes& b)
{
    return juce::MidiMessage (b.data(), static_cast<int> (b.size()));
}

inline Bytes named (const std::string& name, Bytes data = {})
{
    Bytes out (name.size() + data.size() + 2, 0xf0);
    std::copy (name.begin(), name.end(), out.begin() + 1);
    std::copy (data.begin(), data.end(), out.begin() + 1 + static_cast<long> (name.size()));
    out.back() = 0xf7;
    return out;
}

/** A framed request without payload (checksum 0) on session sid. */
inline Bytes request (uint8_t sid, uint8_t operation)
{
    return { 0xf0, 0x01, sid, 0x00, 0x02, operation, 0xf7 };
}

const Bytes probe { 0xf0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xf7 };
const Bytes probeReply { 0xf0, 0x01, 0x00, 0x30, 0x03, 0x12,
                         0x00, 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x00, 0x31, 0xf7 };

inline Bytes retWriteFlash (uint8_t status) { return named ("RetWriteFlash", { 0, 0, 0, 0, status }); }

/** Collects what arrives on a host input, with the threads it came on. */
class Collector final : public midi::InputCallback
{
public:
    void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> l (lock);
        messages.emplace_back (message.getRawData(), message.getRawData() + message.getRawDataSize());
        callsOnCreatingThread += std::this_thread::get_id() == creatingThread ? 1 : 0;
        changed.notify_all();
    }

    bool waitFor (size_t n, int timeoutMs = hangGuardMs)
    {
        std::unique_lock<std::mutex> l (lock);
        return changed.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return messages.size() >= n; });
    }

    std::vector<Bytes> get() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return messages;
    }

    const std::thread::id creatingThread = std::this_thread::get_id();
    std::atomic<int> callsOnCreatingThread { 0 };

private:
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<Bytes> messages;
};

/** The host's side of one port pair, opened by name through the installed port layer. */
struct HostPorts
{
    explicit HostPorts (const juce::String& name)
    {
        input = midi::openInput (midi::getInputNames().indexOf (name), &collector);
        output = midi::openOutput (midi::getOutputNames().indexOf (name));

        if (input != nullptr)
            input->start();
    }

    bool isOpen() const { return input != nullptr && output != nullptr; }
    void send (const Bytes& b) { output->sendMessageNow (toMidi (b)); }
    bool receivedNothing() const { return collector.get().empty(); }

    /** Sends and waits for the number of replies to reach n. */
    std::vector<Bytes> exchange (const Bytes& message, size_t n = 1)
    {
        const auto before = collector.get().size();
        send (message);
        EXPECT_TRUE (collector.waitFor (before + n));
        auto all = collector.get();
        return std::vector<Bytes> (all.begin() + static_cast<long> (before), all.end());
    }

    void close()
    {
        input.reset();
        output.reset();
    }

    Collector collector;
    std::unique_ptr<midi::Input> input;
    std::unique_ptr<midi::Output> output;
};

/** The packed payload of a RetFwInfo reply, unpacked. */
inline Bytes firmwareInfoOf (const Bytes& reply)
{
    return reply.size() < 11 ? Bytes() : sim::wire::unpack (reply.data() + 10, reply.size() - 11);
}

/** The 310-byte WriteFlash command for the block of image at offset. */
inline Bytes writeFlash (const Bytes& image, uint32_t offset, int sumError = 0)
{
    Bytes block (257, 0);
    uint8_t sum = 0;

    for (size_t i = 0; i < 256 && offset + i < image.size(); ++i)
        sum = static_cast<uint8_t> (sum + (block[i] = image[offset + i]));

    block[256] = static_cast<uint8_t> (sum + sumError);
    Bytes data;

    for (int i = 0; i < 4; ++i)
        data.push_back (static_cast<uint8_t> ((offset >> (7 * i)) & 0x7f));

    for (auto b : sim::wire::pack (block))
        data.push_back (b);

    return named ("WriteFlash", data);
}

/** An image of size bytes: a pattern, with bit 7 set in many bytes, that the seed varies. */
inline Bytes firmwareImage (size_t size, uint8_t seed = 1)
{
    Bytes image (size);

    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t> ((i * 31 + seed * 7 + (i >> 8)) & 0xff);

    return image;
}

/** The 84 bytes at 0x400 that GetFwInfo reports, zero beyond the end of the flash. */
inline Bytes recordIn (const Bytes& flash)
{
    Bytes record (84, 0);

    for (size_t i = 0; i < record.size() && 0x400 + i < flash.size(); ++i)
        record[i] = flash[0x400 + i];

    return record;
}

/** A fresh simulator (one per test process). */
struct SimulatorFixture : public testing::Test
{
    sim::VirtualMidiService& service = sim::installSimulator();

    static sim::EmulatedAmplifier::Config bootloaderConfig (Bytes flash = {})
    {
        sim::EmulatedAmplifier::Config c;
        c.bootloaderMode = true;
        c.firmwareStatus = 0;
        c.flash = std::move (flash);
        return c;
    }
};

} // namespace simtest
