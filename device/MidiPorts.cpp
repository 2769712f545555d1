#include "MidiPorts.h"

#include <mutex>

namespace midi
{

namespace
{
std::mutex backendLock;
std::unique_ptr<Backend> installedBackend;
} // namespace

void installBackend (std::unique_ptr<Backend> backend)
{
    const std::lock_guard<std::mutex> lock (backendLock);
    jassert (installedBackend == nullptr);   // one backend per process, installed first
    installedBackend = std::move (backend);
}

Backend& getBackend()
{
    const std::lock_guard<std::mutex> lock (backendLock);

    if (installedBackend == nullptr)
        installedBackend = createJuceBackend();

    return *installedBackend;
}

juce::StringArray getInputNames()                                  { return getBackend().getInputNames(); }
juce::StringArray getOutputNames()                                 { return getBackend().getOutputNames(); }
std::unique_ptr<Input> openInput (int index, InputCallback* cb)    { return getBackend().openInput (index, cb); }
std::unique_ptr<Output> openOutput (int index)                     { return getBackend().openOutput (index); }

} // namespace midi
