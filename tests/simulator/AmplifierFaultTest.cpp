#include "SimTestSupport.h"

using namespace simtest;

namespace
{
const Bytes probe { 0xf0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xf7 };
const Bytes probeReply { 0xf0, 0x01, 0x00, 0x30, 0x03, 0x12,
                         0x00, 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x00, 0x31, 0xf7 };
const Bytes serialQuery { 0xf0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xf7 };
const Bytes infoQuery { 0xf0, 0x01, 0x02, 0x00, 0x02, 0x11, 0xf7 };

Bytes probeOn (uint8_t sid)
{
    auto p = probe;
    p[2] = sid;
    return p;
}

Bytes retWriteFlash (uint8_t status) { return named ("RetWriteFlash", { 0, 0, 0, 0, status }); }

std::string nameOf (const Bytes& m)
{
    for (std::string name : { "RetFwStatus", "RetFwInfo", "RetWriteFlash" })
        if (m.size() > name.size() && std::equal (name.begin(), name.end(), m.begin() + 1))
            return name;

    return {};
}
} // namespace

using AmplifierFaults = SimulatorFixture;

TEST_F (AmplifierFaults, RefusesAGivenBlockOnceByIndexOrOffset)
{
    const auto image = firmwareImage (1024, {});
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    amp.refuseBlockOnce (1);
    amp.refuseBlockOnceAtOffset (768);

    EXPECT_EQ (host.exchange (writeFlash (image, 0)).at (0), retWriteFlash (1));
    EXPECT_EQ (host.exchange (writeFlash (image, 256)).at (0), retWriteFlash (0));
    EXPECT_EQ (host.exchange (writeFlash (image, 256)).at (0), retWriteFlash (1));
    EXPECT_EQ (host.exchange (writeFlash (image, 512)).at (0), retWriteFlash (1));
    EXPECT_EQ (host.exchange (writeFlash (image, 768)).at (0), retWriteFlash (0));
    EXPECT_EQ (host.exchange (writeFlash (image, 768)).at (0), retWriteFlash (1));
    EXPECT_TRUE (amp.flashEquals (image));
}

TEST_F (AmplifierFaults, RefusesAllBlocksWhileAsked)
{
    const auto image = firmwareImage (512, {});
    sim::EmulatedAmplifier amp (service, bootloaderConfig (Bytes (4, 9)));
    HostPorts host ("Tarvo 40");
    amp.setRefuseAllBlocks (true);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (host.exchange (writeFlash (image, 0)).at (0), retWriteFlash (0));

    EXPECT_EQ (amp.getFlash(), Bytes (4, 9));
    amp.setRefuseAllBlocks (false);
    EXPECT_EQ (host.exchange (writeFlash (image, 0)).at (0), retWriteFlash (1));
}

TEST_F (AmplifierFaults, DropsTheReplyToTheKthMessage)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.dropReplyToMessage (1);
    amp.dropReplyToMessage (3);

    for (uint8_t sid = 0; sid < 5; ++sid)
        host.send (probeOn (sid));

    ASSERT_TRUE (amp.waitForReceivedMessages (5, hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());
    const auto replies = host.collector.get();
    ASSERT_EQ (replies.size(), 3u);
    EXPECT_EQ (replies[0][2], 0);
    EXPECT_EQ (replies[1][2], 2);
    EXPECT_EQ (replies[2][2], 4);
}

TEST_F (AmplifierFaults, DelaysReplies)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.setReplyDelayMs (300);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (300));
}

TEST_F (AmplifierFaults, SendsRepliesOfOtherNamesBeforeEachTransferReply)
{
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    amp.setOtherRepliesBeforeTransferReplies (3);

    const auto status = host.exchange (named ("GetFwStatus"), 4);
    ASSERT_EQ (status.size(), 4u);
    EXPECT_EQ (nameOf (status[0]), "RetFwInfo");
    EXPECT_EQ (nameOf (status[1]), "RetWriteFlash");
    EXPECT_EQ (nameOf (status[2]), "RetFwInfo");
    EXPECT_EQ (status[3], named ("RetFwStatus", { 0x00 }));

    const auto info = host.exchange (named ("GetFwInfo"), 4);
    ASSERT_EQ (info.size(), 4u);

    for (size_t i = 0; i < 3; ++i)
        EXPECT_NE (nameOf (info[i]), "RetFwInfo");

    EXPECT_EQ (nameOf (info[3]), "RetFwInfo");

    const auto write = host.exchange (writeFlash (Bytes (10, 1), 0), 4);
    ASSERT_EQ (write.size(), 4u);
    EXPECT_EQ (nameOf (write[0]), "RetFwStatus");
    EXPECT_EQ (write[3], retWriteFlash (1));

    // The framed replies get none.
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });
}

TEST_F (AmplifierFaults, SendsFramedRepliesWithAWrongChecksum)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.setWrongChecksumOnFramedReplies (true);

    for (const auto& query : { probe, serialQuery, infoQuery })
    {
        const auto reply = host.exchange (query).at (0);
        uint8_t x = 0;

        for (size_t i = 6; i + 1 < reply.size(); ++i)
            x ^= reply[i];

        EXPECT_NE (reply[3], x & 0x7f);
        EXPECT_LT (reply[3], 0x80);
    }

    auto expected = probeReply;
    expected[3] ^= 0x01;
    EXPECT_EQ (host.exchange (probe).at (0), expected);
}

