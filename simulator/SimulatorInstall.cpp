#include "SimulatorInstall.h"

#include <memory>
#include <mutex>

namespace sim
{

namespace
{
// The port layer owns the service once installed; the amplifier is kept here. Function-local
// statics built after the port layer's own are destroyed before it, so the amplifier goes
// while its service still exists.
struct Installed
{
    std::mutex lock;
    VirtualMidiService* service = nullptr;
    std::unique_ptr<EmulatedAmplifier> amplifier;

    ~Installed() { amplifier.reset(); }
};

Installed& installed()
{
    static Installed instance;
    return instance;
}

VirtualMidiService& installLocked (Installed& i)
{
    if (i.service == nullptr)
    {
        auto service = std::make_unique<VirtualMidiService>();
        i.service = service.get();
        midi::installBackend (std::move (service));
    }

    return *i.service;
}
} // namespace

VirtualMidiService& installSimulator()
{
    auto& i = installed();
    const std::lock_guard<std::mutex> l (i.lock);
    return installLocked (i);
}

EmulatedAmplifier& installSimulatorWithDefaultAmplifier (std::vector<uint8_t> initialFlash)
{
    auto& i = installed();
    const std::lock_guard<std::mutex> l (i.lock);
    auto& service = installLocked (i);

    if (i.amplifier == nullptr)
    {
        EmulatedAmplifier::Config config;
        config.flash = std::move (initialFlash);
        i.amplifier = std::make_unique<EmulatedAmplifier> (service, std::move (config));
    }

    return *i.amplifier;
}

} // namespace sim
