#pragma once

#include "MidiPorts.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

/** An amplifier found by the probe: its id and the ports on which it answered. */
struct _H3MidiDeviceDescriptor
{
    uint8_t uuid[8];
    int32_t input_index;    // position in the MIDI input list at probe time
    int32_t output_index;   // position of the output being probed when the reply came
};

/** The 8-byte device id, compared bytewise. */
using DeviceUuid = std::array<uint8_t, 8>;

/** Records valid probe replies on the inputs that a probe opened. */
class DeviceManagerCallback : public midi::InputCallback
{
public:
    ~DeviceManagerCallback() override = default;

    void handleIncomingMidiMessage (midi::Input* source, const juce::MidiMessage& message) override;

    /** Called on the MIDI thread with each new descriptor before it is stored. */
    void (*descriptor_hook_) (_H3MidiDeviceDescriptor*) = nullptr;
};

namespace JwUsbMidiDeviceFinder
{
/** Devices found by the last probe, in the order their replies arrived. Guarded by
    desc_mutex_. */
extern std::vector<_H3MidiDeviceDescriptor> descriptors_;
extern std::recursive_mutex desc_mutex_;

/** The inputs opened by the current or last probe, with their port indices. */
extern std::map<midi::Input*, int> probe_map_;

/** The output being probed; read by the reply handler on the MIDI thread. */
extern std::atomic<int> probe_out_;

/** Serialises probes. A probe holds it while it waits for the message thread, so the
    message thread must never wait for it while a probe runs elsewhere. */
extern std::mutex probe_mutex_;

extern DeviceManagerCallback input_callback_;

/** Opens the inputs whose names contain name or "H3", sends the probe request on every
    matching output, waits a second after each, and keeps the devices that answered and
    whose ports open. Prints what it finds on standard output. */
void ProbeAll (const std::string& name);

/** ProbeAll for callers that must not wait (the message thread): returns nothing, having
    done nothing, when another thread's probe holds the probe lock; otherwise the
    descriptors found, taken before the lock is given up. */
std::optional<std::vector<_H3MidiDeviceDescriptor>> TryProbeAll (const std::string& name);

/** A copy of descriptors_. */
std::vector<_H3MidiDeviceDescriptor> GetDescriptors();

/** True when the port name contains "Tarvo" (or the given name) or "H3", case-sensitive. */
bool NameMatches (const juce::String& portName, const std::string& name);
} // namespace JwUsbMidiDeviceFinder
