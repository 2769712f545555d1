#include "FakeDevice.h"
#include "FirmwareUpdateSession.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <fstream>
#include <iostream>
#include <unistd.h>

using namespace sessiontest;

namespace
{
/** What the callbacks saw. */
struct CallbackLog
{
    std::vector<int> percents;
    int resets = 0, finishes = 0;
    bool resetResult = true;
    size_t sentAtFinish = 0;
};

size_t countNamed (const std::vector<Bytes>& messages, const std::string& name)
{
    return (size_t) std::count_if (messages.begin(), messages.end(), [&] (const Bytes& m) { return hasName (m, name); });
}

/** A device, the scripted bootloader and a session wired to a log. */
struct Update : public ::testing::Test
{
    Update() : amp (device)
    {
        session.progress_user_data_ = session.cb_user_data_ = &log;
        session.progress_cb_ = [] (JwDevice*, FirmwareUpdateSession*, int percent, void* user)
        {
            static_cast<CallbackLog*> (user)->percents.push_back (percent);
        };
        session.status_reset_cb_ = [] (JwDevice* d, FirmwareUpdateSession*, void* user)
        {
            ++static_cast<CallbackLog*> (user)->resets;
            std::cout << "<reconnect>" << std::endl;
            d->Close();
            return d->Open() && static_cast<CallbackLog*> (user)->resetResult;
        };
        session.finish_cb_ = [] (JwDevice* d, FirmwareUpdateSession*, void* user)
        {
            ++static_cast<CallbackLog*> (user)->finishes;
            static_cast<CallbackLog*> (user)->sentAtFinish = static_cast<FakeDevice*> (d)->sentCount();
            std::cout << "<finished>" << std::endl;
            return false;   // ignored
        };
    }

    void useImage (const Bytes& bytes)
    {
        image = bytes;
        session.fw_data_ = image.data();
        session.fw_size_ = (int) image.size();
    }

    bool perform (JwDevice* target = nullptr)
    {
        session.error_code_ = 0;
        testing::internal::CaptureStdout();
        const auto ok = session.Perform (target != nullptr ? target : &device);
        output = testing::internal::GetCapturedStdout();
        return ok;
    }

    /** The flash holds the image followed by zero padding only. */
    ::testing::AssertionResult flashHoldsImage() const
    {
        if (amp.flash.size() < image.size() || amp.flash.size() > image.size() + 255
             || ! std::equal (image.begin(), image.end(), amp.flash.begin())
             || std::any_of (amp.flash.begin() + (std::ptrdiff_t) image.size(), amp.flash.end(), [] (uint8_t b) { return b != 0; }))
            return ::testing::AssertionFailure() << "flash of " << amp.flash.size() << " bytes differs";

        return ::testing::AssertionSuccess();
    }

    void expectNoBlockAndNoFinalStatus() const
    {
        EXPECT_EQ (0u, countNamed (device.sent(), "WriteFlash"));
        EXPECT_EQ (0, std::count (amp.statusesSet.begin(), amp.statusesSet.end(), (uint8_t) 1));
        EXPECT_EQ (0, log.finishes);
    }

    FakeDevice device;
    FakeBootloader amp;
    FirmwareUpdateSession session;
    CallbackLog log;
    Bytes image;
    std::string output;
};

/** A fresh temporary directory, removed afterwards. */
struct TempDir
{
    TempDir()  { dir.createDirectory(); }
    ~TempDir() { dir.deleteRecursively(); }

    std::string path (const char* name) const { return dir.getChildFile (name).getFullPathName().toStdString(); }

    std::string write (const char* name, const Bytes& bytes) const
    {
        std::ofstream (path (name), std::ios::binary).write (reinterpret_cast<const char*> (bytes.data()), (std::streamsize) bytes.size());
        return path (name);
    }

    juce::File dir { juce::File::createTempFile ("sessions") };
};
} // namespace

