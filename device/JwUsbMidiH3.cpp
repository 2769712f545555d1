#include "JwUsbMidiH3.h"

#include "JwUsbMidiDeviceFinder.h"
#include "MessageThread.h"

#include <cstring>

JwUsbMidiH3::JwUsbMidiH3 (const char* uuid)
{
    std::memcpy (uuid_, uuid, sizeof (uuid_));
}

JwUsbMidiH3::~JwUsbMidiH3()
{
    Close();
    delete descriptor_;
}

bool JwUsbMidiH3::Open()
{
    std::optional<_H3MidiDeviceDescriptor> found;

    {
        const std::lock_guard<std::recursive_mutex> lock (JwUsbMidiDeviceFinder::desc_mutex_);

        for (const auto& d : JwUsbMidiDeviceFinder::descriptors_)
        {
            if (std::memcmp (d.uuid, uuid_, sizeof (uuid_)) == 0)
            {
                found = d;
                break;
            }
        }
    }

    if (found.has_value())
    {
        delete descriptor_;
        descriptor_ = new _H3MidiDeviceDescriptor (*found);
    }
    else if (descriptor_ == nullptr)
    {
        return false;
    }

    const auto in = descriptor_->input_index;
    const auto out = descriptor_->output_index;
    return jw::callOnMessageThread ([this, in, out] { return OpenMidi (in, out); });
}

bool JwUsbMidiH3::OpenMidi (int in, int out)
{
    if (midi_in_ != nullptr && midi_out_ != nullptr)
        return true;

    midi_in_ = midi::openInput (in, this).release();

    if (midi_in_ == nullptr)
        return false;

    midi_out_ = midi::openOutput (out).release();

    if (midi_out_ == nullptr)
    {
        delete midi_in_;
        midi_in_ = nullptr;
        return false;
    }

    // Started only now, so no message reaches a half-opened pair.
    midi_in_->start();
    return true;
}

void JwUsbMidiH3::Close()
{
    queue_.PushBack (nullptr, 0);

    // Deleting the input waits for a running callback, so nothing from the MIDI thread
    // reaches this device afterwards.
    if (midi_in_ != nullptr)
    {
        delete midi_in_;
        midi_in_ = nullptr;
    }

    if (midi_out_ != nullptr)
    {
        delete midi_out_;
        midi_out_ = nullptr;
    }
}

const uint8_t* JwUsbMidiH3::GetUUID() const
{
    return uuid_;
}

int JwUsbMidiH3::Internal_Send (const uint8_t* data, size_t len)
{
    if (midi_out_ == nullptr)
        return -1;

    if (len == 0)
        return 0;

    const juce::MidiMessage message (data, (int) len, 0.0);
    OnMessageOut (message);
    midi_out_->sendMessageNow (message);
    return (int) len;
}

void JwUsbMidiH3::OnMessageIn (const juce::MidiMessage&) {}
void JwUsbMidiH3::OnMessageOut (const juce::MidiMessage&) {}

void JwUsbMidiH3::handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage& message)
{
    OnMessageIn (message);
    OnReadNext (message.getRawData(), message.getRawDataSize());
}
