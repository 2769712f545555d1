#pragma once

#include "EmulatedAmplifier.h"
#include "VirtualMidiService.h"

#include <cstdint>
#include <vector>

/*  The process-wide simulator, for the simulator build of the application and for tests.

    installSimulator(): installs one VirtualMidiService as the midi backend (the first call;
    later calls return the same service). It must run before anything has used the port
    layer, since the port layer takes one backend per process.

    installSimulatorWithDefaultAmplifier (flash): installs the simulator (as above) and plugs
    in one EmulatedAmplifier with the default configuration and that flash image; returns
    it. The amplifier lives until the end of the process; later calls return the same one.
*/
namespace sim
{

VirtualMidiService& installSimulator();

EmulatedAmplifier& installSimulatorWithDefaultAmplifier (std::vector<uint8_t> initialFlash);

} // namespace sim