//==============================================================================
TEST_F (Update, WholeImageGoesOutInOrder)
{
    useImage (makeImage (708859));
    ASSERT_TRUE (perform()) << session.error_code_;
    EXPECT_TRUE (flashHoldsImage());

    const auto sent = device.sent();
    ASSERT_EQ (2u + 1u + 2769u + 1u, sent.size());
    EXPECT_EQ (namedMessage ("GetFwStatus"), sent[0]);
    EXPECT_EQ (namedMessage ("SetFwStatus", { 0 }), sent[1]);
    EXPECT_EQ (namedMessage ("GetFwInfo"), sent[2]);
    EXPECT_EQ (namedMessage ("SetFwStatus", { 1 }), sent.back());

    size_t wireBytes = 0;

    for (size_t i = 0; i < 2769; ++i)
    {
        const auto& m = sent[3 + i];
        ASSERT_TRUE (hasName (m, "WriteFlash") && m.size() == 310) << i;
        ASSERT_EQ (i * 256, writeOffset (m));
        wireBytes += m.size();
    }

    EXPECT_EQ (858390u, wireBytes);

    // The last block: 251 image bytes and zero padding (the bootloader checks the sums).
    const auto& last = sent[3 + 2768];
    EXPECT_EQ ((Bytes { 0x00, 0x20, 0x2B, 0x00 }), Bytes (last.begin() + 11, last.begin() + 15));
    const auto block = unpack7 (last.data() + 15, 294);
    EXPECT_EQ (Bytes (5, 0), Bytes (block.begin() + 251, block.begin() + 256));

    // Progress once per block: 27 times 0, 1 after block 28, 100 at the end.
    ASSERT_EQ (2769u, log.percents.size());
    EXPECT_EQ (27, std::count (log.percents.begin(), log.percents.end(), 0));
    EXPECT_EQ (1, log.percents[27]);
    EXPECT_EQ (100, log.percents.back());
    EXPECT_TRUE (std::is_sorted (log.percents.begin(), log.percents.end()));

    // One reconnect; the finish after the final status, with nothing sent after it.
    EXPECT_EQ (1, log.resets);
    EXPECT_EQ (1, log.finishes);
    EXPECT_EQ (sent.size(), log.sentAtFinish);
    EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    EXPECT_EQ (image.data(), session.fw_data_);   // the caller's image stays the caller's

    // The printed lines, in the order of a real update.
    testing::internal::CaptureStdout();
    bootloader::printFirmwareInfo (sampleInfo());
    const auto description = testing::internal::GetCapturedStdout();
    EXPECT_EQ ("Get FW SID: 0\nGet FW Status: 1\nSet FW Status as 0\n<reconnect>\nWill sleep for 0 ms\n"
               "Sending GetFwInfo command\nSent GetFwInfo command\n" + description + "<finished>\n", output);
}

TEST_F (Update, StatusOtherThanOneSkipsTheResetAndOtherNamesAreDropped)
{
    useImage (makeImage (1500));
    amp.otherNamesFirst = true;   // every wait first sees the two other reply names

    for (const uint8_t status : { 0, 2, 0x7F })
    {
        SCOPED_TRACE ((int) status);
        amp.status = status;
        amp.statusesSet.clear();
        const auto writesBefore = countNamed (device.sent(), "WriteFlash");

        ASSERT_TRUE (perform());
        EXPECT_TRUE (flashHoldsImage());
        EXPECT_EQ (0, log.resets);
        EXPECT_EQ ((std::vector<uint8_t> { 1 }), amp.statusesSet);
        EXPECT_NE (std::string::npos, output.find ("Get FW Status: " + std::to_string (status) + "\n"));
        EXPECT_NE (std::string::npos, output.find ("FW Version: 1.2.3.37\n"));
        EXPECT_EQ (std::string::npos, output.find ("Set FW Status as 0"));
        EXPECT_EQ (6u, countNamed (device.sent(), "WriteFlash") - writesBefore);
    }
}

TEST_F (Update, BlockRefusedOnceIsResentByteForByte)
{
    // An odd size, and values near 255, so that the sum wraps.
    Bytes bytes (1000);

    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (uint8_t) (0xF0 + i % 16);

    useImage (bytes);
    amp.refuseOnce = { 512 };
    ASSERT_TRUE (perform());
    EXPECT_TRUE (flashHoldsImage());

    std::vector<Bytes> writes;

    for (const auto& m : device.sent())
        if (hasName (m, "WriteFlash"))
            writes.push_back (m);

    ASSERT_EQ (5u, writes.size());   // 4 blocks, one of them twice
    EXPECT_EQ (writes[2], writes[3]);
    EXPECT_EQ (512u, writeOffset (writes[3]));
    EXPECT_EQ ((std::vector<int> { 25, 51, 76, 100 }), log.percents);
    EXPECT_EQ (1, log.finishes);
}

