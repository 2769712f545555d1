#include "JwUsbMidiDeviceFinder.h"

#include "JwUsbMidiH3.h"
#include "MessageCodec.h"
#include "MessageThread.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

namespace JwUsbMidiDeviceFinder
{
std::vector<_H3MidiDeviceDescriptor> descriptors_;
std::recursive_mutex desc_mutex_;
std::map<midi::Input*, int> probe_map_;
std::atomic<int> probe_out_ { 0 };
std::mutex probe_mutex_;
DeviceManagerCallback input_callback_;

namespace
{
// probe_map_ is filled while earlier inputs already deliver: a stray message on one of
// them must not read the map while it grows.
std::mutex probeMapLock;

constexpr uint8_t probeRequest[] = { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 };

// The four steps that must run on the message thread, as plain functions of a pointer.
void ListMidiInputs (juce::StringArray* names)
{
    jw::callOnMessageThread ([names] { *names = midi::getInputNames(); return true; });
}

void ListMidiOutputs (juce::StringArray* names)
{
    jw::callOnMessageThread ([names] { *names = midi::getOutputNames(); return true; });
}

midi::Input* OpenMidiInput (int* index)
{
    midi::Input* port = nullptr;

    jw::callOnMessageThread ([&port, index]
    {
        if (auto input = midi::openInput (*index, &input_callback_))
        {
            input->start();
            std::cout << "Start this MIDI input device" << std::endl;
            port = input.release();
        }

        return port != nullptr;
    });

    return port;
}

midi::Output* OpenMidiOutput (int* index)
{
    midi::Output* port = nullptr;
    jw::callOnMessageThread ([&port, index] { port = midi::openOutput (*index).release(); return port != nullptr; });
    return port;
}

// The probe proper; the caller holds probe_mutex_.
void probeWithLockHeld (const std::string& name)
{
    {
        const std::lock_guard<std::mutex> lock (probeMapLock);
        probe_map_.clear();
    }

    {
        const std::lock_guard<std::recursive_mutex> lock (desc_mutex_);
        descriptors_.clear();
    }

    juce::StringArray inputs;
    ListMidiInputs (&inputs);

    std::vector<std::unique_ptr<midi::Input>> openedInputs;

    for (int i = 0; i < inputs.size(); ++i)
    {
        std::cout << "Found MIDI IN device:" << inputs[i] << std::endl;

        if (! NameMatches (inputs[i], name))
            continue;

        int index = i;

        if (auto* port = OpenMidiInput (&index))
        {
            openedInputs.emplace_back (port);
            const std::lock_guard<std::mutex> lock (probeMapLock);
            probe_map_[port] = i;
        }
    }

    juce::StringArray outputs;
    ListMidiOutputs (&outputs);

    for (int j = 0; j < outputs.size(); ++j)
    {
        std::cout << "Found MIDI OUT device:" << outputs[j] << std::endl;

        if (! NameMatches (outputs[j], name))
            continue;

        int index = j;
        std::unique_ptr<midi::Output> port (OpenMidiOutput (&index));

        if (port == nullptr)
            continue;

        probe_out_ = j;
        std::cout << "This MIDI Out device is available" << std::endl;

        port->sendMessageNow (juce::MidiMessage (probeRequest, (int) sizeof (probeRequest), 0.0));
        std::this_thread::sleep_for (std::chrono::seconds (1));
    }

    // Replies that come after this are lost.
    openedInputs.clear();

    const std::lock_guard<std::recursive_mutex> lock (desc_mutex_);

    // Keep only the devices whose ports really open. Open looks its id up in descriptors_
    // itself, so descriptors that share an id are all tried on the ports of the first.
    for (auto it = descriptors_.begin(); it != descriptors_.end();)
    {
        bool opened = false;

        {
            JwUsbMidiH3 device (reinterpret_cast<const char*> (it->uuid));
            opened = device.Open();
        }

        it = opened ? it + 1 : descriptors_.erase (it);
    }
}
} // namespace

bool NameMatches (const juce::String& portName, const std::string& name)
{
    return portName.contains (juce::String (name)) || portName.contains ("H3");
}

void ProbeAll (const std::string& name)
{
    const std::lock_guard<std::mutex> lock (probe_mutex_);
    probeWithLockHeld (name);
}

std::optional<std::vector<_H3MidiDeviceDescriptor>> TryProbeAll (const std::string& name)
{
    const std::unique_lock<std::mutex> lock (probe_mutex_, std::try_to_lock);

    if (! lock.owns_lock())
        return std::nullopt;

    probeWithLockHeld (name);
    return GetDescriptors();
}

std::vector<_H3MidiDeviceDescriptor> GetDescriptors()
{
    const std::lock_guard<std::recursive_mutex> lock (desc_mutex_);
    return descriptors_;
}
} // namespace JwUsbMidiDeviceFinder

//==============================================================================
void DeviceManagerCallback::handleIncomingMidiMessage (midi::Input* source, const juce::MidiMessage& message)
{
    using namespace JwUsbMidiDeviceFinder;

    const auto* m = message.getRawData();
    const auto n = (size_t) message.getRawDataSize();

    // A full id needs 10 packed payload bytes; shorter replies carry no usable id.
    constexpr size_t minReplySize = 17;

    if (n < minReplySize || ! jw::isValidFrame (m, n) || m[4] != 0x03 || m[5] != 0x12)
        return;

    // Only the first two packed groups matter: they hold the 8 id bytes.
    uint8_t unpacked[14] = {};
    jw::unpackSevenBits (unpacked, m + 6, std::min<size_t> (n - 7, 16));

    _H3MidiDeviceDescriptor descriptor {};
    std::memcpy (descriptor.uuid, unpacked, sizeof (descriptor.uuid));

    {
        const std::lock_guard<std::mutex> lock (probeMapLock);
        const auto it = probe_map_.find (source);

        if (it == probe_map_.end())
            return;

        descriptor.input_index = it->second;
    }

    descriptor.output_index = probe_out_;

    if (descriptor_hook_ != nullptr)
        descriptor_hook_ (&descriptor);

    {
        const std::lock_guard<std::recursive_mutex> lock (desc_mutex_);
        descriptors_.push_back (descriptor);
    }

    source->stop();
}
