#include "SimTestSupport.h"

using namespace simtest;

TEST (SimulatorInstall, InstallsOneServiceAsTheBackend)
{
    auto& service = sim::installSimulator();
    EXPECT_EQ (&service, &sim::installSimulator());
    EXPECT_EQ (&midi::getBackend(), static_cast<midi::Backend*> (&service));
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0"));
}

TEST (SimulatorInstall, PlugsInTheDefaultAmplifierWithTheGivenFlash)
{
    const auto image = firmwareImage (3000, defaultRecord());
    auto& amp = sim::installSimulatorWithDefaultAmplifier (image);
    EXPECT_EQ (&amp, &sim::installSimulatorWithDefaultAmplifier ({}));
    EXPECT_EQ (amp.getFlash(), image);
    EXPECT_EQ (amp.getFirmwareStatus(), 1);
    EXPECT_FALSE (amp.isInBootloaderMode());
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0", "Tarvo 40"));

    HostPorts host ("Tarvo 40");
    const auto reply = host.exchange ({ 0xf0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xf7 }).at (0);
    EXPECT_EQ (Bytes (reply.begin() + 6, reply.end() - 1),
               (Bytes { 0x00, 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x00, 0x31 }));
}
