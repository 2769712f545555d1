#pragma once

#include "MidiPorts.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

/*  sim::VirtualMidiService: a stand-in for the platform's MIDI service.

    Host side (what the device library sees, through the midi::Backend interface):
    - getInputNames() / getOutputNames(): ordered lists; positions are the indices.
      A fresh service holds "Midi Through Port-0" as both an input and an output; what
      the host sends to the through output comes back on the through input.
    - openInput (index, callback) / openOutput (index): nullptr for an index not in the
      list (or a null callback). Opened inputs deliver nothing until start().
    - Every message the host sends is only queued by sendMessageNow(); ONE delivery thread
      (the "MIDI thread") hands it to the device behind the port, in order, and delivers
      everything devices send to the host's started inputs, whole and once.
    - Deleting a midi::Input returns only when no callback of it runs, and none runs after;
      stop() and even deleting the input from inside its own callback are allowed.
    - Host objects opened on a port that is later unplugged stay valid: their sends are
      dropped silently, their inputs get nothing. A re-plugged port is a new port: old host
      objects stay dead, the host must open it again (as with a real USB device).

    Device side (what the emulated amplifier, or a test, uses):
    - plug (name, device, positions, directions): adds an input port and/or an output port
      of that name (at the given list positions, -1 = at the end) and returns a DeviceId.
    - unplug (id) removes its ports and returns the positions they had; replug (id, positions)
      brings the same device back (new ports, same name). isPlugged (id).
    - detach (id): forgets the device; when it returns, no call into the device runs and none
      will (callable from inside the device's own callback).
    - sendToHost (id, bytes): queued; delivered to those of the host's inputs that were open
      on the device's input port when it was sent and are still open and started when it is
      delivered. Nothing is sent while the device is unplugged. For a later send, callLater.
    - callLater (id, delayMs, fn): runs fn on the delivery thread unless the device was
      detached meanwhile (timers of an emulated device: restart, ...).
    - getHostConnections (id): how many host inputs / outputs are open on its current ports.
    - Device callbacks (messageFromHost, hostConnectionsChanged) run on the delivery thread
      only, never with a service lock held except the device's own call lock.

    Observability for tests: getNumOpenInputs() / getNumOpenOutputs() count every host
    object alive (leak checks); waitUntilIdle (timeoutMs) waits until no delivery is queued
    (timed ones included) and none is running.
*/
namespace sim
{

/** List positions of a device's two ports; -1 = none / at the end. */
struct PortPositions
{
    int input = -1;
    int output = -1;
};

class VirtualMidiService final : public midi::Backend
{
public:
    using DeviceId = int;

    static constexpr const char* throughPortName = "Midi Through Port-0";

    /** The thing behind a pair of ports; its calls come on the delivery thread only. */
    class Device
    {
    public:
        virtual ~Device() = default;

        /** A message the host sent to this device's output port. */
        virtual void messageFromHost (const std::vector<uint8_t>& message) = 0;

        /** The host opened or closed one of this device's ports (see getHostConnections). */
        virtual void hostConnectionsChanged() {}
    };

    using Positions = PortPositions;

    enum class Directions
    {
        both,        // an input port (device -> host) and an output port (host -> device)
        inputOnly,   // only a port the host can read
        outputOnly   // only a port the host can write
    };

    struct HostConnections
    {
        int inputs = 0;
        int outputs = 0;
    };

    VirtualMidiService();
    ~VirtualMidiService() override;

    // midi::Backend
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<midi::Input> openInput (int index, midi::InputCallback* callback) override;
    std::unique_ptr<midi::Output> openOutput (int index) override;

    // Device side
    DeviceId plug (const juce::String& name, Device* device,
                   Positions where = {}, Directions directions = Directions::both);
    Positions unplug (DeviceId id);
    bool replug (DeviceId id, Positions where);
    bool isPlugged (DeviceId id) const;
    Positions getPositions (DeviceId id) const;
    void detach (DeviceId id);

    void sendToHost (DeviceId id, std::vector<uint8_t> message);
    void callLater (DeviceId id, int delayMs, std::function<void()> fn);
    HostConnections getHostConnections (DeviceId id) const;

    /** After this many more successful host opens of the device's ports (input and output
        counted together), every open of them fails, as when a driver has gone bad.
        -1 lets them open again. */
    void refuseOpensAfter (DeviceId id, int successfulOpens);

    // Observability
    int getNumOpenInputs() const;
    int getNumOpenOutputs() const;
    bool waitUntilIdle (int timeoutMs = 10000);

    /** True on the delivery thread. */
    bool isDeliveryThread() const noexcept;

private:
    struct Plug;
    struct HostInputState;
    class HostInput;
    class HostOutput;
    class ThroughDevice;

    using Clock = std::chrono::steady_clock;

    std::shared_ptr<Plug> findPlug (DeviceId id) const;   // stateLock held
    void insertPorts (const std::shared_ptr<Plug>& plug, Positions where);   // stateLock held
    Positions removePorts (Plug& plug);   // stateLock held
    void post (int delayMs, std::function<void()> fn);    // stateLock not held
    void postLocked (int delayMs, std::function<void()> fn);
    void notifyConnectionsChanged (DeviceId id);   // stateLock held
    void deliverToDevice (DeviceId id, uint64_t generation, const std::vector<uint8_t>& message);
    void deliverToHost (const std::vector<std::shared_ptr<HostInputState>>& targets, const std::vector<uint8_t>& message);
    void callDevice (DeviceId id, const std::function<void (Device&)>& fn);
    void hostInputClosed (HostInputState& state);
    void hostOutputClosed (DeviceId id, uint64_t generation);
    void run();

    mutable std::mutex stateLock;
    std::condition_variable wakeUp, idle;
    std::map<DeviceId, std::shared_ptr<Plug>> plugs;
    std::vector<std::shared_ptr<Plug>> inputs, outputs;
    std::multimap<Clock::time_point, std::function<void()>> tasks;   // equal times keep order
    bool running = false, quitting = false;
    DeviceId nextId = 1;
    int numOpenInputs = 0, numOpenOutputs = 0;

    std::unique_ptr<ThroughDevice> through;
    std::thread deliveryThread;
};

} // namespace sim
