#pragma once

#include "JwDevice.h"
#include "JwUsbMidiDeviceFinder.h"

#include <juce_events/juce_events.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace jw
{

/** The process-wide way to the amplifier: probes on request, holds the one open device,
    and while polling watches the MIDI input list every 2000 ms, telling one callback when
    the set of amplifiers found has changed. It never creates a device itself. */
class DeviceManager
{
public:
    class Impl;

    static DeviceManager* instance();

    ~DeviceManager();

    /** The ids found by the last probe, in probe order. */
    std::vector<DeviceUuid> deviceUuids() const;

    void startPolling();
    void stopPolling();

    JwDevice* currentDevice() const;

    /** Takes ownership; the device held before is deleted. Null empties the slot. */
    void setCurrentDevice (JwDevice* device);

    void setDeviceListChangedCallback (std::function<void (DeviceManager*)> callback);

    std::unique_ptr<Impl> impl;

private:
    DeviceManager();
};

class DeviceManager::Impl : private juce::Timer
{
public:
    explicit Impl (DeviceManager* ownerToUse);
    ~Impl() override;

    /** Probes every matching port and returns the number of amplifiers found that could
        be opened. Blocks for about a second per matching output port. */
    int probeAll();

    /** True when the MIDI input names differ from those of the last probe. */
    bool hasInputDeviceListChanged();

    /** One poll tick, on the message thread: after a change of the input list, probes and
        reports a changed list of ids to the callback. */
    void timerCallback() override;

    std::unique_ptr<JwDevice> device;
    std::vector<DeviceUuid> uuids;
    std::function<void (DeviceManager*)> deviceListChangedCallback;
    DeviceManager* owner;

private:
    friend class DeviceManager;

    juce::StringArray getInputNames() const;
    void setInputNames (const juce::StringArray& names);

    // Every probe writes the names, from whichever thread runs it; ticks read them.
    mutable std::mutex inputNamesLock;
    juce::StringArray inputNames;
};

} // namespace jw
