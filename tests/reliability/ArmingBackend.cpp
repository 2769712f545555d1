#include "ArmingBackend.h"

namespace reliability
{

class ArmingBackend::WatchedOutput final : public midi::Output
{
public:
    WatchedOutput (ArmingBackend& ownerToUse, std::unique_ptr<midi::Output> outputToWrap)
        : owner (ownerToUse), output (std::move (outputToWrap))
    {
    }

    void sendMessageNow (const juce::MidiMessage& message) override
    {
        owner.beforeSend (message);
        output->sendMessageNow (message);
    }

private:
    ArmingBackend& owner;
    std::unique_ptr<midi::Output> output;
};

//==============================================================================
ArmingBackend::ArmingBackend (std::unique_ptr<sim::VirtualMidiService> serviceToUse)
    : service (std::move (serviceToUse))
{
}

ArmingBackend::~ArmingBackend() = default;

void ArmingBackend::armBefore (MessageKind kind, int occurrence, Action action)
{
    const std::lock_guard<std::mutex> l (lock);
    armed.emplace (std::make_pair (kind, occurrence), std::move (action));
}

void ArmingBackend::clear()
{
    const std::lock_guard<std::mutex> l (lock);
    armed.clear();
    counts.clear();
}

int ArmingBackend::getCount (MessageKind kind) const
{
    const std::lock_guard<std::mutex> l (lock);
    const auto it = counts.find (kind);
    return it == counts.end() ? 0 : it->second;
}

void ArmingBackend::beforeSend (const juce::MidiMessage& message)
{
    const auto kind = classify (message.getRawData(), (size_t) message.getRawDataSize());
    std::vector<Action> due;

    {
        const std::lock_guard<std::mutex> l (lock);
        const auto key = std::make_pair (kind, ++counts[kind]);
        const auto range = armed.equal_range (key);

        for (auto it = range.first; it != range.second; ++it)
            due.push_back (std::move (it->second));

        armed.erase (range.first, range.second);
    }

    // Outside the lock: an action may turn knobs that take the amplifier's own lock.
    for (auto& action : due)
        action();
}

juce::StringArray ArmingBackend::getInputNames()    { return service->getInputNames(); }
juce::StringArray ArmingBackend::getOutputNames()   { return service->getOutputNames(); }

std::unique_ptr<midi::Input> ArmingBackend::openInput (int index, midi::InputCallback* callback)
{
    return service->openInput (index, callback);
}

std::unique_ptr<midi::Output> ArmingBackend::openOutput (int index)
{
    auto output = service->openOutput (index);

    if (output == nullptr)
        return nullptr;

    return std::make_unique<WatchedOutput> (*this, std::move (output));
}

} // namespace reliability