TEST_F (Update, BlockRefusedTwiceFailsWith16)
{
    useImage (makeImage (2000));
    amp.refuseAlways = { 768 };

    // Queued before the update: a wait for another name drops it, so it answers no block.
    device.deliver (namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 1 }));

    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ ((std::vector<uint8_t> { 0 }), amp.statusesSet);
    EXPECT_EQ (0, log.finishes);
    EXPECT_EQ (3u, log.percents.size());
    EXPECT_EQ (5u, countNamed (device.sent(), "WriteFlash"));
    EXPECT_TRUE (hasName (device.sent().back(), "WriteFlash"));
}

TEST_F (Update, RepliesThatCannotBeReadEndTheirStep)
{
    using Fault = FakeBootloader::Fault;
    useImage (makeImage (1000));

    // Short, overlong (a failed read at once) or missing (a read that times out).
    const struct { const char* command; size_t offset; Fault fault; int code; size_t sent, writes; } cases[] = {
        { "GetFwStatus", 0, Fault::truncated, 11, 1, 0 },
        { "GetFwStatus", 0, Fault::overlong, 11, 1, 0 },
        { "GetFwInfo", 0, Fault::overlong, 14, 3, 0 },
        { "WriteFlash", 256, Fault::truncated, 16, 6, 3 },   // a refusal: resent once
        { "WriteFlash", 512, Fault::overlong, 16, 6, 3 },
        { "WriteFlash", 0, Fault::missing, 16, 4, 1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string (c.command) + " " + std::to_string (c.offset));
        FakeDevice fresh;
        FakeBootloader freshAmp (fresh);
        freshAmp.replyFaults[c.command] = c.fault;
        freshAmp.faultyWriteOffset = c.offset;

        EXPECT_FALSE (perform (&fresh));
        EXPECT_EQ (c.code, session.error_code_);
        EXPECT_EQ (c.sent, fresh.sentCount());
        EXPECT_EQ (c.writes, countNamed (fresh.sent(), "WriteFlash"));
        EXPECT_EQ (c.code == 14, output.find ("Cannot read RetFwInfo data!\n") != std::string::npos);
        EXPECT_EQ (0, std::count (freshAmp.statusesSet.begin(), freshAmp.statusesSet.end(), (uint8_t) 1));
    }

    EXPECT_EQ (0, log.finishes);
}

TEST_F (Update, FailedSendsMapToTheirSteps)
{
    useImage (makeImage (700));
    const struct { const char* command; int statusValue; int code; } cases[] = {
        { "GetFwStatus", -1, 11 }, { "SetFwStatus", 0, 12 }, { "GetFwInfo", -1, 14 },
        { "WriteFlash", -1, 16 }, { "SetFwStatus", 1, 12 }
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string (c.command) + " " + std::to_string (c.statusValue));
        amp.failingSends = { c.command };
        amp.failingSetStatusValue = c.statusValue;
        EXPECT_FALSE (perform());
        EXPECT_EQ (c.code, session.error_code_);
        EXPECT_EQ (0, log.finishes);
    }
}

TEST_F (Update, FailedReconnectEndsWith13)
{
    useImage (makeImage (700));
    log.resetResult = false;

    EXPECT_FALSE (perform());
    EXPECT_EQ (13, session.error_code_);
    EXPECT_EQ (2u, device.sentCount());   // "GetFwStatus", "SetFwStatus" 0
    EXPECT_EQ (1, log.resets);
    expectNoBlockAndNoFinalStatus();
}

