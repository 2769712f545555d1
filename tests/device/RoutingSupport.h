#pragma once

#include "JwDeviceTestAccess.h"
#include "TestDevice.h"
#include "TestFrames.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

/** What reached the queues and the listener of a device. */
struct Routed
{
    std::map<int, std::vector<testframes::Bytes>> queues;
    std::vector<std::string> listenerEvents;

    bool operator== (const Routed& other) const
    {
        return queues == other.queues && listenerEvents == other.listenerEvents;
    }
};

inline std::ostream& operator<< (std::ostream& out, const Routed& routed)
{
    for (const auto& [sid, messages] : routed.queues)
        out << "queue " << sid << ": " << messages.size() << " messages; ";

    for (const auto& event : routed.listenerEvents)
        out << event << "; ";

    return out;
}

/** Records listener calls as "message:" or "sysex:" followed by the bytes in hex. */
class RecordingListener : public JwDeviceListener
{
public:
    int OnMessage (const uint8_t* data, int len) override { return record ("message:", data, len); }
    int OnSysExMessage (const uint8_t* data, int len) override { return record ("sysex:", data, len); }

    static std::string hex (const testframes::Bytes& bytes)
    {
        std::string out;

        for (auto b : bytes)
            out += { "0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15] };

        return out;
    }

    std::vector<std::string> events;

private:
    int record (const char* kind, const uint8_t* data, int len)
    {
        events.push_back (kind + hex ({ data, data + len }));
        return 0;
    }
};

/** A device with a recording listener and every session id in use but freeSid. */
struct FullDevice
{
    explicit FullDevice (int freeSid = -1)
    {
        JwDeviceTestAccess::setListener (device, &listener);

        for (int i = 1; i < JwDevice::kNumSessions; ++i)
            device.AllocateSid();

        device.ReleaseSid (freeSid);
    }

    ~FullDevice() { JwDeviceTestAccess::setListener (device, nullptr); }

    void feed (const testframes::Bytes& bytes, size_t from = 0, size_t to = SIZE_MAX)
    {
        device.OnReadNext (bytes.data() + from, (int) (std::min (to, bytes.size()) - from));
    }

    /** Takes every queued message out of every queue. */
    Routed drain()
    {
        Routed result;
        std::vector<uint8_t> buf (70000);

        for (int sid = 0; sid < JwDevice::kNumSessions; ++sid)
            for (int n; (n = device.ReadNext (sid, buf.data(), buf.size(), -1)) >= 0;)
                result.queues[sid].emplace_back (buf.begin(), buf.begin() + n);

        result.listenerEvents = listener.events;
        listener.events.clear();
        return result;
    }

    size_t pending() const { return JwDeviceTestAccess::pendingBytes (device); }

    TestDevice device;
    RecordingListener listener;
};
