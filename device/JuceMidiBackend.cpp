#include "MidiPorts.h"

#include <juce_audio_devices/juce_audio_devices.h>

#if TARVO_HAVE_ALSA
 #include <alsa/asoundlib.h>
#endif

namespace midi
{

namespace
{
#if TARVO_HAVE_ALSA
// Without a MIDI service ALSA's library prints an error on stderr for every attempt to
// reach the sequencer; an empty port list already says everything the user needs.
void silentAlsaErrorHandler (const char*, int, const char*, int, const char*, ...) {}
#endif

class JuceInput final : public Input,
                        private juce::MidiInputCallback
{
public:
    JuceInput (int index, InputCallback* callbackToUse)
        : callback (callbackToUse)
    {
        JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
        port = juce::MidiInput::openDevice (index, this);
        JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    }

    // juce::MidiInput's destructor waits for a running callback and stops the port.
    ~JuceInput() override { port.reset(); }

    bool isOpen() const noexcept { return port != nullptr; }

    void start() override { port->start(); }
    void stop() override  { port->stop(); }

private:
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
    {
        callback->handleIncomingMidiMessage (this, message);
    }

    InputCallback* callback;
    std::unique_ptr<juce::MidiInput> port;
};

class JuceOutput final : public Output
{
public:
    explicit JuceOutput (std::unique_ptr<juce::MidiOutput> p) : port (std::move (p)) {}

    void sendMessageNow (const juce::MidiMessage& message) override { port->sendMessageNow (message); }

private:
    std::unique_ptr<juce::MidiOutput> port;
};

class JuceBackend final : public Backend
{
public:
    JuceBackend()
    {
       #if TARVO_HAVE_ALSA
        snd_lib_error_set_handler (&silentAlsaErrorHandler);
       #endif
    }

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")

    juce::StringArray getInputNames() override  { return juce::MidiInput::getDevices(); }
    juce::StringArray getOutputNames() override { return juce::MidiOutput::getDevices(); }

    std::unique_ptr<Input> openInput (int index, InputCallback* callback) override
    {
        if (callback == nullptr)
            return {};

        auto input = std::make_unique<JuceInput> (index, callback);
        return input->isOpen() ? std::move (input) : nullptr;
    }

    std::unique_ptr<Output> openOutput (int index) override
    {
        if (auto port = juce::MidiOutput::openDevice (index))
            return std::make_unique<JuceOutput> (std::move (port));

        return {};
    }

    JUCE_END_IGNORE_WARNINGS_GCC_LIKE
};
} // namespace

std::unique_ptr<Backend> createJuceBackend()
{
    return std::make_unique<JuceBackend>();
}

} // namespace midi
