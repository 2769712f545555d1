#pragma once

#include "MessageKinds.h"

#include "VirtualMidiService.h"

#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace reliability
{

/** The simulator's MIDI service as the process's port backend, with one addition: an
    action can be armed to run just before the host sends the n-th message of a kind.

    The action runs on the sending thread before the message enters the service, so a
    fault knob that it turns is in force when the amplifier handles that message: a fault
    can be aimed at one phase of an update without racing the update itself.
*/
class ArmingBackend final : public midi::Backend
{
public:
    using Action = std::function<void()>;

    explicit ArmingBackend (std::unique_ptr<sim::VirtualMidiService> serviceToUse);
    ~ArmingBackend() override;

    sim::VirtualMidiService& getService() noexcept { return *service; }

    /** Runs action once, before the occurrence-th (from 1) message of that kind. */
    void armBefore (MessageKind kind, int occurrence, Action action);

    /** Forgets every armed action and the counts. */
    void clear();

    /** How many messages of the kind were sent since the last clear. */
    int getCount (MessageKind kind) const;

    // midi::Backend
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<midi::Input> openInput (int index, midi::InputCallback* callback) override;
    std::unique_ptr<midi::Output> openOutput (int index) override;

private:
    class WatchedOutput;

    void beforeSend (const juce::MidiMessage& message);

    std::unique_ptr<sim::VirtualMidiService> service;

    mutable std::mutex lock;
    std::map<MessageKind, int> counts;
    std::multimap<std::pair<MessageKind, int>, Action> armed;
};

} // namespace reliability
