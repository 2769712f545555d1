#include "SimTestSupport.h"

using namespace simtest;

namespace
{
Bytes retWriteFlash (uint8_t status) { return named ("RetWriteFlash", { 0, 0, 0, 0, status }); }

/** Sends every block of image and returns the status bytes of the replies. */
std::vector<uint8_t> flashImage (HostPorts& host, const Bytes& image)
{
    std::vector<uint8_t> statuses;

    for (uint32_t offset = 0; offset < image.size(); offset += 256)
    {
        const auto replies = host.exchange (writeFlash (image, offset));

        if (replies.empty())
            break;

        EXPECT_EQ (replies.back().size(), 20u);
        statuses.push_back (replies.back().size() > 18 ? replies.back()[18] : 0xff);
    }

    return statuses;
}
} // namespace

using AmplifierFirmware = SimulatorFixture;

TEST_F (AmplifierFirmware, ReportsItsStatus)
{
    sim::EmulatedAmplifier running (service);
    HostPorts host ("Tarvo 40");
    EXPECT_EQ (host.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x01 }) });

    auto config = bootloaderConfig();
    config.portName = "Tarvo 40 B";
    sim::EmulatedAmplifier boot (service, config);
    HostPorts host2 ("Tarvo 40 B");
    EXPECT_EQ (host2.exchange (named ("GetFwStatus")), std::vector<Bytes> { named ("RetFwStatus", { 0x00 }) });
}

TEST_F (AmplifierFirmware, SetStatusIsNotAnsweredAndWaitsForARestart)
{
    sim::EmulatedAmplifier amp (service);
    HostPorts host ("Tarvo 40");
    host.send (named ("SetFwStatus", { 0x00 }));
    ASSERT_TRUE (service.waitUntilIdle());
    EXPECT_TRUE (host.collector.get().empty());
    EXPECT_EQ (amp.getFirmwareStatus(), 1);
    EXPECT_FALSE (amp.isInBootloaderMode());
}

TEST_F (AmplifierFirmware, AnswersFirmwareInfoWithTheRecordAt0x400)
{
    const auto record = defaultRecord();
    auto config = bootloaderConfig (firmwareImage (5000, record));
    config.bootloaderMode = false;
    sim::EmulatedAmplifier amp (service, config);
    HostPorts host ("Tarvo 40");

    const auto replies = host.exchange (named ("GetFwInfo"));
    ASSERT_EQ (replies.size(), 1u);
    const auto& reply = replies[0];
    ASSERT_EQ (reply.size(), 107u);
    EXPECT_EQ (Bytes (reply.begin(), reply.begin() + 10), (Bytes { 0xf0, 'R', 'e', 't', 'F', 'w', 'I', 'n', 'f', 'o' }));
    EXPECT_EQ (reply.back(), 0xf7);

    const Bytes packed (reply.begin() + 10, reply.end() - 1);

    for (auto b : packed)
        EXPECT_LT (b, 0x80);

    EXPECT_EQ (unpack7 (packed), record);
    // The sector checksums carry bit 7: the header of the group holding byte 27 says so.
    EXPECT_EQ (packed[3 * 8] & 0x40, 0x40);
}

TEST_F (AmplifierFirmware, AShortFlashReadsAsZerosBeyondItsEnd)
{
    const auto record = defaultRecord();
    auto image = firmwareImage (0x400 + 20, record);
    sim::EmulatedAmplifier amp (service, bootloaderConfig (image));
    HostPorts host ("Tarvo 40");

    auto expected = Bytes (record.begin(), record.begin() + 20);
    expected.resize (84, 0);
    const auto reply = host.exchange (named ("GetFwInfo")).at (0);
    ASSERT_EQ (reply.size(), 107u);
    EXPECT_EQ (unpack7 (Bytes (reply.begin() + 10, reply.end() - 1)), expected);

    sim::EmulatedAmplifier::Config empty;
    empty.portName = "Empty";
    sim::EmulatedAmplifier blank (service, empty);
    HostPorts host2 ("Empty");
    const auto zeros = host2.exchange (named ("GetFwInfo")).at (0);
    EXPECT_EQ (zeros, named ("RetFwInfo", Bytes (96, 0)));
}

TEST_F (AmplifierFirmware, WritesAWholeImageInBootloaderMode)
{
    const auto oldImage = firmwareImage (3000, defaultRecord(), 9);
    const auto image = firmwareImage (1000 + 256 * 4 + 77, defaultRecord(), 3);
    sim::EmulatedAmplifier amp (service, bootloaderConfig (oldImage));
    HostPorts host ("Tarvo 40");

    const auto statuses = flashImage (host, image);
    EXPECT_EQ (statuses, std::vector<uint8_t> (statuses.size(), 1));
    EXPECT_EQ (statuses.size(), (image.size() + 255) / 256);
    EXPECT_TRUE (amp.flashEquals (image));
    EXPECT_EQ (amp.getFlash().size(), 256 * statuses.size());   // the old, longer image is gone
    EXPECT_EQ (amp.getNumWriteFlashBlocksAccepted(), static_cast<int> (statuses.size()));

    // GetFwInfo now reads the new record.
    const auto reply = host.exchange (named ("GetFwInfo")).at (0);
    EXPECT_EQ (unpack7 (Bytes (reply.begin() + 10, reply.end() - 1)), defaultRecord());
}

