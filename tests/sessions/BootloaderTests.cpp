#include "Bootloader.h"
#include "FakeDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

using namespace sessiontest;

namespace
{
Bytes wireBytes (const tagFirmwareInfo& info)
{
    Bytes b (84);
    bootloader::writeFirmwareInfo (info, b.data());
    return b;
}

Bytes retFwInfo (const tagFirmwareInfo& info)
{
    return namedMessage ("RetFwInfo", pack7 (wireBytes (info)));
}

/** The lines that the sample record prints. */
std::string samplePrintout()
{
    std::string s = "Got FW Info:\n";
    s += std::string ("Device Name: EVT") + '\0' + "\n";
    s += "Bootloader Version: 0.9.200.255\n";
    s += "FW Version: 1.2.3.37\n";
    s += "FW Length: 177214\n";
    s += "Checksum: 1636642624\n";

    const char* lens[8] = { "4096", "4096", "16384", "32768", "32768", "32768", "32768", "32768" };
    const char* sums[8] = { "-2147483648", "-2130640639", "-2113797630", "-2096954621",
                            "-2080111612", "-2063268603", "-2046425594", "-2029582585" };

    for (int i = 0; i < 8; ++i)
        s += std::string ("Sector len: ") + lens[i] + " & checksum: " + sums[i] + "\n";

    return s;
}
} // namespace

//==============================================================================
TEST (FirmwareInfo, RecordIsEightyFourPackedLittleEndianBytes)
{
    EXPECT_EQ (84u, sizeof (tagFirmwareInfo));
    EXPECT_EQ (0u, offsetof (tagFirmwareInfo, device_name));
    EXPECT_EQ (4u, offsetof (tagFirmwareInfo, bootloader_version));
    EXPECT_EQ (8u, offsetof (tagFirmwareInfo, fw_version));
    EXPECT_EQ (12u, offsetof (tagFirmwareInfo, fw_length));
    EXPECT_EQ (16u, offsetof (tagFirmwareInfo, checksum));
    EXPECT_EQ (20u, offsetof (tagFirmwareInfo, sectors));

    Bytes wire (84);

    for (size_t i = 0; i < wire.size(); ++i)
        wire[i] = (uint8_t) (i + 1);

    const auto info = bootloader::readFirmwareInfo (wire.data());
    EXPECT_EQ (0x100F0E0Du, info.fw_length);
    EXPECT_EQ (0x14131211u, info.checksum);
    EXPECT_EQ (0x18171615u, info.sectors[0].len);
    EXPECT_EQ (0x1C1B1A19u, info.sectors[0].checksum);
    EXPECT_EQ (0x54535251u, info.sectors[7].checksum);
    EXPECT_EQ (9, info.fw_version[0]);

    EXPECT_EQ (wire, wireBytes (info));
    EXPECT_EQ (0, std::memcmp (&info, wire.data(), 84));
}

TEST (FirmwareTransfer, CommandsAreExactBytes)
{
    uint8_t buf[bootloader::transferBufferSize];

    ASSERT_EQ (13u, bootloader::buildGetFwStatus (buf));
    EXPECT_EQ (namedMessage ("GetFwStatus"), Bytes (buf, buf + 13));

    ASSERT_EQ (14u, bootloader::buildSetFwStatus (buf, 0));
    EXPECT_EQ (namedMessage ("SetFwStatus", { 0 }), Bytes (buf, buf + 14));
    ASSERT_EQ (14u, bootloader::buildSetFwStatus (buf, 1));
    EXPECT_EQ (namedMessage ("SetFwStatus", { 1 }), Bytes (buf, buf + 14));

    ASSERT_EQ (11u, bootloader::buildGetFwInfo (buf));
    EXPECT_EQ (namedMessage ("GetFwInfo"), Bytes (buf, buf + 11));
}

TEST (FirmwareTransfer, WriteFlashCarriesOffsetBlockAndSum)
{
    const auto image = makeImage (708859);
    uint8_t buf[bootloader::transferBufferSize];

    const struct { size_t offset; Bytes offsetBytes; } cases[] = {
        { 0, { 0, 0, 0, 0 } },
        { 256, { 0, 2, 0, 0 } },
        { 16384, { 0, 0, 1, 0 } },
        { 708608, { 0x00, 0x20, 0x2B, 0x00 } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.offset);
        size_t carried = 0;
        ASSERT_EQ (310u, bootloader::buildWriteFlash (buf, image.data(), image.size(), c.offset, &carried));

        const Bytes m (buf, buf + 310);
        EXPECT_TRUE (hasName (m, "WriteFlash"));
        EXPECT_EQ (c.offsetBytes, Bytes (m.begin() + 11, m.begin() + 15));
        EXPECT_EQ (0xF7, m[309]);

        for (size_t i = 1; i < 309; ++i)
            ASSERT_LT (m[i], 0x80) << "data byte " << i;

        const auto expectedCount = std::min<size_t> (256, image.size() - c.offset);
        EXPECT_EQ (expectedCount, carried);

        const auto block = unpack7 (m.data() + 15, 294);
        ASSERT_EQ (257u, block.size());

        uint8_t sum = 0;

        for (size_t i = 0; i < expectedCount; ++i)
        {
            ASSERT_EQ (image[c.offset + i], block[i]);
            sum = (uint8_t) (sum + image[c.offset + i]);
        }

        for (size_t i = expectedCount; i < 256; ++i)
            EXPECT_EQ (0, block[i]);

        EXPECT_EQ (sum, block[256]);
    }
}

