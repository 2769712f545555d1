#include "JwDeviceManager.h"

#include "MessageThread.h"

#include <algorithm>

namespace jw
{

namespace
{
std::vector<DeviceUuid> uuidsOf (const std::vector<_H3MidiDeviceDescriptor>& descriptors)
{
    std::vector<DeviceUuid> result;
    result.reserve (descriptors.size());

    for (const auto& d : descriptors)
    {
        DeviceUuid id;
        std::copy (std::begin (d.uuid), std::end (d.uuid), id.begin());
        result.push_back (id);
    }

    return result;
}
} // namespace

//==============================================================================
DeviceManager::DeviceManager()
    : impl (std::make_unique<Impl> (this))
{
}

DeviceManager::~DeviceManager()
{
    if (impl->device != nullptr)
    {
        impl->device->Close();
        impl->device.reset();
    }

    impl.reset();
}

DeviceManager* DeviceManager::instance()
{
    static std::unique_ptr<DeviceManager> manager (new DeviceManager());
    return manager.get();
}

std::vector<DeviceUuid> DeviceManager::deviceUuids() const
{
    return uuidsOf (JwUsbMidiDeviceFinder::GetDescriptors());
}

void DeviceManager::startPolling()                  { impl->startTimer (2000); }
void DeviceManager::stopPolling()                   { impl->stopTimer(); }
JwDevice* DeviceManager::currentDevice() const      { return impl->device.get(); }
void DeviceManager::setCurrentDevice (JwDevice* d)  { impl->device.reset (d); }

void DeviceManager::setDeviceListChangedCallback (std::function<void (DeviceManager*)> callback)
{
    impl->deviceListChangedCallback = std::move (callback);
}

//==============================================================================
DeviceManager::Impl::Impl (DeviceManager* ownerToUse)
    : owner (ownerToUse)
{
}

DeviceManager::Impl::~Impl()
{
    stopTimer();
}

juce::StringArray DeviceManager::Impl::getInputNames() const
{
    const std::lock_guard<std::mutex> lock (inputNamesLock);
    return inputNames;
}

void DeviceManager::Impl::setInputNames (const juce::StringArray& names)
{
    const std::lock_guard<std::mutex> lock (inputNamesLock);
    inputNames = names;
}

int DeviceManager::Impl::probeAll()
{
    setInputNames (midi::getInputNames());
    JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
    return (int) JwUsbMidiDeviceFinder::GetDescriptors().size();
}

bool DeviceManager::Impl::hasInputDeviceListChanged()
{
    bool changed = false;

    callOnMessageThread ([this, &changed]
    {
        changed = midi::getInputNames() != getInputNames();
        return true;
    });

    return changed;
}

void DeviceManager::Impl::timerCallback()
{
    if (! hasInputDeviceListChanged())
        return;

    // A probe of another thread waits for this thread: never wait for it here. The tick
    // just tries again next time, having stored nothing.
    const auto previousNames = getInputNames();
    setInputNames (midi::getInputNames());
    const auto found = JwUsbMidiDeviceFinder::TryProbeAll ("Tarvo");

    if (! found.has_value())
    {
        setInputNames (previousNames);
        return;
    }

    const auto ids = uuidsOf (*found);

    if (ids == uuids)
        return;

    setInputNames (midi::getInputNames());
    uuids = ids;

    if (deviceListChangedCallback)
        deviceListChangedCallback (owner);
}

} // namespace jw