TEST_F (AmplifierFirmware, FlashEqualsRejectsWrongContentOrPadding)
{
    const auto image = firmwareImage (600, {}, 5);
    sim::EmulatedAmplifier amp (service, bootloaderConfig());
    HostPorts host ("Tarvo 40");
    flashImage (host, image);

    EXPECT_TRUE (amp.flashEquals (image));
    auto other = image;
    other[599] ^= 1;
    EXPECT_FALSE (amp.flashEquals (other));
    EXPECT_FALSE (amp.flashEquals (Bytes (image.begin(), image.end() - 1)));   // a non-zero byte in the padding
    auto longer = image;
    longer.push_back (0);
    EXPECT_TRUE (amp.flashEquals (longer));
    EXPECT_FALSE (amp.flashEquals (Bytes (image.begin(), image.begin() + 256)));   // 512 extra bytes
}

TEST_F (AmplifierFirmware, PlacesBlocksAtTheirSevenBitOffsets)
{
    Bytes image (16384 + 256, 0);

    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t> (i * 7 + 1);

    sim::EmulatedAmplifier amp (service, bootloaderConfig (Bytes (10, 0xee)));
    HostPorts host ("Tarvo 40");

    const auto m = writeFlash (image, 16384);
    ASSERT_EQ (m.size(), 310u);
    EXPECT_EQ (Bytes (m.begin() + 11, m.begin() + 15), (Bytes { 0x00, 0x00, 0x01, 0x00 }));
    EXPECT_EQ (host.exchange (m), std::vector<Bytes> { retWriteFlash (1) });

    // Not at offset 0: the old contents stay, the gap is zero.
    const auto flash = amp.getFlash();
    ASSERT_EQ (flash.size(), 16384u + 256u);
    EXPECT_EQ (Bytes (flash.begin(), flash.begin() + 10), Bytes (10, 0xee));
    EXPECT_EQ (Bytes (flash.begin() + 10, flash.begin() + 16384), Bytes (16384 - 10, 0));
    EXPECT_EQ (Bytes (flash.begin() + 16384, flash.end()), Bytes (image.begin() + 16384, image.end()));

    const auto at256 = writeFlash (image, 256);
    EXPECT_EQ (Bytes (at256.begin() + 11, at256.begin() + 15), (Bytes { 0x00, 0x02, 0x00, 0x00 }));
    EXPECT_EQ (host.exchange (at256), std::vector<Bytes> { retWriteFlash (1) });
    EXPECT_EQ (amp.getFlash()[256], image[256]);
}

TEST_F (AmplifierFirmware, RefusesABlockWithAWrongSumAndKeepsTheFlash)
{
    const auto oldImage = firmwareImage (1024, {}, 2);
    const auto image = firmwareImage (512, {}, 4);
    sim::EmulatedAmplifier amp (service, bootloaderConfig (oldImage));
    HostPorts host ("Tarvo 40");

    EXPECT_EQ (host.exchange (writeFlash (image, 0, 1)), std::vector<Bytes> { retWriteFlash (0) });
    EXPECT_EQ (amp.getFlash(), oldImage);
    EXPECT_EQ (amp.getNumWriteFlashBlocksAccepted(), 0);

    // A block with its sum byte corrupted in transit, and a cut-short message.
    auto corrupt = writeFlash (image, 256);
    corrupt[200] ^= 0x01;
    EXPECT_EQ (host.exchange (corrupt), std::vector<Bytes> { retWriteFlash (0) });
    auto cut = writeFlash (image, 256);
    cut.erase (cut.begin() + 100, cut.begin() + 120);
    EXPECT_EQ (host.exchange (cut), std::vector<Bytes> { retWriteFlash (0) });
    EXPECT_EQ (amp.getFlash(), oldImage);
}

TEST_F (AmplifierFirmware, RefusesWritesWhenNotInBootloaderMode)
{
    const auto oldImage = firmwareImage (1024, {}, 2);
    sim::EmulatedAmplifier::Config config;
    config.flash = oldImage;
    sim::EmulatedAmplifier amp (service, config);
    HostPorts host ("Tarvo 40");

    EXPECT_EQ (host.exchange (writeFlash (firmwareImage (300, {}), 0)), std::vector<Bytes> { retWriteFlash (0) });
    EXPECT_EQ (amp.getFlash(), oldImage);
}
