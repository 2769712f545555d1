#include "Bootloader.h"
#include "FakeDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

/** Calls GetFwInfo on a device that answers with the given messages; returns what it printed. */
std::string getFwInfo (const std::vector<Bytes>& replies, tagFirmwareInfo& record, bool& ok, FakeDevice& device)
{
    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        for (const auto& r : replies)
            d.deliver (r);

        return replies.empty() ? -1 : (int) m.size();
    };

    uint8_t sendBuf[512] {}, recvBuf[512] {};
    testing::internal::CaptureStdout();
    ok = GetFwInfo (&device, device.own_sid_, sendBuf, recvBuf, record);
    return testing::internal::GetCapturedStdout();
}
} // namespace

//==============================================================================
TEST (FirmwareTransfer, RecordIsEightyFourLittleEndianBytes)
{
    Bytes wire (84);

    for (size_t i = 0; i < wire.size(); ++i)
        wire[i] = (uint8_t) (i + 1);

    const auto info = bootloader::readFirmwareInfo (wire.data());
    EXPECT_EQ (9, info.fw_version[0]);
    EXPECT_EQ (0x100F0E0Du, info.fw_length);
    EXPECT_EQ (0x14131211u, info.checksum);
    EXPECT_EQ (0x18171615u, info.sectors[0].len);
    EXPECT_EQ (0x54535251u, info.sectors[7].checksum);
    EXPECT_EQ (wire, wireBytes (info));
}

TEST (FirmwareTransfer, ReplyStatusNeedsItsByteBeforeTheEnd)
{
    const struct { Bytes reply; size_t position; bool ok; uint8_t value; } cases[] = {
        { namedMessage ("RetFwStatus", { 7 }), bootloader::fwStatusPosition, true, 7 },
        { namedMessage ("RetFwStatus"), bootloader::fwStatusPosition, false, 0 },
        { namedMessage ("RetWriteFlash", { 9, 9, 9, 9, 1 }), bootloader::writeFlashStatusPosition, true, 1 },
        { namedMessage ("RetWriteFlash", { 1, 1, 1, 1 }), bootloader::writeFlashStatusPosition, false, 0 },
    };

    for (const auto& c : cases)
    {
        uint8_t value = 0;
        EXPECT_EQ (c.ok, bootloader::replyStatus (c.reply.data(), (int) c.reply.size(), c.position, value));
        EXPECT_EQ (c.value, value);
    }
}

//==============================================================================
TEST (GetFwInfo, FullReplyFillsTheRecordAndOtherNamesAreDropped)
{
    FakeDevice device;
    const auto reply = namedMessage ("RetFwInfo", pack7 (wireBytes (sampleInfo())));
    ASSERT_EQ (107u, reply.size());

    tagFirmwareInfo record {};
    bool ok = false;
    const auto out = getFwInfo ({ namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 1 }), namedMessage ("RetFwStatus", { 1 }), reply },
                                record, ok, device);
    ASSERT_TRUE (ok);
    EXPECT_EQ ("Sending GetFwInfo command\nSent GetFwInfo command\n", out);
    EXPECT_EQ (wireBytes (sampleInfo()), wireBytes (record));
    EXPECT_EQ (namedMessage ("GetFwInfo"), device.sent().at (0));
}

TEST (GetFwInfo, ShortAndLongestPayloadsAreUnpackedSafely)
{
    // A long message of another name is read into the buffer first and dropped; the
    // short record after it must not borrow its bytes.
    FakeDevice device;
    tagFirmwareInfo record = sampleInfo();
    bool ok = false;
    getFwInfo ({ namedMessage ("RetFwStatus", Bytes (400, 0x7F)), namedMessage ("RetFwInfo", pack7 ({ 'A', 'B', 'C', 'D', 1, 2, 3 })) },
               record, ok, device);
    ASSERT_TRUE (ok);

    Bytes expected { 'A', 'B', 'C', 'D', 1, 2, 3 };
    expected.resize (84, 0);
    EXPECT_EQ (expected, wireBytes (record));

    // 512 bytes in all, no F7 until the very end.
    getFwInfo ({ namedMessage ("RetFwInfo", Bytes (501, 0x11)) }, record, ok, device);
    ASSERT_TRUE (ok);
    EXPECT_EQ (0x11, record.fw_version[0]);
}

