// The fake device of the session tests: a JwDevice whose transport is the test itself. It
// records what the sessions send and answers as the amplifier's bootloader does, with knobs
// for the faults (a failed send, a wrong reply, a refused block, a late reply). No simulator
// and no MIDI are involved.
#pragma once

#include "Bootloader.h"
#include "JwSysEx.h"
#include "MessageCodec.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace sessiontest
{
using Bytes = std::vector<uint8_t>;

// F0, the name (or any leading bytes), the tail bytes, the more bytes, F7.
inline Bytes named (const std::string& name, const Bytes& tail = {}, const Bytes& more = {})
{
    Bytes m (name.size() + tail.size() + more.size() + 2, 0xF7);
    m[0] = 0xF0;
    auto at = std::copy (name.begin(), name.end(), m.begin() + 1);
    at = std::copy (tail.begin(), tail.end(), at);
    std::copy (more.begin(), more.end(), at);
    return m;
}

// Whether the message is F0, these bytes and more: a name, or a name and its first arguments.
inline bool hasName (const Bytes& m, const std::string& name)
{
    return m.size() > name.size() + 1 && std::equal (name.begin(), name.end(), m.begin() + 1);
}

// The image offset of a "WriteFlash" message: four 7-bit bytes after the name, low first.
inline size_t writeOffset (const Bytes& m)
{
    return m[11] | m[12] << 7 | m[13] << 14 | (size_t) m[14] << 21;
}

inline Bytes pack7 (const Bytes& d)
{
    Bytes o (d.size() * 2);
    o.resize (JwSysEx::SetupMidiDataFromGeneralData (o.data(), d.data(), (unsigned int) d.size()));
    return o;
}

inline Bytes unpack7 (const Bytes& d)
{
    Bytes o (d.size());
    o.resize (jw::unpackSevenBits (o.data(), d.data(), d.size()));
    return o;
}

// A firmware description with every field distinct, as 84 wire bytes; the sector sums print
// negative.
inline Bytes sampleRecord()
{
    tagFirmwareInfo info { { 'E', 'V', 'T', 0 }, { 0, 9, 200, 255 }, { 1, 2, 3, 37 },
                           177214, 0x618D2F40, {} };

    for (uint32_t i = 0; i < 8; ++i)
        info.sectors[i] = { i < 2 ? 4096u : i < 3 ? 16384u : 32768u,
                            0x80000000u + i * 0x01010101u };

    Bytes wire (84);
    bootloader::writeFirmwareInfo (info, wire.data());
    return wire;
}

// Pseudo-random bytes: the same size and seed give the same image.
inline Bytes makeImage (size_t size, uint32_t seed = 12345)
{
    Bytes b (size);

    for (auto& x : b)
    {
        seed = seed * 1664525u + 1013904223u;
        x = (uint8_t) (seed >> 24);
    }

    return b;
}

// A device whose transport is the test: it records every message sent. A responder, if set,
// answers; otherwise the device answers as the bootloader does, at once and each reply after
// the two other reply names, with fault knobs that pick messages by their leading bytes.
class FakeDevice : public JwDevice
{
public:
    bool Open() override { return true; }
    void Close() override {}

    // One delivery at a time, as the transport does it.
    void deliver (const Bytes& m)
    {
        const std::lock_guard<std::mutex> l (deliveryMutex);
        OnReadNext (m.data(), (int) m.size());
    }

    std::vector<Bytes> sent() const
    {
        const std::lock_guard<std::mutex> l (mutex);
        return sent_;
    }

    std::function<int (const Bytes&)> responder;
    Bytes flash;                    // what the accepted blocks wrote
    Bytes record = sampleRecord();  // the firmware description "GetFwInfo" gets
    Bytes statusesSet;              // the argument of each "SetFwStatus", in order
    Bytes badReply;
    int status = 1;                 // what "GetFwStatus" gets
    int refusals = 0;
    // failSend fails; badReplyTo gets badReply instead of its reply (none if empty); the block
    // refuse is refused refusals times; the reply to lateReplyTo comes lateReplyMs later, from
    // another thread.
    std::string failSend = "-";
    std::string badReplyTo = "-";
    std::string refuse = "-";
    std::string lateReplyTo = "-";
    int lateReplyMs = 300;

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        const Bytes m (data, data + len);

        {
            const std::lock_guard<std::mutex> l (mutex);
            sent_.push_back (m);
        }

        if (responder)
            return responder (m);

        if (hasName (m, failSend))
            return -1;

        const auto reply = replyTo (m);

        if (hasName (m, "SetFwStatus"))
            statusesSet.push_back (m[12]);

        for (const char* other : { "RetFwStatus", "RetFwInfo", "RetWriteFlash" })
            if (! reply.empty() && ! hasName (reply, other))
                deliver (named (other, { 1, 1, 1, 1, 1 }));

        if (hasName (m, lateReplyTo) && ! late.valid())
        {
            const auto delay = std::chrono::milliseconds (lateReplyMs);

            late = std::async (std::launch::async, [this, reply, delay]
            {
                std::this_thread::sleep_for (delay);
                deliver (reply);
            });
        }
        else if (! reply.empty())
        {
            deliver (reply);
        }

        return (int) len;
    }

private:
    // The bootloader's reply (empty: none); a "WriteFlash" it answers is written first.
    Bytes replyTo (const Bytes& m)
    {
        if (hasName (m, badReplyTo))
            return badReply;

        if (hasName (m, "GetFwStatus"))
            return named ("RetFwStatus", { (uint8_t) status });

        if (hasName (m, "GetFwInfo"))
            return named ("RetFwInfo", pack7 (record));

        if (hasName (m, "WriteFlash"))
            return named ("RetWriteFlash", { 0, 0, 0, 0, (uint8_t) write (m) });

        return {};
    }

    // Takes a block of the right length and sum unless it is to be refused.
    bool write (const Bytes& m)
    {
        // F0, the name, four offset bytes, the packed block and its sum, F7.
        const auto block = m.size() == 310 ? unpack7 (Bytes (m.begin() + 15, m.end() - 1))
                                           : Bytes();

        if (block.size() != 257)
            return false;

        if ((uint8_t) std::accumulate (block.begin(), block.end() - 1, 0) != block[256])
            return false;

        if (hasName (m, refuse) && refusals-- > 0)
            return false;

        const auto offset = writeOffset (m);
        flash.resize (std::max (flash.size(), offset + 256));
        std::copy (block.begin(), block.end() - 1, flash.begin() + (std::ptrdiff_t) offset);
        return true;
    }

    mutable std::mutex mutex;
    mutable std::mutex deliveryMutex;
    std::vector<Bytes> sent_;
    std::future<void> late;   // last, so that it is waited for first
};
} // namespace sessiontest
