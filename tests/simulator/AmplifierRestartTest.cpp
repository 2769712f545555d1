#include "SimTestSupport.h"

using namespace simtest;

namespace
{
const Bytes probe { 0xf0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xf7 };
const Bytes serialQuery { 0xf0, 0x01, 0x03, 0x00, 0x02, 0x23, 0xf7 };

struct Other final : public sim::VirtualMidiService::Device
{
    void messageFromHost (const Bytes&) override {}
};

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
    sim::EmulatedAmplifier amp (service, config);
    Other other;
    const auto otherId = service.plug ("Other Synth", &other);
    const auto inputsBefore = midi::getInputNames();
    const auto outputsBefore = midi::getOutputNames();
    ASSERT_EQ (inputsBefore, juce::StringArray ("Midi Through Port-0", "Tarvo 40", "Other Synth"));

    setStatusAndClose (amp, 0);
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0", "Other Synth"));
    EXPECT_EQ (midi::getOutputNames(), juce::StringArray ("Midi Through Port-0", "Other Synth"));
    EXPECT_EQ (amp.getNumRestarts(), 1);

    ASSERT_TRUE (amp.waitUntilPlugged (true, hangGuardMs));
    EXPECT_EQ (midi::getInputNames(), inputsBefore);
    EXPECT_EQ (midi::getOutputNames(), outputsBefore);
    EXPECT_TRUE (amp.isInBootloaderMode());
    EXPECT_EQ (amp.getFirmwareStatus(), 0);

    {
        HostPorts host ("Tarvo 40");
        EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x00 }) });
        host.send (serialQuery);
        ASSERT_TRUE (service.waitUntilIdle());
        EXPECT_EQ (host.collector.get().size(), 1u);   // no serial from a bootloader
        EXPECT_EQ (host.exchange (probe).size(), 1u);
    }

    setStatusAndClose (amp, 1);
    ASSERT_TRUE (amp.waitUntilPlugged (true, hangGuardMs));
    EXPECT_EQ (midi::getInputNames(), inputsBefore);
    EXPECT_FALSE (amp.isInBootloaderMode());
    EXPECT_EQ (amp.getFirmwareStatus(), 1);
    EXPECT_EQ (amp.getNumRestarts(), 2);

    HostPorts host ("Tarvo 40");
    EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x01 }) });
    EXPECT_EQ (host.exchange (serialQuery).size(), 1u);
    service.detach (otherId);
}

TEST_F (AmplifierRestart, WaitsUntilTheHostHasClosedBothPorts)
{
    sim::EmulatedAmplifier::Config config;
    config.restartTimeMs = 100;
    sim::EmulatedAmplifier amp (service, config);
    HostPorts host ("Tarvo 40");
    HostPorts prober ("Tarvo 40");   // a second host object on the same ports
    host.send (named ("SetFwStatus", { 0x00 }));

    host.output.reset();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (amp.isPlugged());

    host.input.reset();
    prober.output.reset();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (amp.isPlugged());
    EXPECT_EQ (amp.getNumRestarts(), 0);

    prober.input.reset();
    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (amp.waitUntilPlugged (true, hangGuardMs));
    EXPECT_TRUE (amp.isInBootloaderMode());
}

TEST_F (AmplifierRestart, ClosingPortsWithoutASetStatusRestartsNothing)
{
    sim::EmulatedAmplifier amp (service);

    for (int i = 0; i < 3; ++i)
    {
        HostPorts host ("Tarvo 40");
        EXPECT_EQ (host.exchange (probe).size(), 1u);
    }

    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (amp.isPlugged());
    EXPECT_EQ (amp.getNumRestarts(), 0);
}

TEST_F (AmplifierRestart, ATestCanUnplugAndPlugItBackWhereItWas)
{
    sim::EmulatedAmplifier::Config config;
    config.positions = { 0, 0 };
    sim::EmulatedAmplifier amp (service, config);
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Tarvo 40", "Midi Through Port-0"));

    HostPorts old ("Tarvo 40");
    amp.unplug();
    EXPECT_FALSE (amp.isPlugged());
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0"));

    amp.plug();
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Tarvo 40", "Midi Through Port-0"));
    EXPECT_EQ (midi::getOutputNames(), juce::StringArray ("Tarvo 40", "Midi Through Port-0"));

    // The ports opened before the unplugging are dead.
    old.send (probe);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (old.collector.get().empty());
    EXPECT_EQ (amp.getNumReceivedMessages(), 0u);
}