TEST (FirmwareTransfer, ReplyStatusNeedsAByteBeforeTheEnd)
{
    const auto status = namedMessage ("RetFwStatus", { 7 });
    uint8_t value = 0;
    ASSERT_TRUE (bootloader::replyStatus (status.data(), (int) status.size(), bootloader::fwStatusPosition, value));
    EXPECT_EQ (7, value);

    const auto bare = namedMessage ("RetFwStatus");
    EXPECT_FALSE (bootloader::replyStatus (bare.data(), (int) bare.size(), bootloader::fwStatusPosition, value));

    const auto write = namedMessage ("RetWriteFlash", { 9, 9, 9, 9, 1 });
    ASSERT_TRUE (bootloader::replyStatus (write.data(), (int) write.size(), bootloader::writeFlashStatusPosition, value));
    EXPECT_EQ (1, value);

    const auto shortWrite = namedMessage ("RetWriteFlash", { 1, 1, 1, 1 });
    EXPECT_FALSE (bootloader::replyStatus (shortWrite.data(), (int) shortWrite.size(), bootloader::writeFlashStatusPosition, value));
}

//==============================================================================
TEST (GetFwInfo, FullReplyFillsTheRecordAndOtherNamesAreDropped)
{
    FakeDevice device;
    const auto info = sampleInfo();

    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        d.deliver (namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 1 }));
        d.deliver (namedMessage ("RetFwStatus", { 1 }));
        const auto reply = retFwInfo (info);
        EXPECT_EQ (107u, reply.size());
        d.deliver (reply);
        return (int) m.size();
    };

    uint8_t sendBuf[512] {}, recvBuf[512] {};
    tagFirmwareInfo record {};

    testing::internal::CaptureStdout();
    const auto ok = GetFwInfo (&device, device.own_sid_, sendBuf, recvBuf, record);
    const auto out = testing::internal::GetCapturedStdout();

    ASSERT_TRUE (ok);
    EXPECT_EQ ("Sending GetFwInfo command\nSent GetFwInfo command\n", out);
    EXPECT_EQ (wireBytes (info), wireBytes (record));
    EXPECT_EQ (namedMessage ("GetFwInfo"), device.sent().at (0));
}

TEST (GetFwInfo, ChatterWithoutTheAwaitedReplyCannotHoldTheWaitForever)
{
    FakeDevice device;
    std::atomic<bool> stop { false };

    // Something keeps sending other replies, each well within a single read's time.
    std::thread chatter ([&]
    {
        while (! stop)
        {
            device.deliver (namedMessage ("RetFwStatus", { 1 }));
            std::this_thread::sleep_for (std::chrono::milliseconds (200));
        }
    });

    uint8_t recvBuf[512] {};
    const auto start = std::chrono::steady_clock::now();
    const auto n = bootloader::waitForReply (&device, device.own_sid_, "RetFwInfo", recvBuf, sizeof (recvBuf));
    const auto elapsed = std::chrono::steady_clock::now() - start;

    stop = true;
    chatter.join();

    EXPECT_EQ (n, -1);
    EXPECT_LT (elapsed, std::chrono::seconds (20));   // a guard: without a bound it never ends
}

TEST (GetFwInfo, PrintoutLinesAreExact)
{
    testing::internal::CaptureStdout();
    bootloader::printFirmwareInfo (sampleInfo());
    EXPECT_EQ (samplePrintout(), testing::internal::GetCapturedStdout());
}

TEST (GetFwInfo, ShortPayloadNeverPicksUpStaleBytes)
{
    FakeDevice device;
    uint8_t sendBuf[512] {}, recvBuf[512] {};

    // A long message of another name is read into the buffer first and dropped; the
    // short record after it must not borrow its bytes.
    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        d.deliver (namedMessage ("RetFwStatus", Bytes (400, 0x7F)));
        d.deliver (namedMessage ("RetFwInfo", pack7 ({ 'A', 'B', 'C', 'D', 1, 2, 3 })));
        return (int) m.size();
    };

    tagFirmwareInfo record = sampleInfo();
    testing::internal::CaptureStdout();
    ASSERT_TRUE (GetFwInfo (&device, device.own_sid_, sendBuf, recvBuf, record));
    testing::internal::GetCapturedStdout();

    Bytes expected (84, 0);
    expected[0] = 'A';
    expected[1] = 'B';
    expected[2] = 'C';
    expected[3] = 'D';
    expected[4] = 1;
    expected[5] = 2;
    expected[6] = 3;
    EXPECT_EQ (expected, wireBytes (record));
}

