#pragma once

#include "JwDevice.h"
#include "MidiPorts.h"

struct _H3MidiDeviceDescriptor;

/** A device over one MIDI input and one MIDI output port, identified by the 8-byte id
    that the probe found. Ports are opened on the message thread. */
class JwUsbMidiH3 : public JwDevice,
                    public midi::InputCallback
{
public:
    /** uuid must address 8 readable bytes. Opens nothing. */
    explicit JwUsbMidiH3 (const char* uuid);
    ~JwUsbMidiH3() override;

    /** Opens the ports that the last probe found for this id, or those of the last
        successful lookup. True when both ports are open afterwards. */
    bool Open() override;

    /** Closes both ports; allowed on a closed device. */
    void Close() override;

    const uint8_t* GetUUID() const override;

    virtual void OnMessageIn (const juce::MidiMessage& message);
    virtual void OnMessageOut (const juce::MidiMessage& message);

    void handleIncomingMidiMessage (midi::Input* source, const juce::MidiMessage& message) override;

    /** Opens the port pair; runs on the message thread. */
    bool OpenMidi (int in, int out);

protected:
    int Internal_Send (const uint8_t* data, size_t len) override;

private:
    uint8_t uuid_[8];
    midi::Input* midi_in_ = nullptr;
    midi::Output* midi_out_ = nullptr;
    JwQueue queue_;
    _H3MidiDeviceDescriptor* descriptor_ = nullptr;
};
