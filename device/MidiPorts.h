#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <memory>

/*  The device library reaches MIDI ports only through this small port layer, shaped
    like the index-based juce::MidiInput / juce::MidiOutput calls that it needs.

    Every backend guarantees:
    - a SysEx message is delivered whole, once, on a thread that is not the sender's;
    - deleting an Input returns only when no callback of that port is running, and none
      runs after it; calling stop() from inside the port's own callback is allowed;
    - a backend may be called on any thread and never hops threads on its own (the
      device code itself moves port opening and listing to the message thread).

    The backend is installed once per process, before the first port is used: the
    product installs the JUCE backend, the simulator build and the tests a simulator.
*/
namespace midi
{

class Input;

/** Receives the messages of an open input port, on the MIDI thread. */
class InputCallback
{
public:
    virtual ~InputCallback() = default;
    virtual void handleIncomingMidiMessage (Input* source, const juce::MidiMessage& message) = 0;
};

/** An open input port; deleting it closes the port. */
class Input
{
public:
    virtual ~Input() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

/** An open output port; deleting it closes the port. */
class Output
{
public:
    virtual ~Output() = default;

    /** Sends one message synchronously. */
    virtual void sendMessageNow (const juce::MidiMessage& message) = 0;
};

/** A MIDI service: port lists whose positions are the indices used to open ports. */
class Backend
{
public:
    virtual ~Backend() = default;

    virtual juce::StringArray getInputNames() = 0;
    virtual juce::StringArray getOutputNames() = 0;

    /** Null when the index names no port or the port cannot be opened. */
    virtual std::unique_ptr<Input> openInput (int index, InputCallback* callback) = 0;
    virtual std::unique_ptr<Output> openOutput (int index) = 0;
};

/** Installs the process-wide backend. Call once, before any port is used. */
void installBackend (std::unique_ptr<Backend> backend);

/** The installed backend; the JUCE backend is installed on first use if none was. */
Backend& getBackend();

/** A backend over the platform's MIDI service through JUCE. */
std::unique_ptr<Backend> createJuceBackend();

// Shorthands for the installed backend.
juce::StringArray getInputNames();
juce::StringArray getOutputNames();
std::unique_ptr<Input> openInput (int index, InputCallback* callback);
std::unique_ptr<Output> openOutput (int index);

} // namespace midi