TEST (GetFwInfo, LongestPayloadThatFitsIsUnpackedSafely)
{
    FakeDevice device;
    uint8_t sendBuf[512] {}, recvBuf[512] {};

    // 512 bytes in all, no F7 until the very end: 501 packed bytes.
    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        d.deliver (namedMessage ("RetFwInfo", Bytes (501, 0x11)));
        return (int) m.size();
    };

    tagFirmwareInfo record {};
    testing::internal::CaptureStdout();
    ASSERT_TRUE (GetFwInfo (&device, device.own_sid_, sendBuf, recvBuf, record));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ (0x11, record.fw_version[0]);
}

TEST (GetFwInfo, FailuresLeaveTheRecordAlone)
{
    FakeDevice device;
    uint8_t sendBuf[512] {}, recvBuf[512] {};
    const auto before = sampleInfo();

    // A failed send: false, nothing more printed.
    device.responder = [] (FakeDevice&, const Bytes&) { return -1; };
    tagFirmwareInfo record = before;
    testing::internal::CaptureStdout();
    EXPECT_FALSE (GetFwInfo (&device, device.own_sid_, sendBuf, recvBuf, record));
    EXPECT_EQ ("Sending GetFwInfo command\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ (wireBytes (before), wireBytes (record));

    // A reply longer than the receive buffer is a failed read, at once.
    device.responder = [] (FakeDevice& d, const Bytes& m)
    {
        d.deliver (namedMessage ("RetFwInfo", Bytes (600, 0x01)));
        return (int) m.size();
    };
    testing::internal::CaptureStdout();
    EXPECT_FALSE (GetFwInfo (&device, device.own_sid_, sendBuf, recvBuf, record));
    EXPECT_EQ ("Sending GetFwInfo command\nSent GetFwInfo command\nCannot read RetFwInfo data!\n",
               testing::internal::GetCapturedStdout());
    EXPECT_EQ (wireBytes (before), wireBytes (record));
}

//==============================================================================
TEST (DownloadFirmwareVersion, ReadsOnTheOwnIdAndMarksTheRecord)
{
    FakeDevice device;
    FakeBootloader amp (device);

    bootloader::DownloadFirmwareVersionSession session;
    EXPECT_FALSE (session.hasFwInfo());
    EXPECT_EQ (Bytes (84, 0), wireBytes (session.fw_info_));
    EXPECT_EQ (3000, session.timeout_ms_);

    testing::internal::CaptureStdout();
    const auto ok = session.Perform (&device);
    testing::internal::GetCapturedStdout();

    ASSERT_TRUE (ok);
    EXPECT_TRUE (session.hasFwInfo());
    EXPECT_EQ (0, session.error_code_);
    EXPECT_EQ (wireBytes (sampleInfo()), wireBytes (session.fw_info_));
    EXPECT_EQ (1, session.fw_info_.fw_version[0]);
    EXPECT_EQ (37, session.fw_info_.fw_version[3]);
}

TEST (DownloadFirmwareVersion, FailedReadIsToldApartFromZeros)
{
    FakeDevice device;
    FakeBootloader amp (device);
    amp.replyFaults["GetFwInfo"] = FakeBootloader::Fault::overlong;

    bootloader::DownloadFirmwareVersionSession session;
    testing::internal::CaptureStdout();
    EXPECT_FALSE (session.Perform (&device));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE (session.hasFwInfo());
    EXPECT_EQ (0, session.error_code_);
    EXPECT_EQ (Bytes (84, 0), wireBytes (session.fw_info_));

    // A record of all zeros that did arrive counts as read.
    std::memset (amp.infoRecord, 0, sizeof (amp.infoRecord));
    amp.replyFaults.clear();
    bootloader::DownloadFirmwareVersionSession zeros;
    testing::internal::CaptureStdout();
    EXPECT_TRUE (zeros.Perform (&device));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE (zeros.hasFwInfo());
}

TEST (DownloadFirmwareVersion, NoDeviceOrNoOwnIdFail)
{
    bootloader::DownloadFirmwareVersionSession session;
    EXPECT_FALSE (session.Perform (nullptr));
    EXPECT_EQ (8, session.error_code_);

    FakeDevice device;
    const auto ownSid = device.own_sid_;
    device.own_sid_ = -1;

    bootloader::DownloadFirmwareVersionSession orphan;
    EXPECT_FALSE (orphan.Perform (&device));
    EXPECT_EQ (10, orphan.error_code_);
    EXPECT_EQ (0u, device.sentCount());
    device.own_sid_ = ownSid;
}
