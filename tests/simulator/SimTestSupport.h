#pragma once

#include "EmulatedAmplifier.h"
#include "MidiPorts.h"
#include "SimulatorInstall.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
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

inline Bytes toBytes (const juce::MidiMessage& m)
{
    return Bytes (m.getRawData(), m.getRawData() + m.getRawDataSize());
}

inline Bytes named (const std::string& name, Bytes data = {})
{
    Bytes out (name.size() + data.size() + 2, 0xf0);
    std::copy (name.begin(), name.end(), out.begin() + 1);
    std::copy (data.begin(), data.end(), out.begin() + 1 + static_cast<long> (name.size()));
    out.back() = 0xf7;
    return out;
}

/** Collects what arrives on a host input, with the threads it came on. */
class Collector final : public midi::InputCallback
{
public:
    void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& message) override
    {
        const std::lock_guard<std::mutex> l (lock);
        messages.push_back (toBytes (message));
        threads.push_back (std::this_thread::get_id());
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

    std::vector<std::thread::id> getThreads() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return threads;
    }

private:
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<Bytes> messages;
    std::vector<std::thread::id> threads;
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

    /** Sends and waits for the number of replies to reach n. */
    std::vector<Bytes> exchange (const Bytes& request, size_t n = 1)
    {
        const auto before = collector.get().size();
        send (request);
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

// A second, plain packing written for the tests alone.
inline Bytes pack7 (const Bytes& in)
{
    Bytes out;

    for (size_t g = 0; g < in.size(); g += 7)
    {
        uint8_t header = 0;
        Bytes body;

        for (size_t i = g; i < in.size() && i < g + 7; ++i)
        {
            header = static_cast<uint8_t> (header | ((in[i] >> 7) << (i - g)));
            body.push_back (in[i] & 0x7f);
        }

        out.push_back (header);
        out.insert (out.end(), body.begin(), body.end());
    }

    return out;
}

inline Bytes unpack7 (const Bytes& in)
{
    Bytes out;

    for (size_t g = 0; g + 1 < in.size(); g += 8)
        for (size_t i = 1; i < 8 && g + i < in.size(); ++i)
            out.push_back (static_cast<uint8_t> (in[g + i] | (((in[g] >> (i - 1)) & 1) << 7)));

    return out;
}

/** The 310-byte WriteFlash command for the block of image at offset. */
inline Bytes writeFlash (const Bytes& image, uint32_t offset, int sumError = 0)
{
    Bytes block (257, 0);
    uint8_t sum = 0;

    for (size_t i = 0; i < 256 && offset + i < image.size(); ++i)
    {
        block[i] = image[offset + i];
        sum = static_cast<uint8_t> (sum + block[i]);
    }

    block[256] = static_cast<uint8_t> (sum + sumError);
    Bytes data;

    for (int i = 0; i < 4; ++i)
        data.push_back (static_cast<uint8_t> ((offset >> (7 * i)) & 0x7f));

    for (auto b : pack7 (block))
        data.push_back (b);

    return named ("WriteFlash", data);
}

inline void putLe32 (Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t> (i)] = static_cast<uint8_t> (v >> (8 * i));
}

/** 84-byte firmware description: name, bootloader and firmware versions, length, checksum,
    eight (len, checksum) sectors; little-endian. */
inline Bytes firmwareRecord (const char name[4], std::array<uint8_t, 4> bootloader, std::array<uint8_t, 4> version,
                             uint32_t lengthWords, uint32_t checksum)
{
    Bytes r (84, 0);
    std::memcpy (r.data(), name, 4);
    std::copy (bootloader.begin(), bootloader.end(), r.begin() + 4);
    std::copy (version.begin(), version.end(), r.begin() + 8);
    putLe32 (r, 12, lengthWords);
    putLe32 (r, 16, checksum);

    for (size_t s = 0; s < 8; ++s)
    {
        putLe32 (r, 20 + 8 * s, 1024u << s);
        putLe32 (r, 24 + 8 * s, 0x80000000u + static_cast<uint32_t> (s));
    }

    return r;
}

/** An image of size bytes: a byte pattern with the record at 0x400 (when it fits). */
inline Bytes firmwareImage (size_t size, const Bytes& record, uint8_t seed = 1)
{
    Bytes image (size);

    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t> ((i * 31 + seed * 7 + (i >> 8)) & 0xff);

    for (size_t i = 0; i < record.size() && 0x400 + i < size; ++i)
        image[0x400 + i] = record[i];

    return image;
}

inline Bytes defaultRecord()
{
    return firmwareRecord ("T40\0", { 0, 1, 0, 2 }, { 1, 2, 3, 37 }, 1000, 0x618d2f40);
}

/** A fresh simulator (one per test process) with an amplifier plugged in. */
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
