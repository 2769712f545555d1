#pragma once

#include "JwDeviceTestAccess.h"
#include "TestDevice.h"
#include "TestFrames.h"

#include <map>
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

/** Records listener calls as "message:" or "sysex:" followed by the bytes in hex. */
class RecordingListener : public JwDeviceListener
{
public:
    int OnMessage (const uint8_t* data, int len) override
    {
        events.push_back ("message:" + hex (data, len));
        return 0;
    }

    int OnSysExMessage (const uint8_t* data, int len) override
    {
        events.push_back ("sysex:" + hex (data, len));
        return 0;
    }

    static std::string hex (const uint8_t* data, int len)
    {
        static const char digits[] = "0123456789ABCDEF";
        std::string out;

        for (int i = 0; i < len; ++i)
        {
            out += digits[data[i] >> 4];
            out += digits[data[i] & 15];
        }

        return out;
    }

    static std::string hex (const testframes::Bytes& bytes)
    {
        return hex (bytes.data(), (int) bytes.size());
    }

    std::vector<std::string> events;
};

/** A device with every session id in use and a recording listener. */
struct FullDevice
{
    FullDevice()
    {
        JwDeviceTestAccess::setListener (device, &listener);

        for (int i = 1; i < JwDevice::kNumSessions; ++i)
            device.AllocateSid();
    }

    ~FullDevice() { JwDeviceTestAccess::setListener (device, nullptr); }

    void feed (const testframes::Bytes& bytes)
    {
        device.OnReadNext (bytes.data(), (int) bytes.size());
    }

    void feed (const testframes::Bytes& bytes, size_t from, size_t to)
    {
        device.OnReadNext (bytes.data() + from, (int) (to - from));
    }

    /** Takes every queued message out of every queue. */
    Routed drain()
    {
        Routed result;
        std::vector<uint8_t> buf (70000);

        for (int sid = 0; sid < JwDevice::kNumSessions; ++sid)
        {
            for (;;)
            {
                const auto n = device.ReadNext (sid, buf.data(), buf.size(), -1);

                if (n < 0)
                    break;

                result.queues[sid].emplace_back (buf.begin(), buf.begin() + n);
            }
        }

        result.listenerEvents = listener.events;
        listener.events.clear();
        return result;
    }

    size_t pending() const { return JwDeviceTestAccess::pendingBytes (device); }

    TestDevice device;
    RecordingListener listener;
};
