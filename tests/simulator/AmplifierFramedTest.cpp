#include "SimTestSupport.h"

using namespace simtest;

using AmplifierFramed = SimulatorFixture;

TEST_F (AmplifierFramed, AnswersTheProbeAndTheStringQueriesByteForByte)
{
    sim::EmulatedAmplifier amp (service);
    const juce::StringArray names ("Midi Through Port-0", "Tarvo 40");
    EXPECT_EQ (midi::getInputNames(), names);
    EXPECT_EQ (midi::getOutputNames(), names);
    EXPECT_EQ (amp.getPositions().input, 1);
    EXPECT_EQ (amp.getPositions().output, 1);

    HostPorts host ("Tarvo 40");
    ASSERT_TRUE (host.isOpen());
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });

    auto onSid5 = probeReply;
    onSid5[2] = 0x05;
    EXPECT_EQ (host.exchange ({ 0xf0, 0x01, 0x05, 0x00, 0x02, 0x12, 0xf7 }), std::vector<Bytes> { onSid5 });

    const Bytes serialReply { 0xf0, 0x01, 0x07, 0x05, 0x02, 0x23,
                              0x00, 0x54, 0x56, 0x34, 0x30, 0x2d, 0x32, 0x30,     // "TV40-20"
                              0x00, 0x32, 0x36, 0x2d, 0x30, 0x30, 0x30, 0x37,     // "26-0007"
                              0x00, 0x33, 0x31, 0xf7 };                           // "31"
    EXPECT_EQ (host.exchange ({ 0xf0, 0x01, 0x07, 0x00, 0x02, 0x23, 0xf7 }), std::vector<Bytes> { serialReply });

    const Bytes infoReply { 0xf0, 0x01, 0x09, 0x52, 0x03, 0x11, 0x00, 0x48, 0x33, 0x2d, 0x34, 0x30, 0xf7 };
    EXPECT_EQ (host.exchange ({ 0xf0, 0x01, 0x09, 0x00, 0x02, 0x11, 0xf7 }), std::vector<Bytes> { infoReply });
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

TEST_F (AmplifierFramed, IgnoresBadOrUnknownMessagesButLogsEveryMessageInOrder)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    const std::vector<Bytes> sent { { 0xf0, 0x01, 0x00, 0x01, 0x02, 0x12, 0xf7 },         // bad checksum
                                    { 0xf0, 0x01, 0x00, 0x00, 0x02, 0x23, 0x41, 0xf7 },   // payload 41, cks 00
                                    { 0xf0, 0x01, 0x00, 0x00, 0x05, 0x05, 0xf7 },         // unknown operation
                                    { 0xf0, 0x01, 0x00 },                                 // cut short
                                    { 0x90, 0x40, 0x7f },                                 // a note
                                    named ("GetFw") };                                    // half a name

    for (auto& m : sent)
        host.send (m);

    ASSERT_TRUE (amp.waitForReceivedMessages (sent.size(), hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (host.receivedNothing());
    EXPECT_EQ (amp.getReceivedMessages(), sent);

    // A probe with a payload and a correct checksum is still a probe.
    EXPECT_EQ (host.exchange ({ 0xf0, 0x01, 0x00, 0x41, 0x02, 0x12, 0x41, 0xf7 }).at (0), probeReply);
}
