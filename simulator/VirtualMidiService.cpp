#include "VirtualMidiService.h"

#include <algorithm>
#include <atomic>

namespace sim
{

// Lock order: a device's callLock, then an input's callbackLock or stateLock; stateLock is
// never held while calling out, so devices and host callbacks may call back into the service.

struct VirtualMidiService::Plug
{
    DeviceId id = 0;
    juce::String name;
    Directions directions = Directions::both;
    Device* device = nullptr;                 // written with both callLock and stateLock held
    std::recursive_mutex callLock;            // held while the device is called
    bool plugged = false;
    uint64_t generation = 0;                  // a new one for every plugging: new ports
    std::vector<std::shared_ptr<HostInputState>> hostInputs;
    int hostOutputs = 0;
    Positions positions;                      // where its ports stood when unplugged
    int opensBeforeRefusing = -1;             // -1: the ports always open

    /** A port that a driver refuses to open once its budget is spent. */
    bool refusesOpen() noexcept
    {
        if (opensBeforeRefusing < 0)
            return false;

        if (opensBeforeRefusing == 0)
            return true;

        --opensBeforeRefusing;
        return false;
    }

    bool hasInput() const noexcept  { return directions != Directions::outputOnly; }
    bool hasOutput() const noexcept { return directions != Directions::inputOnly; }
};

struct VirtualMidiService::HostInputState
{
    std::recursive_mutex callbackLock;        // recursive: the callback may stop or delete its port
    midi::InputCallback* callback = nullptr;
    midi::Input* owner = nullptr;
    std::atomic<bool> started { false };
    bool closed = false;                      // under callbackLock
    DeviceId plugId = 0;
    uint64_t generation = 0;
};

class VirtualMidiService::HostInput final : public midi::Input
{
public:
    HostInput (VirtualMidiService& s, std::shared_ptr<HostInputState> st)
        : service (s), state (std::move (st))
    {
        state->owner = this;
    }

    ~HostInput() override
    {
        {
            const std::lock_guard<std::recursive_mutex> l (state->callbackLock);
            state->closed = true;
        }

        service.hostInputClosed (*state);
    }

    void start() override { state->started = true; }
    void stop() override  { state->started = false; }

private:
    VirtualMidiService& service;
    std::shared_ptr<HostInputState> state;
};

class VirtualMidiService::HostOutput final : public midi::Output
{
public:
    HostOutput (VirtualMidiService& s, DeviceId i, uint64_t g)
        : service (s), plugId (i), generation (g) {}

    ~HostOutput() override { service.hostOutputClosed (plugId, generation); }

    void sendMessageNow (const juce::MidiMessage& message) override
    {
        const auto* raw = message.getRawData();
        std::vector<uint8_t> bytes (raw, raw + message.getRawDataSize());
        auto& s = service;
        const auto id = plugId;
        const auto g = generation;
        service.post (0, [&s, id, g, bytes = std::move (bytes)] { s.deliverToDevice (id, g, bytes); });
    }

private:
    VirtualMidiService& service;
    const DeviceId plugId;
    const uint64_t generation;
};

class VirtualMidiService::ThroughDevice final : public Device
{
public:
    explicit ThroughDevice (VirtualMidiService& s) : service (s) {}

    void messageFromHost (const std::vector<uint8_t>& message) override { service.sendToHost (id, message); }