TEST_F (Update, NullCallbacksAreSkippedAndDelaysKept)
{
    useImage (makeImage (300));
    session.progress_cb_ = nullptr;
    session.status_reset_cb_ = nullptr;
    session.finish_cb_ = nullptr;
    session.settle_delay_ms_ = 20;
    session.block_delay_ms_ = 5;

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE (perform());
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (3 * 20 + 2 * 5));
    EXPECT_NE (std::string::npos, output.find ("Will sleep for 20 ms\n"));
    EXPECT_TRUE (flashHoldsImage());
    EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    EXPECT_EQ (0, device.closes);
}

TEST_F (Update, EmptyImageSendsNoBlockAndSucceeds)
{
    TempDir temp;

    for (const bool fromFile : { false, true })
    {
        session.load_from_file_ = fromFile;
        session.fw_path_ = temp.write ("empty.bin", {});
        session.fw_data_ = nullptr;
        session.fw_size_ = 0;
        amp.statusesSet.clear();

        ASSERT_TRUE (perform());
        EXPECT_EQ (0u, countNamed (device.sent(), "WriteFlash"));
        EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    }

    EXPECT_TRUE (log.percents.empty());
    EXPECT_EQ (2, log.finishes);
}

TEST_F (Update, UnusableImagesAndFilesFailWith15BeforeAnyBlock)
{
    // Negative size, a missing image, and one too large for the offsets to reach (the
    // buffer behind it is small: it must not be read).
    Bytes small (100, 0x55);
    const std::pair<const uint8_t*, int> images[] = { { small.data(), -1 }, { nullptr, 100 }, { small.data(), 1 << 28 } };

    for (const auto& [data, size] : images)
    {
        SCOPED_TRACE (size);
        session.fw_data_ = data;
        session.fw_size_ = size;
        EXPECT_FALSE (perform());
        EXPECT_EQ (15, session.error_code_);
        expectNoBlockAndNoFinalStatus();
    }

    TempDir temp;
    std::vector<std::string> paths = { temp.path ("missing.bin"), temp.dir.getFullPathName().toStdString(), "" };

    // A sparse file of 2^28 bytes: the offsets cannot reach its end.
    paths.push_back (temp.write ("huge.bin", {}));
    ASSERT_EQ (0, truncate (paths.back().c_str(), (off_t) 1 << 28));

    session.load_from_file_ = true;

    for (const auto& p : paths)
    {
        SCOPED_TRACE (p);
        session.fw_path_ = p;
        EXPECT_FALSE (perform());
        EXPECT_EQ (15, session.error_code_);
        EXPECT_EQ (nullptr, session.fw_data_);
        EXPECT_EQ (0, session.fw_size_);
        expectNoBlockAndNoFinalStatus();
    }
}

TEST_F (Update, ImageFileIsLoadedAndReleased)
{
    TempDir temp;
    image = makeImage (5000, 99);
    session.fw_path_ = temp.write ("fw.bin", image);
    session.load_from_file_ = true;
    session.fw_data_ = reinterpret_cast<const uint8_t*> ("not this");
    session.fw_size_ = 8;

    ASSERT_TRUE (perform());
    EXPECT_TRUE (flashHoldsImage());
    EXPECT_EQ (nullptr, session.fw_data_);
    EXPECT_EQ (0, session.fw_size_);
    EXPECT_EQ (20u, log.percents.size());

    // Released on a failure after the load too.
    amp.refuseAlways = { 256 };
    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ (nullptr, session.fw_data_);
    EXPECT_EQ (0, session.fw_size_);
}

TEST (OwnIdSessions, NoDeviceOrNoOwnIdSendNothing)
{
    const auto image = makeImage (300);
    FirmwareUpdateSession update;
    update.fw_data_ = image.data();
    update.fw_size_ = (int) image.size();
    bootloader::DownloadFirmwareVersionSession read;

    for (auto* session : { static_cast<JwDeviceSession*> (&update), static_cast<JwDeviceSession*> (&read) })
    {
        EXPECT_FALSE (session->Perform (nullptr));
        EXPECT_EQ (8, session->error_code_);

        FakeDevice device;
        device.own_sid_ = -1;
        testing::internal::CaptureStdout();
        EXPECT_FALSE (session->Perform (&device));
        EXPECT_EQ ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ (10, session->error_code_);
        EXPECT_EQ (0u, device.sentCount());
    }
}
