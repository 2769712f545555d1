#pragma once

#include "VirtualMidiService.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

/** A device on the virtual MIDI service that answers each probe request with replies a
    test chooses, byte for byte, so that malformed replies can be sent on purpose. */
class ScriptedDevice final : public sim::VirtualMidiService::Device
{
public:
    using Bytes = std::vector<uint8_t>;

    struct Reply
    {
        Bytes bytes;
        int delayMs = 0;
    };

    ScriptedDevice (sim::VirtualMidiService& s, const juce::String& name, std::vector<Reply> replies,
                    sim::VirtualMidiService::Positions where = {},
                    sim::VirtualMidiService::Directions directions = sim::VirtualMidiService::Directions::both)
        : service (s), probeReplies (std::move (replies))
    {
        id = service.plug (name, this, where, directions);
    }

    ~ScriptedDevice() override { service.detach (id); }

    void messageFromHost (const Bytes& message) override
    {
        {
            const std::lock_guard<std::mutex> lock (mutex);
            received.push_back (message);
        }

        if (message.size() == 7 && message[4] == 0x02 && message[5] == 0x12)
        {
            ++probes;

            for (const auto& reply : probeReplies)
            {
                if (reply.delayMs == 0)
                    service.sendToHost (id, reply.bytes);
                else
                    service.callLater (id, reply.delayMs, [this, bytes = reply.bytes] { service.sendToHost (id, bytes); });
            }
        }
    }

    std::vector<Bytes> getReceived() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return received;
    }

    sim::VirtualMidiService& service;
    sim::VirtualMidiService::DeviceId id {};
    const std::vector<Reply> probeReplies;
    std::atomic<int> probes { 0 };

private:
    mutable std::mutex mutex;
    std::vector<Bytes> received;
};

/** A probe reply frame carrying the given payload bytes packed seven bits to the byte. */
inline std::vector<uint8_t> probeReply (const std::vector<uint8_t>& id, uint8_t op1 = 0x03, uint8_t op2 = 0x12)
{
    std::vector<uint8_t> packed;

    for (size_t pos = 0; pos < id.size(); pos += 7)
    {
        uint8_t header = 0;
        std::vector<uint8_t> group;

        for (size_t i = pos; i < std::min (id.size(), pos + 7); ++i)
        {
            header = (uint8_t) (header | ((id[i] >> 7) << (i - pos)));
            group.push_back ((uint8_t) (id[i] & 0x7F));
        }

        packed.push_back (header);
        packed.insert (packed.end(), group.begin(), group.end());
    }

    uint8_t checksum = 0;
    for (auto b : packed)
        checksum ^= b;

    std::vector<uint8_t> frame { 0xF0, 0x01, 0x00, (uint8_t) (checksum & 0x7F), op1, op2 };
    frame.insert (frame.end(), packed.begin(), packed.end());
    frame.push_back (0xF7);
    return frame;
}