    VirtualMidiService& service;
    DeviceId id = 0;
};

//==============================================================================
VirtualMidiService::VirtualMidiService()
{
    deliveryThread = std::thread ([this] { run(); });

    through = std::make_unique<ThroughDevice> (*this);
    through->id = plug (throughPortName, through.get());
}

VirtualMidiService::~VirtualMidiService()
{
    detach (through->id);

    {
        const std::lock_guard<std::mutex> l (stateLock);
        quitting = true;
    }

    wakeUp.notify_all();
    deliveryThread.join();
}

bool VirtualMidiService::isDeliveryThread() const noexcept
{
    return std::this_thread::get_id() == deliveryThread.get_id();
}

//==============================================================================
juce::StringArray VirtualMidiService::getInputNames()
{
    const std::lock_guard<std::mutex> l (stateLock);
    juce::StringArray names;

    for (auto& p : inputs)
        names.add (p->name);

    return names;
}

juce::StringArray VirtualMidiService::getOutputNames()
{
    const std::lock_guard<std::mutex> l (stateLock);
    juce::StringArray names;

    for (auto& p : outputs)
        names.add (p->name);

    return names;
}

std::unique_ptr<midi::Input> VirtualMidiService::openInput (int index, midi::InputCallback* callback)
{
    if (callback == nullptr)
        return {};

    const std::lock_guard<std::mutex> l (stateLock);

    if (index < 0 || index >= static_cast<int> (inputs.size()))
        return {};

    auto& p = inputs[static_cast<size_t> (index)];

    if (p->refusesOpen())
        return {};

    auto state = std::make_shared<HostInputState>();
    state->callback = callback;
    state->plugId = p->id;
    state->generation = p->generation;

    auto input = std::make_unique<HostInput> (*this, state);
    p->hostInputs.push_back (std::move (state));
    ++numOpenInputs;
    notifyConnectionsChanged (p->id);
    return input;
}

std::unique_ptr<midi::Output> VirtualMidiService::openOutput (int index)
{
    const std::lock_guard<std::mutex> l (stateLock);

    if (index < 0 || index >= static_cast<int> (outputs.size()))
        return {};

    auto& p = outputs[static_cast<size_t> (index)];

    if (p->refusesOpen())
        return {};

    ++p->hostOutputs;
    ++numOpenOutputs;
    notifyConnectionsChanged (p->id);
    return std::make_unique<HostOutput> (*this, p->id, p->generation);
}

void VirtualMidiService::hostInputClosed (HostInputState& state)
{
    const std::lock_guard<std::mutex> l (stateLock);
    --numOpenInputs;

    auto p = findPlug (state.plugId);

    if (p == nullptr || ! p->plugged || p->generation != state.generation)
        return;

    auto& list = p->hostInputs;
    list.erase (std::remove_if (list.begin(), list.end(), [&] (auto& s) { return s.get() == &state; }), list.end());
    notifyConnectionsChanged (p->id);
}

void VirtualMidiService::hostOutputClosed (DeviceId id, uint64_t generation)
{
    const std::lock_guard<std::mutex> l (stateLock);
    --numOpenOutputs;

    auto p = findPlug (id);

    if (p == nullptr || ! p->plugged || p->generation != generation)
        return;

    --p->hostOutputs;
    notifyConnectionsChanged (p->id);
}

//==============================================================================
std::shared_ptr<VirtualMidiService::Plug> VirtualMidiService::findPlug (DeviceId id) const
{
    const auto it = plugs.find (id);
    return it != plugs.end() ? it->second : nullptr;
}

void VirtualMidiService::insertPorts (const std::shared_ptr<Plug>& p, Positions where)
{
    const auto insertInto = [] (std::vector<std::shared_ptr<Plug>>& list, const std::shared_ptr<Plug>& item, int pos)
    {
        if (pos < 0 || pos > static_cast<int> (list.size()))
            pos = static_cast<int> (list.size());

        list.insert (list.begin() + pos, item);
    };

    if (p->hasInput())
        insertInto (inputs, p, where.input);

    if (p->hasOutput())
        insertInto (outputs, p, where.output);

    p->plugged = true;
    ++p->generation;
}

VirtualMidiService::Positions VirtualMidiService::removePorts (Plug& p)
{
    const auto removeFrom = [&p] (std::vector<std::shared_ptr<Plug>>& list)
    {
        const auto it = std::find_if (list.begin(), list.end(), [&p] (auto& item) { return item.get() == &p; });

        if (it == list.end())
            return -1;

        const auto pos = static_cast<int> (it - list.begin());
        list.erase (it);
        return pos;
    };

    Positions where;
    where.input = removeFrom (inputs);
    where.output = removeFrom (outputs);
    p.plugged = false;
    p.hostInputs.clear();
    p.hostOutputs = 0;
    ++p.generation;
    p.positions = where;
    return where;
}

VirtualMidiService::DeviceId VirtualMidiService::plug (const juce::String& name, Device* device,
                                                       Positions where, Directions directions)
{
    const std::lock_guard<std::mutex> l (stateLock);
    auto p = std::make_shared<Plug>();
    p->id = nextId++;
    p->name = name;
    p->device = device;
    p->directions = directions;
    plugs[p->id] = p;
    insertPorts (p, where);
    return p->id;
}

VirtualMidiService::Positions VirtualMidiService::unplug (DeviceId id)
{
    const std::lock_guard<std::mutex> l (stateLock);
    auto p = findPlug (id);

    if (p == nullptr)
        return {};

    if (! p->plugged)
        return p->positions;

    return removePorts (*p);
}

bool VirtualMidiService::replug (DeviceId id, Positions where)
{
    const std::lock_guard<std::mutex> l (stateLock);
    auto p = findPlug (id);

    if (p == nullptr || p->plugged)
        return false;

    insertPorts (p, where);
    return true;
}

bool VirtualMidiService::isPlugged (DeviceId id) const
{
    const std::lock_guard<std::mutex> l (stateLock);
    auto p = findPlug (id);
    return p != nullptr && p->plugged;
}

VirtualMidiService::Positions VirtualMidiService::getPositions (DeviceId id) const
{
    const std::lock_guard<std::mutex> l (stateLock);
    auto p = findPlug (id);

    if (p == nullptr)
        return {};

    if (! p->plugged)
        return p->positions;

    const auto indexIn = [&p] (const std::vector<std::shared_ptr<Plug>>& list)
    {
        const auto it = std::find (list.begin(), list.end(), p);
        return it != list.end() ? static_cast<int> (it - list.begin()) : -1;
    };

    return { indexIn (inputs), indexIn (outputs) };
}

void VirtualMidiService::detach (DeviceId id)
{
    std::shared_ptr<Plug> p;

    {
        const std::lock_guard<std::mutex> l (stateLock);
        p = findPlug (id);
    }

    if (p == nullptr)
        return;

    // Waits for a running call into the device; the device's own thread passes (recursive).
    const std::lock_guard<std::recursive_mutex> cl (p->callLock);
    const std::lock_guard<std::mutex> l (stateLock);
    p->device = nullptr;

    if (p->plugged)
        removePorts (*p);

    plugs.erase (id);
}

void VirtualMidiService::refuseOpensAfter (DeviceId id, int successfulOpens)
{
    const std::lock_guard<std::mutex> l (stateLock);

    if (auto p = findPlug (id))
        p->opensBeforeRefusing = successfulOpens;
}

VirtualMidiService::HostConnections VirtualMidiService::getHostConnections (DeviceId id) const
{
    const std::lock_guard<std::mutex> l (stateLock);
    auto p = findPlug (id);

    if (p == nullptr || ! p->plugged)
        return {};

    return { static_cast<int> (p->hostInputs.size()), p->hostOutputs };
}

int VirtualMidiService::getNumOpenInputs() const
{
    const std::lock_guard<std::mutex> l (stateLock);
    return numOpenInputs;
}

int VirtualMidiService::getNumOpenOutputs() const
{
    const std::lock_guard<std::mutex> l (stateLock);
    return numOpenOutputs;
}

//==============================================================================
void VirtualMidiService::sendToHost (DeviceId id, std::vector<uint8_t> message)
{
    if (message.empty())
        return;

    const std::lock_guard<std::mutex> l (stateLock);
    auto p = findPlug (id);

    if (p == nullptr || ! p->plugged || ! p->hasInput())
        return;

    // What was sent while the port stood reaches the inputs open then, as on a real bus;
    // each input checks at delivery time that it is still open and started.
    postLocked (0, [this, targets = p->hostInputs, m = std::move (message)] { deliverToHost (targets, m); });
}

void VirtualMidiService::callLater (DeviceId id, int delayMs, std::function<void()> fn)
{
    post (delayMs, [this, id, fn = std::move (fn)] { callDevice (id, [&fn] (Device&) { fn(); }); });
}

void VirtualMidiService::notifyConnectionsChanged (DeviceId id)
{
    postLocked (0, [this, id] { callDevice (id, [] (Device& d) { d.hostConnectionsChanged(); }); });
}

void VirtualMidiService::callDevice (DeviceId id, const std::function<void (Device&)>& fn)
{
    std::shared_ptr<Plug> p;

    {
        const std::lock_guard<std::mutex> l (stateLock);
        p = findPlug (id);
    }

    if (p == nullptr)
        return;

    const std::lock_guard<std::recursive_mutex> cl (p->callLock);

    if (p->device != nullptr)
        fn (*p->device);
}

void VirtualMidiService::deliverToDevice (DeviceId id, uint64_t generation, const std::vector<uint8_t>& message)
{
    std::shared_ptr<Plug> p;

    {
        const std::lock_guard<std::mutex> l (stateLock);
        p = findPlug (id);
    }

    if (p == nullptr || message.empty())
        return;

    const std::lock_guard<std::recursive_mutex> cl (p->callLock);

    {
        // A port that vanished (or came back as a new port) since the send swallows it.
        const std::lock_guard<std::mutex> l (stateLock);

        if (! p->plugged || p->generation != generation || ! p->hasOutput())
            return;
    }

    if (p->device != nullptr)
        p->device->messageFromHost (message);
}

void VirtualMidiService::deliverToHost (const std::vector<std::shared_ptr<HostInputState>>& targets,
                                        const std::vector<uint8_t>& message)
{
    const juce::MidiMessage m (message.data(), static_cast<int> (message.size()));

    for (auto& t : targets)
    {
        const std::lock_guard<std::recursive_mutex> l (t->callbackLock);

        if (! t->closed && t->started)
            t->callback->handleIncomingMidiMessage (t->owner, m);
    }
}

//==============================================================================
void VirtualMidiService::post (int delayMs, std::function<void()> fn)
{
    const std::lock_guard<std::mutex> l (stateLock);
    postLocked (delayMs, std::move (fn));
}

void VirtualMidiService::postLocked (int delayMs, std::function<void()> fn)
{
    if (quitting)
        return;

    tasks.emplace (Clock::now() + std::chrono::milliseconds (std::max (0, delayMs)), std::move (fn));
    wakeUp.notify_one();
}

bool VirtualMidiService::waitUntilIdle (int timeoutMs)
{
    std::unique_lock<std::mutex> l (stateLock);
    return idle.wait_for (l, std::chrono::milliseconds (timeoutMs), [this] { return tasks.empty() && ! running; });
}

void VirtualMidiService::run()
{
    std::unique_lock<std::mutex> l (stateLock);

    while (! quitting)
    {
        if (tasks.empty())
        {
            idle.notify_all();
            wakeUp.wait (l);
            continue;
        }

        const auto due = tasks.begin()->first;

        if (due > Clock::now())
        {
            wakeUp.wait_until (l, due);
            continue;
        }

        auto fn = std::move (tasks.begin()->second);
        tasks.erase (tasks.begin());
        running = true;
        l.unlock();
        fn();
        fn = nullptr;   // whatever the task holds goes before the lock is taken again
        l.lock();
        running = false;
    }

    tasks.clear();
    idle.notify_all();
}

} // namespace sim
