#include "SimTestSupport.h"

using namespace simtest;

using AmplifierFirmware = SimulatorFixture;

TEST_F (AmplifierFirmware, RunningItReportsStatusAwaitsARestartAndRefusesWrites)
{
    const auto oldImage = firmwareImage (1024, 2);
    sim::EmulatedAmplifier::Config config;
    config.flash = oldImage;
    sim::EmulatedAmplifier amp (service, config);
    HostPorts host ("Tarvo 40");
    EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x01 }) });

    host.send (named ("SetFwStatus", { 0x00 }));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_EQ (host.collector.get().size(), 1u);   // no reply to SetFwStatus
    EXPECT_EQ (amp.getFirmwareStatus(), 1);
    EXPECT_FALSE (amp.isInBootloaderMode());

    EXPECT_EQ (host.exchange (writeFlash (firmwareImage (300), 0)), std::vector<Bytes> { retWriteFlash (0) });
    EXPECT_EQ (amp.getFlash(), oldImage);
}

TEST_F (AmplifierFirmware, AnswersFirmwareInfoWithThe84BytesAt0x400ZeroBeyondTheFlash)
{
    for (size_t size : { 5000, 0x400 + 20, 0 })
    {
        const auto flash = firmwareImage (size);
        sim::EmulatedAmplifier amp (service, bootloaderConfig (flash));
        HostPorts host ("Tarvo 40");

        const auto reply = host.exchange (named ("GetFwInfo")).at (0);
        ASSERT_EQ (reply.size(), 107u) << size;
        EXPECT_EQ (Bytes (reply.begin(), reply.begin() + 10), (Bytes { 0xf0, 'R', 'e', 't', 'F', 'w', 'I', 'n', 'f', 'o' }));
        EXPECT_EQ (reply.back(), 0xf7);
        EXPECT_TRUE (std::all_of (reply.begin() + 10, reply.end() - 1, [] (uint8_t b) { return b < 0x80; }));
        EXPECT_EQ (firmwareInfoOf (reply), recordIn (flash)) << size;
    }
}

TEST_F (AmplifierFirmware, WritesAWholeImageInBootloaderModeAndComparesWithPadding)
{
    const auto image = firmwareImage (1000 + 256 * 4 + 77, 3);
    sim::EmulatedAmplifier amp (service, bootloaderConfig (firmwareImage (3000, 9)));
    HostPorts host ("Tarvo 40");
    EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x00 }) });

    for (uint32_t offset = 0; offset < image.size(); offset += 256)
        EXPECT_EQ (host.exchange (writeFlash (image, offset)), std::vector<Bytes> { retWriteFlash (1) }) << offset;

    EXPECT_EQ (amp.getFlash().size(), 256 * 9u);   // the old, longer image is gone
    EXPECT_EQ (amp.getNumWriteFlashBlocksAccepted(), 9);
    EXPECT_EQ (firmwareInfoOf (host.exchange (named ("GetFwInfo")).at (0)), recordIn (image));

    EXPECT_TRUE (amp.flashEquals (image));
    auto other = image;
    other.back() ^= 1;
    EXPECT_FALSE (amp.flashEquals (other));
    EXPECT_FALSE (amp.flashEquals (Bytes (image.begin(), image.end() - 1)));   // a non-zero byte in the padding
    other = image;
    other.push_back (0);
    EXPECT_TRUE (amp.flashEquals (other));
    EXPECT_FALSE (amp.flashEquals (Bytes (image.begin(), image.end() - 300)));   // 256 or more extra bytes
}

TEST_F (AmplifierFirmware, PlacesABlockAtItsSevenBitOffset)
{
    const auto image = firmwareImage (16384 + 256, 5);
    sim::EmulatedAmplifier amp (service, bootloaderConfig (Bytes (10, 0xee)));
    HostPorts host ("Tarvo 40");

    const auto m = writeFlash (image, 16384);
    ASSERT_EQ (m.size(), 310u);
    EXPECT_EQ (Bytes (m.begin() + 11, m.begin() + 15), (Bytes { 0x00, 0x00, 0x01, 0x00 }));
    EXPECT_EQ (host.exchange (m), std::vector<Bytes> { retWriteFlash (1) });

    // Not at offset 0: the old contents stay, the gap is zero.
    auto expected = Bytes (10, 0xee);
    expected.resize (16384, 0);
    expected.insert (expected.end(), image.begin() + 16384, image.end());
    EXPECT_EQ (amp.getFlash(), expected);
}

TEST_F (AmplifierFirmware, RefusesABlockWithAWrongSumAndKeepsTheFlash)
{
    const auto oldImage = firmwareImage (1024, 2);
    const auto image = firmwareImage (512, 4);
    sim::EmulatedAmplifier amp (service, bootloaderConfig (oldImage));
    HostPorts host ("Tarvo 40");

    auto corrupt = writeFlash (image, 256);
    corrupt[200] ^= 0x01;   // changed in transit
    auto cut = writeFlash (image, 256);
    cut.erase (cut.begin() + 100, cut.begin() + 120);

    for (const auto& m : { writeFlash (image, 0, 1), corrupt, cut })
        EXPECT_EQ (host.exchange (m), std::vector<Bytes> { retWriteFlash (0) });

    EXPECT_EQ (amp.getFlash(), oldImage);
    EXPECT_EQ (amp.getNumWriteFlashBlocksAccepted(), 0);
}
