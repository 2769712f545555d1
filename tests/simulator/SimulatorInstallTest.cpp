#include "SimTestSupport.h"

using namespace simtest;

TEST (SimulatorInstall, InstallsOneServiceAsTheBackendWithTheDefaultAmplifier)
{
    auto& service = sim::installSimulator();
    EXPECT_EQ (&service, &sim::installSimulator());
    EXPECT_EQ (&midi::getBackend(), static_cast<midi::Backend*> (&service));
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0"));

    const auto image = firmwareImage (3000);
    auto& amp = sim::installSimulatorWithDefaultAmplifier (image);
    EXPECT_EQ (&amp, &sim::installSimulatorWithDefaultAmplifier ({}));
    EXPECT_EQ (amp.getFlash(), image);
    EXPECT_EQ (amp.getFirmwareStatus(), 1);
    EXPECT_FALSE (amp.isInBootloaderMode());
    EXPECT_EQ (HostPorts ("Tarvo 40").exchange (probe), std::vector<Bytes> { probeReply });
}
