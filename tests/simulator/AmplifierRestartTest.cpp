#include "SimTestSupport.h"

using namespace simtest;

namespace
{
/** Sets the status on fresh ports, closes them and waits for the amplifier to leave. */
void setStatusAndClose (sim::EmulatedAmplifier& amp, uint8_t status)
{
    HostPorts host ("Tarvo 40");
    ASSERT_TRUE (host.isOpen());
    host.send (named ("SetFwStatus", { status }));
    host.close();
    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
}
} // namespace

using AmplifierRestart = SimulatorFixture;

TEST_F (AmplifierRestart, LeavesAndComesBackAtTheSamePositionsInBootloaderModeAndBack)
{
    sim::EmulatedAmplifier::Config config;
    config.restartTimeMs = 200;
    config.positions = { 0, 1 };
    sim::EmulatedAmplifier amp (service, config);
    const auto inputsBefore = midi::getInputNames();
    const auto outputsBefore = midi::getOutputNames();
    ASSERT_EQ (inputsBefore, juce::StringArray ("Tarvo 40", "Midi Through Port-0"));
    ASSERT_EQ (outputsBefore, juce::StringArray ("Midi Through Port-0", "Tarvo 40"));

    setStatusAndClose (amp, 0);
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0"));
    EXPECT_EQ (midi::getOutputNames(), juce::StringArray ("Midi Through Port-0"));
    EXPECT_EQ (amp.getNumRestarts(), 1);

    ASSERT_TRUE (amp.waitUntilPlugged (true, hangGuardMs));
    EXPECT_EQ (midi::getInputNames(), inputsBefore);
    EXPECT_EQ (midi::getOutputNames(), outputsBefore);
    EXPECT_TRUE (amp.isInBootloaderMode());
    EXPECT_EQ (amp.getFirmwareStatus(), 0);

    {
        HostPorts host ("Tarvo 40");
        EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x00 }) });
        host.send (request (3, 0x23));   // a bootloader knows only the probe of the framed queries
        host.send (request (3, 0x11));
        ASSERT_TRUE (service.waitUntilIdle());
        EXPECT_EQ (host.collector.get().size(), 1u);
        EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });
    }

    setStatusAndClose (amp, 1);
    ASSERT_TRUE (amp.waitUntilPlugged (true, hangGuardMs));
    EXPECT_EQ (midi::getInputNames(), inputsBefore);
    EXPECT_FALSE (amp.isInBootloaderMode());
    EXPECT_EQ (amp.getFirmwareStatus(), 1);
    EXPECT_EQ (amp.getNumRestarts(), 2);

    HostPorts host ("Tarvo 40");
    EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x01 }) });
    EXPECT_EQ (host.exchange (request (3, 0x23)).size(), 1u);
}

TEST_F (AmplifierRestart, RestartsOnlyAfterASetStatusOnceTheHostHasClosedBothPorts)
{
    sim::EmulatedAmplifier::Config config;
    config.restartTimeMs = 100;
    sim::EmulatedAmplifier amp (service, config);

    for (int i = 0; i < 2; ++i)
    {
        HostPorts host ("Tarvo 40");
        EXPECT_EQ (host.exchange (probe).size(), 1u);
    }

    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (amp.getNumRestarts(), 0);

    HostPorts host ("Tarvo 40");
    HostPorts prober ("Tarvo 40");   // a second host object on the same ports
    host.send (named ("SetFwStatus", { 0x00 }));
    host.close();
    prober.output.reset();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (amp.isPlugged());
    EXPECT_EQ (amp.getNumRestarts(), 0);

    prober.input.reset();
    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (amp.waitUntilPlugged (true, hangGuardMs));
    EXPECT_TRUE (amp.isInBootloaderMode());

    // Ports opened before an unplugging stay dead.
    HostPorts old ("Tarvo 40");
    amp.unplug();
    amp.plug();
    old.send (probe);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (old.receivedNothing());
    EXPECT_EQ (amp.getNumReceivedMessages(), 3u);
}
