#pragma once

// Shared by the device tests and the fuzz target: a fake device without a transport (it
// records what is sent and can answer it), and the byte formats written out again apart from
// the product's code, as oracles.

#include "JwDevice.h"
#include "JwSysEx.h"
#include "MessageCodec.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Queues = std::map<int, std::vector<Bytes>>;
using Calls = std::vector<std::pair<bool, Bytes>>;   // true: OnSysExMessage

// Reaches the device's private state (the product declares it a friend).
struct JwDeviceTestAccess
{
    static size_t pending (const JwDevice& d)
    {
        if (d.rx_buffer_ == nullptr)
            return 0;

        return d.rx_buffer_->size();
    }

    static std::shared_ptr<JwQueue> queueOf (JwDevice& d, int sid)
    {
        return d.queueFor (sid);
    }

    static void setListener (JwDevice& d, JwDeviceListener* l)
    {
        d.listener_ = l;
    }
};

// Records what is sent, in pieces (the one at failingPiece fails), and answers each
// piece with the bytes in answer as if they had been received.
struct TestDevice : public JwDevice
{
    bool Open() override { return true; }
    void Close() override {}

    void setMaxPacketSize (int size)
    {
        max_packet_size_ = size;
    }

    // Feeds b[from, to) as received bytes; to is clamped to the end of b.
    void feed (const Bytes& b, size_t from = 0, size_t to = SIZE_MAX)
    {
        const auto end = std::min (to, b.size());
        OnReadNext (b.data() + from, (int) (end - from));
    }

    std::vector<Bytes> pieces;
    int failingPiece = -1;
    Bytes answer;

    int Internal_Send (const uint8_t* data, size_t len) override
    {
        pieces.emplace_back (data, data + len);
        feed (answer);

        if ((int) pieces.size() - 1 == failingPiece)
            return -1;

        return (int) len;
    }
};

// A device with a recording listener and every session id in use but freeSid.
struct FullDevice : public JwDeviceListener
{
    explicit FullDevice (int freeSid = -1)
    {
        JwDeviceTestAccess::setListener (device, this);

        for (int i = 1; i < JwDevice::kNumSessions; ++i)
            device.AllocateSid();

        device.ReleaseSid (freeSid);
    }

    int OnMessage (const uint8_t* d, int n) override
    {
        calls.push_back ({ false, Bytes (d, d + n) });
        return 0;
    }

    int OnSysExMessage (const uint8_t* d, int n) override
    {
        calls.push_back ({ true, Bytes (d, d + n) });
        return 0;
    }

    size_t pending() const
    {
        return JwDeviceTestAccess::pending (device);
    }

    // Takes every message out of every queue, and the listener's calls.
    std::pair<Queues, Calls> drain()
    {
        constexpr size_t room = 1 << 17;
        Queues queues;
        const std::unique_ptr<uint8_t[]> buf (new uint8_t[room]);

        for (int sid = 0; sid < JwDevice::kNumSessions; ++sid)
        {
            for (int n; (n = device.ReadNext (sid, buf.get(), room, -1)) >= 0;)
                queues[sid].emplace_back (buf.get(), buf.get() + n);
        }

        return { queues, std::exchange (calls, {}) };
    }

    TestDevice device;
    Calls calls;
};

inline uint8_t xorSum (const uint8_t* d, size_t n)
{
    const auto sum = std::accumulate (d, d + n, 0, std::bit_xor<>());
    return (uint8_t) (sum & 0x7F);
}

// F0 01 sid checksum op1 op2 payload F7.
inline Bytes frame (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& payload = {})
{
    Bytes out { 0xF0, 0x01, sid, xorSum (payload.data(), payload.size()), op1, op2 };
    out.resize (payload.size() + 7, 0xF7);
    std::copy (payload.begin(), payload.end(), out.begin() + 6);
    return out;
}

inline bool isFrame (const Bytes& m)
{
    if (m.size() < 7)
        return false;

    if (m.front() != 0xF0)
        return false;

    if (m.back() != 0xF7)
        return false;

    return xorSum (m.data() + 6, m.size() - 7) == m[3];
}

// The name follows the start byte, and at least after - 1 more bytes follow it.
inline bool bearsName (const Bytes& m, const std::string& name, size_t after = 1)
{
    if (m.size() < name.size() + after)
        return false;

    return std::equal (name.begin(), name.end(), m.begin() + 1);
}

inline bool isFirmwareReply (const Bytes& m)
{
    return bearsName (m, "RetFwStatus", 2)
        || bearsName (m, "RetFwInfo", 2)
        || bearsName (m, "RetWriteFlash", 2);
}

// Groups of up to 8 bytes: a header holding bit 7 of the up to 7 bytes after it.
inline Bytes referenceUnpack (const uint8_t* in, size_t len)
{
    Bytes out;

    for (size_t pos = 0; pos < len; pos += 8)
    {
        const auto groupSize = std::min<size_t> (8, len - pos);

        for (size_t j = 1; j < groupSize; ++j)
        {
            const auto topBit = ((in[pos] >> (j - 1)) & 1) << 7;
            out.push_back ((uint8_t) (in[pos + j] | topBit));
        }
    }

    return out;
}
