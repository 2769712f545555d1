#include "SimTestSupport.h"

using namespace simtest;

namespace
{
const Bytes probe { 0xf0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xf7 };
const Bytes probeReply { 0xf0, 0x01, 0x00, 0x30, 0x03, 0x12,
                         0x00, 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x00, 0x31, 0xf7 };
const Bytes serialQuery { 0xf0, 0x01, 0x07, 0x00, 0x02, 0x23, 0xf7 };
const Bytes serialReply { 0xf0, 0x01, 0x07, 0x05, 0x02, 0x23,
                          0x00, 0x54, 0x56, 0x34, 0x30, 0x2d, 0x32, 0x30,     // "TV40-20"
                          0x00, 0x32, 0x36, 0x2d, 0x30, 0x30, 0x30, 0x37,     // "26-0007"
                          0x00, 0x33, 0x31, 0xf7 };                           // "31"
const Bytes infoQuery { 0xf0, 0x01, 0x09, 0x00, 0x02, 0x11, 0xf7 };
const Bytes infoReply { 0xf0, 0x01, 0x09, 0x52, 0x03, 0x11, 0x00, 0x48, 0x33, 0x2d, 0x34, 0x30, 0xf7 };
} // namespace

using AmplifierFramed = SimulatorFixture;

TEST_F (AmplifierFramed, AppearsAsAnInputAndAnOutputPort)
{
    sim::EmulatedAmplifier amp (service);
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0", "Tarvo 40"));
    EXPECT_EQ (midi::getOutputNames(), juce::StringArray ("Midi Through Port-0", "Tarvo 40"));
    EXPECT_TRUE (amp.isPlugged());
    EXPECT_EQ (amp.getPositions().input, 1);
    EXPECT_EQ (amp.getPositions().output, 1);
}

TEST_F (AmplifierFramed, AnswersTheProbeWithItsIdOnTheRequestsSession)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    ASSERT_TRUE (host.isOpen());

    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });

    auto onSid5 = probeReply;
    onSid5[2] = 0x05;
    EXPECT_EQ (host.exchange ({ 0xf0, 0x01, 0x05, 0x00, 0x02, 0x12, 0xf7 }), std::vector<Bytes> { onSid5 });
}

TEST_F (AmplifierFramed, AnswersAConfiguredIdWithHighBits)
{
    sim::EmulatedAmplifier::Config config;
    config.deviceId = { { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87 } };
    sim::EmulatedAmplifier amp (service, config);
    HostPorts host ("Tarvo 40");

    // Packed 01 00 01 02 03 04 05 06 01 07, whose XOR is 0.
    const Bytes expected { 0xf0, 0x01, 0x00, 0x00, 0x03, 0x12,
                           0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01, 0x07, 0xf7 };
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { expected });
}

TEST_F (AmplifierFramed, AnswersTheTwoStringQueriesByteForByte)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    EXPECT_EQ (host.exchange (serialQuery), std::vector<Bytes> { serialReply });
    EXPECT_EQ (host.exchange (infoQuery), std::vector<Bytes> { infoReply });
}

TEST_F (AmplifierFramed, IgnoresFramesWithAWrongChecksumAndUnknownOperations)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");

    host.send ({ 0xf0, 0x01, 0x00, 0x01, 0x02, 0x12, 0xf7 });                 // bad checksum
    host.send ({ 0xf0, 0x01, 0x00, 0x00, 0x02, 0x23, 0x41, 0xf7 });           // payload 41, cks 00
    host.send ({ 0xf0, 0x01, 0x00, 0x00, 0x05, 0x05, 0xf7 });                 // unknown operation
    host.send ({ 0xf0, 0x01, 0x00 });                                         // cut short
    host.send ({ 0x90, 0x40, 0x7f });                                         // a note
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (host.collector.get().empty());
    EXPECT_EQ (amp.getNumReceivedMessages(), 5u);

    // A probe with a payload and a correct checksum is still a probe.
    EXPECT_EQ (host.exchange ({ 0xf0, 0x01, 0x00, 0x41, 0x02, 0x12, 0x41, 0xf7 }).at (0), probeReply);
}

TEST_F (AmplifierFramed, LogsEveryReceivedMessageInOrder)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    const std::vector<Bytes> sent { probe, serialQuery, { 0x90, 0x40, 0x7f }, named ("GetFwStatus") };

    for (auto& m : sent)
        host.send (m);

    ASSERT_TRUE (amp.waitForReceivedMessages (sent.size(), hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (amp.getReceivedMessages(), sent);
}

TEST_F (AmplifierFramed, ABootloaderKnowsOnlyTheProbe)
{
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    host.send (serialQuery);
    host.send (infoQuery);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (host.collector.get().empty());
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });
}
