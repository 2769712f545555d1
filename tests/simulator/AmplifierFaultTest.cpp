#include "SimTestSupport.h"

using namespace simtest;

namespace
{
Bytes probeOn (uint8_t sid) { return request (sid, 0x12); }

std::string nameOf (const Bytes& m)
{
    for (std::string name : { "RetFwStatus", "RetFwInfo", "RetWriteFlash" })
        if (m.size() > name.size() && std::equal (name.begin(), name.end(), m.begin() + 1))
            return name;

    return {};
}

bool hasValidChecksum (const Bytes& frame)
{
    uint8_t x = 0;

    for (size_t i = 6; i + 1 < frame.size(); ++i)
        x ^= frame[i];

    return frame.size() > 6 && frame[3] == (x & 0x7f);
}
} // namespace

using AmplifierFaults = SimulatorFixture;

TEST_F (AmplifierFaults, RefusesBlocksOnceByIndexOrOffsetOrAllWhileAsked)
{
    const auto image = firmwareImage (1024);
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    amp.refuseBlockOnce (1);
    amp.refuseBlockOnceAtOffset (768);

    for (auto [offset, status] : { std::pair<uint32_t, uint8_t> { 0, 1 }, { 256, 0 }, { 256, 1 },
                                   { 512, 1 }, { 768, 0 }, { 768, 1 } })
        EXPECT_EQ (host.exchange (writeFlash (image, offset)).at (0), retWriteFlash (status)) << offset;

    EXPECT_TRUE (amp.flashEquals (image));

    const auto other = firmwareImage (256, 7);
    amp.setRefuseAllBlocks (true);

    for (int i = 0; i < 2; ++i)
        EXPECT_EQ (host.exchange (writeFlash (other, 0)).at (0), retWriteFlash (0));

    EXPECT_TRUE (amp.flashEquals (image));
    amp.setRefuseAllBlocks (false);
    EXPECT_EQ (host.exchange (writeFlash (other, 0)).at (0), retWriteFlash (1));
    EXPECT_TRUE (amp.flashEquals (other));
}

TEST_F (AmplifierFaults, DropsCorruptsShortensOrWithholdsFramedReplies)
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
    EXPECT_EQ (replies[0], probeReply);
    EXPECT_EQ (replies[1][2], 2);
    EXPECT_EQ (replies[2][2], 4);

    amp.setWrongChecksumOnFramedReplies (true);

    for (const auto& query : { probe, request (2, 0x23), request (2, 0x11) })
    {
        const auto reply = host.exchange (query).at (0);
        EXPECT_FALSE (hasValidChecksum (reply));
        EXPECT_LT (reply[3], 0x80);
    }

    amp.clearFaults();
    amp.setProbeIdLength (5);
    EXPECT_EQ (host.exchange (probe).at (0),
               (Bytes { 0xf0, 0x01, 0x00, 0x06, 0x03, 0x12, 0x00, 0x54, 0x56, 0x34, 0x30, 0x00, 0xf7 }));
    amp.setProbeIdLength (0);
    EXPECT_EQ (host.exchange (probe).at (0), (Bytes { 0xf0, 0x01, 0x00, 0x00, 0x03, 0x12, 0xf7 }));

    amp.clearFaults();
    amp.setSilentOnStringQueries (true);
    const auto before = host.collector.get().size();
    host.send (request (2, 0x23));
    host.send (request (2, 0x11));
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });   // the only reply
    EXPECT_EQ (host.collector.get().size(), before + 1);

    amp.clearFaults();
    EXPECT_EQ (host.exchange (request (2, 0x23)).size(), 1u);
}

TEST_F (AmplifierFaults, DelaysRepliesAndDropsADelayedOneOnceTheAmplifierHasLeft)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    amp.setReplyDelayMs (200);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (200));

    host.send (probe);
    ASSERT_TRUE (amp.waitForReceivedMessages (2, hangGuardMs));
    amp.unplug();
    amp.plug();
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (host.collector.get().size(), 1u);

    HostPorts again ("Tarvo 40");
    EXPECT_EQ (again.exchange (probe), std::vector<Bytes> { probeReply });
}

