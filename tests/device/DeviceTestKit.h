#pragma once

// Shared by the device tests and the fuzz target: a device without a transport, and the
// byte formats written out again apart from the product's code, as oracles.

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
    static size_t pending (const JwDevice& d) { return d.rx_buffer_ == nullptr ? 0 : d.rx_buffer_->size(); }
    static std::shared_ptr<JwQueue> queueOf (JwDevice& d, int sid) { return d.queueFor (sid); }
    static void setListener (JwDevice& d, JwDeviceListener* l) { d.listener_ = l; }
};

// Records what is sent, in pieces (the one at failingPiece fails), and answers each
// piece with the bytes in answer as if they had been received.
struct TestDevice : public JwDevice
{
    bool Open() override { return true; }
    void Close() override {}
    void setMaxPacketSize (int size) { max_packet_size_ = size; }
    void feed (const Bytes& b, size_t from = 0, size_t to = SIZE_MAX) { OnReadNext (b.data() + from, (int) (std::min (to, b.size()) - from)); }

    std::vector<Bytes> pieces;
    int failingPiece = -1;
    Bytes answer;

    int Internal_Send (const uint8_t* data, size_t len) override
    {
        pieces.emplace_back (data, data + len);
        feed (answer);
        return (int) pieces.size() - 1 == failingPiece ? -1 : (int) len;
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

    int OnMessage (const uint8_t* d, int n) override { return calls.push_back ({ false, Bytes (d, d + n) }), 0; }
    int OnSysExMessage (const uint8_t* d, int n) override { return calls.push_back ({ true, Bytes (d, d + n) }), 0; }
    size_t pending() const { return JwDeviceTestAccess::pending (device); }

    // Takes every message out of every queue, and the listener's calls.
    std::pair<Queues, Calls> drain()
    {
        Queues queues;
        const std::unique_ptr<uint8_t[]> buf (new uint8_t[1 << 17]);
        for (int sid = 0; sid < JwDevice::kNumSessions; ++sid)
            for (int n; (n = device.ReadNext (sid, buf.get(), 1 << 17, -1)) >= 0;)
                queues[sid].emplace_back (buf.get(), buf.get() + n);
        return { queues, std::exchange (calls, {}) };
    }

    TestDevice device;
    Calls calls;
};

inline uint8_t xorSum (const uint8_t* d, size_t n) { return (uint8_t) (std::accumulate (d, d + n, 0, std::bit_xor<>()) & 0x7F); }

// F0 01 sid checksum op1 op2 payload F7.
inline Bytes frame (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& payload = {})
{
    Bytes out { 0xF0, 0x01, sid, xorSum (payload.data(), payload.size()), op1, op2 };
    out.resize (payload.size() + 7, 0xF7);
    std::copy (payload.begin(), payload.end(), out.begin() + 6);
    return out;
}

inline bool isFrame (const Bytes& m) { return m.size() >= 7 && m.front() == 0xF0 && m.back() == 0xF7 && xorSum (m.data() + 6, m.size() - 7) == m[3]; }

inline bool bearsName (const Bytes& m, const std::string& name, size_t after = 1) { return m.size() >= name.size() + after && std::equal (name.begin(), name.end(), m.begin() + 1); }

inline bool isFirmwareReply (const Bytes& m) { return bearsName (m, "RetFwStatus", 2) || bearsName (m, "RetFwInfo", 2) || bearsName (m, "RetWriteFlash", 2); }

// Groups of up to 8 bytes: a header holding bit 7 of the up to 7 bytes after it.
inline Bytes referenceUnpack (const uint8_t* in, size_t len)
{
    Bytes out;
    for (size_t pos = 0; pos < len; pos += 8)
        for (size_t j = 1; j < std::min<size_t> (8, len - pos); ++j)
            out.push_back ((uint8_t) (in[pos + j] | (((in[pos] >> (j - 1)) & 1) << 7)));
    return out;
}