TEST (GetFwInfo, FailuresLeaveTheRecordAlone)
{
    FakeDevice device;
    tagFirmwareInfo record = sampleInfo();
    bool ok = true;

    // A failed send.
    EXPECT_EQ ("Sending GetFwInfo command\n", getFwInfo ({}, record, ok, device));
    EXPECT_FALSE (ok);
    EXPECT_EQ (wireBytes (sampleInfo()), wireBytes (record));

    // A reply longer than the receive buffer is a failed read, at once.
    EXPECT_EQ ("Sending GetFwInfo command\nSent GetFwInfo command\nCannot read RetFwInfo data!\n",
               getFwInfo ({ namedMessage ("RetFwInfo", Bytes (600, 0x01)) }, record, ok, device));
    EXPECT_FALSE (ok);
    EXPECT_EQ (wireBytes (sampleInfo()), wireBytes (record));
}

TEST (GetFwInfo, ChatterWithoutTheAwaitedReplyCannotHoldTheWaitForever)
{
    FakeDevice device;
    std::atomic<bool> stop { false };

    // Other replies keep coming, each well within a single read's time.
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
    std::string expected = "Got FW Info:\n";
    expected += std::string ("Device Name: EVT") + '\0' + "\n"
              + "Bootloader Version: 0.9.200.255\nFW Version: 1.2.3.37\nFW Length: 177214\nChecksum: 1636642624\n";
    const char* lens[8] = { "4096", "4096", "16384", "32768", "32768", "32768", "32768", "32768" };
    const char* sums[8] = { "-2147483648", "-2130640639", "-2113797630", "-2096954621",
                            "-2080111612", "-2063268603", "-2046425594", "-2029582585" };

    for (int i = 0; i < 8; ++i)
        expected += std::string ("Sector len: ") + lens[i] + " & checksum: " + sums[i] + "\n";

    testing::internal::CaptureStdout();
    bootloader::printFirmwareInfo (sampleInfo());
    EXPECT_EQ (expected, testing::internal::GetCapturedStdout());
}

//==============================================================================
TEST (DownloadFirmwareVersion, ReadsOnTheOwnIdAndTellsAFailedReadApartFromZeros)
{
    FakeDevice device;
    FakeBootloader amp (device);
    const auto perform = [&] (bootloader::DownloadFirmwareVersionSession& s)
    {
        testing::internal::CaptureStdout();
        const auto ok = s.Perform (&device);
        testing::internal::GetCapturedStdout();
        return ok;
    };

    bootloader::DownloadFirmwareVersionSession session;
    EXPECT_FALSE (session.hasFwInfo());
    ASSERT_TRUE (perform (session));
    EXPECT_TRUE (session.hasFwInfo());
    EXPECT_EQ (0, session.error_code_);
    EXPECT_EQ (wireBytes (sampleInfo()), wireBytes (session.fw_info_));

    amp.replyFaults["GetFwInfo"] = FakeBootloader::Fault::overlong;
    bootloader::DownloadFirmwareVersionSession failed;
    EXPECT_FALSE (perform (failed));
    EXPECT_FALSE (failed.hasFwInfo());
    EXPECT_EQ (0, failed.error_code_);
    EXPECT_EQ (Bytes (84, 0), wireBytes (failed.fw_info_));

    std::memset (amp.infoRecord, 0, sizeof (amp.infoRecord));
    amp.replyFaults.clear();
    bootloader::DownloadFirmwareVersionSession zeros;
    EXPECT_TRUE (perform (zeros));
    EXPECT_TRUE (zeros.hasFwInfo());
}