TEST_F (AmplifierFaults, SendsRepliesOfOtherNamesBeforeEachTransferReply)
{
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    amp.setOtherRepliesBeforeTransferReplies (3);

    for (const auto& [message, reply] : { std::pair<Bytes, Bytes> { named ("GetFwStatus"), named ("RetFwStatus", { 0x00 }) },
                                          { named ("GetFwInfo"), named ("RetFwInfo", Bytes (96, 0)) },
                                          { writeFlash (Bytes (10, 1), 0), retWriteFlash (1) } })
    {
        const auto replies = host.exchange (message, 4);
        ASSERT_EQ (replies.size(), 4u);
        EXPECT_EQ (replies[3], reply);

        for (size_t i = 0; i < 3; ++i)
        {
            EXPECT_NE (nameOf (replies[i]), nameOf (reply));
            EXPECT_NE (nameOf (replies[i]), "");
        }
    }

    // The framed replies get none.
    EXPECT_EQ (host.exchange (probe), std::vector<Bytes> { probeReply });
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
    ASSERT_EQ (replies[0].size(), 2000u);
    EXPECT_EQ (Bytes (replies[0].begin(), replies[0].begin() + 3), (Bytes { 0xf0, 0x01, 0x09 }));
    EXPECT_TRUE (hasValidChecksum (replies[0]));
    EXPECT_EQ (replies[0].back(), 0xf7);
    EXPECT_EQ (replies[1][2], 9);
    EXPECT_EQ (replies[1][4], 0x03);
}

TEST_F (AmplifierFaults, NeverComesBackAfterARestart)
{
    sim::EmulatedAmplifier::Config config;
    config.restartTimeMs = 50;
    sim::EmulatedAmplifier amp (service, config);
    amp.setNeverComeBackAfterRestart (true);
    HostPorts ("Tarvo 40").send (named ("SetFwStatus", { 0x00 }));

    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());   // no return is scheduled at all
    EXPECT_FALSE (amp.isPlugged());
    EXPECT_EQ (midi::getInputNames(), juce::StringArray ("Midi Through Port-0"));
    EXPECT_EQ (amp.getNumRestarts(), 1);
}

TEST_F (AmplifierFaults, VanishesAfterKBlocksOrOnTheKthMessage)
{
    const auto image = firmwareImage (1024);
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
    EXPECT_EQ (midi::getOutputNames(), juce::StringArray ("Midi Through Port-0"));

    amp.clearFaults();
    amp.plug();
    HostPorts again ("Tarvo 40");
    amp.vanishOnMessage (4);   // messages 0 to 2 were the blocks

    for (uint8_t sid = 0; sid < 3; ++sid)
        again.send (probeOn (sid));

    ASSERT_TRUE (amp.waitUntilPlugged (false, hangGuardMs));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (again.collector.get(), std::vector<Bytes> { probeReply });
    EXPECT_EQ (amp.getNumReceivedMessages(), 5u);
}

TEST_F (AmplifierFaults, PortsRefuseToOpenOnceTheirOpensAreSpent)
{
    sim::EmulatedAmplifier amp (service);
    service.refuseOpensAfter (amp.getDeviceId(), 3);

    HostPorts first ("Tarvo 40");
    ASSERT_TRUE (first.isOpen());
    HostPorts second ("Tarvo 40");
    EXPECT_NE (second.input, nullptr);
    EXPECT_EQ (second.output, nullptr);
    EXPECT_FALSE (HostPorts ("Tarvo 40").isOpen());
    EXPECT_TRUE (HostPorts ("Midi Through Port-0").isOpen());
    EXPECT_EQ (first.exchange (probe), std::vector<Bytes> { probeReply });   // open ports keep working

    service.refuseOpensAfter (amp.getDeviceId(), -1);
    EXPECT_TRUE (HostPorts ("Tarvo 40").isOpen());
}