TEST_F (AmplifierFaults, AnswersTheProbeWithAShortId)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.setProbeIdLength (5);
    EXPECT_EQ (host.exchange (probe).at (0),
               (Bytes { 0xf0, 0x01, 0x00, 0x06, 0x03, 0x12, 0x00, 0x54, 0x56, 0x34, 0x30, 0x00, 0xf7 }));
    amp.setProbeIdLength (0);
    EXPECT_EQ (host.exchange (probe).at (0), (Bytes { 0xf0, 0x01, 0x00, 0x00, 0x03, 0x12, 0xf7 }));
}

TEST_F (AmplifierFaults, SendsAnOverlongMessageBeforeEachReply)
{
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    amp.setOverlongMessageBeforeReplies (sim::EmulatedAmplifier::OverlongMessage::firmwareInfoNamed);

    auto replies = host.exchange (named ("GetFwStatus"), 2);
    ASSERT_EQ (replies.size(), 2u);
    ASSERT_EQ (replies[0].size(), 2000u);
    EXPECT_EQ (nameOf (replies[0]), "RetFwInfo");
    EXPECT_EQ (replies[0].back(), 0xf7);
    EXPECT_EQ (replies[1], named ("RetFwStatus", { 0x00 }));

    amp.setOverlongMessageBeforeReplies (sim::EmulatedAmplifier::OverlongMessage::frame);
    replies = host.exchange (probeOn (9), 2);
    ASSERT_EQ (replies.size(), 2u);
    const auto& longFrame = replies[0];
    ASSERT_EQ (longFrame.size(), 2000u);
    EXPECT_EQ (Bytes (longFrame.begin(), longFrame.begin() + 3), (Bytes { 0xf0, 0x01, 0x09 }));
    uint8_t x = 0;

    for (size_t i = 6; i + 1 < longFrame.size(); ++i)
        x ^= longFrame[i];

    EXPECT_EQ (longFrame[3], x & 0x7f);
    EXPECT_EQ (longFrame.back(), 0xf7);
    EXPECT_EQ (replies[1][2], 9);
    EXPECT_EQ (replies[1][4], 0x03);
}

TEST_F (AmplifierFaults, StaysSilentOnTheStringQueries)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.setSilentOnStringQueries (true);
    host.send (serialQuery);
    host.send (infoQuery);
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (host.collector.get().empty());
    EXPECT_EQ (host.exchange (probe).size(), 1u);

    amp.clearFaults();
    EXPECT_EQ (host.exchange (serialQuery).size(), 1u);
}

TEST_F (AmplifierFaults, NeverComesBackAfterARestart)
{
    sim::EmulatedAmplifier::Config config;
    config.restartTimeMs = 50;
    sim::EmulatedAmplifier amp (service, config);
    amp.setNeverComeBackAfterRestart (true);

    {
        HostPorts host ("Tarvo 40");
        host.send (named ("SetFwStatus", { 0x00 }));
    }

    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());   // no return is scheduled at all
    EXPECT_FALSE (amp.isPlugged());
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0"));
    EXPECT_EQ (amp.getNumRestarts(), 1);
}

TEST_F (AmplifierFaults, VanishesOnTheKthMessage)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.vanishOnMessage (2);

    host.send (probeOn (0));
    host.send (probeOn (1));
    host.send (probeOn (2));
    host.send (probeOn (3));
    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());

    EXPECT_EQ (host.collector.get().size(), 2u);
    EXPECT_EQ (amp.getNumReceivedMessages(), 3u);
    EXPECT_EQ (midi::getOutputNames(), juce::StringArray ("Midi Through Port-0"));

    amp.plug();
    HostPorts again ("Tarvo 40");
    EXPECT_EQ (again.exchange (probe), std::vector<Bytes> { probeReply });
}

TEST_F (AmplifierFaults, VanishesAfterKBlocks)
{
    const auto image = firmwareImage (1024, {});
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    amp.vanishAfterBlocks (2);

    EXPECT_EQ (host.exchange (writeFlash (image, 0)).at (0), retWriteFlash (1));
    EXPECT_EQ (host.exchange (writeFlash (image, 256)).at (0), retWriteFlash (1));
    host.send (writeFlash (image, 512));
    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (host.collector.get().size(), 2u);
    EXPECT_EQ (amp.getNumWriteFlashBlocksAccepted(), 2);
}

TEST_F (AmplifierFaults, ADelayedReplyIsNotSentOnceTheAmplifierHasLeft)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.setReplyDelayMs (200);
    host.send (probe);
    ASSERT_TRUE (amp.waitForReceivedMessages (1, hangGuardMs));
    amp.unplug();
    amp.plug();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (host.collector.get().empty());

    HostPorts again ("Tarvo 40");
    EXPECT_EQ (again.exchange (probe), std::vector<Bytes> { probeReply });
}
