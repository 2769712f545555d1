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

// F0, the name (or any leading bytes), the tail bytes, F7.
inline Bytes named (const std::string& name, const Bytes& tail = {}, const Bytes& more = {})
{
    Bytes m (name.size() + tail.size() + more.size() + 2, 0xF7);
    m[0] = 0xF0, std::copy (more.begin(), more.end(), std::copy (tail.begin(), tail.end(), std::copy (name.begin(), name.end(), m.begin() + 1)));
    return m;
}
// Whether the message is F0, these bytes and more: a name, or a name and its first arguments.
inline bool hasName (const Bytes& m, const std::string& name) { return m.size() > name.size() + 1 && std::equal (name.begin(), name.end(), m.begin() + 1); }
inline size_t writeOffset (const Bytes& m) { return m[11] | m[12] << 7 | m[13] << 14 | (size_t) m[14] << 21; }
inline Bytes pack7 (const Bytes& d) { Bytes o (d.size() * 2); o.resize (JwSysEx::SetupMidiDataFromGeneralData (o.data(), d.data(), (unsigned int) d.size())); return o; }
inline Bytes unpack7 (const Bytes& d) { Bytes o (d.size()); o.resize (jw::unpackSevenBits (o.data(), d.data(), d.size())); return o; }

// A firmware description with every field distinct, as 84 wire bytes; the sector sums print negative.
inline Bytes sampleRecord()
{
    tagFirmwareInfo info { { 'E', 'V', 'T', 0 }, { 0, 9, 200, 255 }, { 1, 2, 3, 37 }, 177214, 0x618D2F40, {} };
    for (uint32_t i = 0; i < 8; ++i)
        info.sectors[i] = { i < 2 ? 4096u : i < 3 ? 16384u : 32768u, 0x80000000u + i * 0x01010101u };
    Bytes wire (84);
    bootloader::writeFirmwareInfo (info, wire.data());
    return wire;
}

inline Bytes makeImage (size_t size, uint32_t seed = 12345) { Bytes b (size); for (auto& x : b) x = (uint8_t) ((seed = seed * 1664525u + 1013904223u) >> 24); return b; }

// A device whose transport is the test: it records every message sent. A responder, if set,
// answers; otherwise the device answers as the bootloader does, at once and each reply after
// the two other reply names, with fault knobs that pick messages by their leading bytes.
class FakeDevice : public JwDevice
{
public:
    bool Open() override { return true; }
    void Close() override {}

    // One delivery at a time, as the transport does it.
    void deliver (const Bytes& m) { const std::lock_guard<std::mutex> l (deliveryMutex); OnReadNext (m.data(), (int) m.size()); }
    std::vector<Bytes> sent() const { const std::lock_guard<std::mutex> l (mutex); return sent_; }

    std::function<int (const Bytes&)> responder;
    Bytes flash, record = sampleRecord(), statusesSet, badReply;
    int status = 1, refusals = 0;
    // failSend fails; badReplyTo gets badReply instead of its reply (none if empty); the block
    // refuse is refused refusals times; the reply to lateReplyTo comes 300 ms later, from another thread.
    std::string failSend = "-", badReplyTo = "-", refuse = "-", lateReplyTo = "-";

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        const Bytes m (data, data + len);
        { const std::lock_guard<std::mutex> l (mutex); sent_.push_back (m); }
        if (responder || hasName (m, failSend))
            return responder ? responder (m) : -1;
        const auto reply = hasName (m, badReplyTo) ? badReply
                         : hasName (m, "GetFwStatus") ? named ("RetFwStatus", { (uint8_t) status })
                         : hasName (m, "GetFwInfo") ? named ("RetFwInfo", pack7 (record))
                         : hasName (m, "WriteFlash") ? named ("RetWriteFlash", { 0, 0, 0, 0, (uint8_t) write (m) }) : Bytes();
        if (hasName (m, "SetFwStatus"))
            statusesSet.push_back (m[12]);
        for (const char* other : { "RetFwStatus", "RetFwInfo", "RetWriteFlash" })
            if (! reply.empty() && ! hasName (reply, other))
                deliver (named (other, { 1, 1, 1, 1, 1 }));
        if (hasName (m, lateReplyTo) && ! late.valid())
            late = std::async (std::launch::async, [this, reply] { std::this_thread::sleep_for (std::chrono::milliseconds (300)); deliver (reply); });
        else if (! reply.empty())
            deliver (reply);
        return (int) len;
    }

private:
    bool write (const Bytes& m)
    {
        const auto block = m.size() == 310 ? unpack7 (Bytes (m.begin() + 15, m.end() - 1)) : Bytes();
        if (block.size() != 257 || (uint8_t) std::accumulate (block.begin(), block.end() - 1, 0) != block[256] || (hasName (m, refuse) && refusals-- > 0))
            return false;
        flash.resize (std::max (flash.size(), writeOffset (m) + 256));
        std::copy (block.begin(), block.end() - 1, flash.begin() + (std::ptrdiff_t) writeOffset (m));
        return true;
    }

    mutable std::mutex mutex, deliveryMutex;
    std::vector<Bytes> sent_;
    std::future<void> late;   // last, so that it is waited for first
};
} // namespace sessiontest
