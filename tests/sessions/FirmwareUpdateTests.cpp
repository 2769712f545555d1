#include "FakeDevice.h"
#include "FirmwareUpdateSession.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

using namespace sessiontest;

namespace
{
/** What the callbacks saw. */
struct CallbackLog
{
    std::vector<int> percents;
    std::vector<void*> progressUsers;
    int resets = 0;
    int finishes = 0;
    bool resetResult = true;
    void* seenUser = nullptr;
    FakeDevice* device = nullptr;
    size_t sentAtFinish = 0;
};

CallbackLog* logOf (void* user)
{
    return static_cast<CallbackLog*> (user);
}

void recordProgress (JwDevice*, FirmwareUpdateSession*, int percent, void* user)
{
    logOf (user)->percents.push_back (percent);
    logOf (user)->progressUsers.push_back (user);
}

bool recordReset (JwDevice* device, FirmwareUpdateSession*, void* user)
{
    auto* log = logOf (user);
    ++log->resets;
    log->seenUser = user;
    std::cout << "<reconnect>" << std::endl;

    // A reconnect closes and reopens the same device.
    device->Close();
    return device->Open() && log->resetResult;
}

bool recordFinish (JwDevice*, FirmwareUpdateSession*, void* user)
{
    auto* log = logOf (user);
    ++log->finishes;
    log->sentAtFinish = log->device->sentCount();
    std::cout << "<finished>" << std::endl;
    return false;   // ignored
}

std::vector<std::string> linesOf (const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in (text);

    for (std::string line; std::getline (in, line);)
        lines.push_back (line);

    return lines;
}

size_t countNamed (const std::vector<Bytes>& messages, const std::string& name)
{
    size_t n = 0;

    for (const auto& m : messages)
        if (hasName (m, name))
            ++n;

    return n;
}

/** A test fixture: a device, the scripted bootloader and a session wired to a log. */
struct Update : public ::testing::Test
{
    Update() : amp (device)
    {
        log.device = &device;
        session.timeout_ms_ = 3000;
        session.progress_cb_ = recordProgress;
        session.progress_user_data_ = &log;
        session.status_reset_cb_ = recordReset;
        session.finish_cb_ = recordFinish;
        session.cb_user_data_ = &log;
    }

    void useImage (const Bytes& bytes)
    {
        image = bytes;
        session.fw_data_ = image.data();
        session.fw_size_ = (int) image.size();
    }

    bool perform()
    {
        testing::internal::CaptureStdout();
        const auto ok = session.Perform (&device);
        output = testing::internal::GetCapturedStdout();
        return ok;
    }

    /** The flash holds the image followed by zero padding only. */
    ::testing::AssertionResult flashHoldsImage() const
    {
        if (amp.flash.size() < image.size() || amp.flash.size() > image.size() + 255)
            return ::testing::AssertionFailure() << "flash has " << amp.flash.size() << " bytes";

        if (! std::equal (image.begin(), image.end(), amp.flash.begin()))
            return ::testing::AssertionFailure() << "flash differs from the image";

        for (auto i = image.size(); i < amp.flash.size(); ++i)
            if (amp.flash[i] != 0)
                return ::testing::AssertionFailure() << "padding byte " << i << " is not zero";

        return ::testing::AssertionSuccess();
    }

    void expectNoBlockAndNoFinalStatus() const
    {
        const auto sent = device.sent();
        EXPECT_EQ (0u, countNamed (sent, "WriteFlash"));
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

/** A file in a fresh temporary directory, removed afterwards. */
struct TempDir
{
    TempDir() : dir (juce::File::createTempFile ("sessions"))
    {
        dir.createDirectory();
    }

    ~TempDir()
    {
        dir.deleteRecursively();
    }

    std::string path (const char* name) const
    {
        return dir.getChildFile (name).getFullPathName().toStdString();
    }

    std::string write (const char* name, const Bytes& bytes) const
    {
        const auto p = path (name);
        std::ofstream out (p, std::ios::binary);
        out.write (reinterpret_cast<const char*> (bytes.data()), (std::streamsize) bytes.size());
        return p;
    }

    juce::File dir;
};
} // namespace

//==============================================================================
TEST_F (Update, WholeImageGoesOutInOrder)
{
    useImage (makeImage (708859));
    ASSERT_TRUE (perform()) << session.error_code_;
    EXPECT_EQ (0, session.error_code_);
    EXPECT_TRUE (flashHoldsImage());
    EXPECT_EQ (0, amp.malformedWrites);
    EXPECT_EQ (0, amp.sumMismatches);

    // The messages, in order.
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
        ASSERT_TRUE (hasName (m, "WriteFlash")) << i;
        ASSERT_EQ (310u, m.size()) << i;
        wireBytes += m.size();

        const size_t offset = (size_t) m[11] | ((size_t) m[12] << 7) | ((size_t) m[13] << 14) | ((size_t) m[14] << 21);
        ASSERT_EQ (i * 256, offset);
    }

    EXPECT_EQ (858390u, wireBytes);

    // The last block: 251 image bytes, zero padding, their sum.
    const auto& last = sent[3 + 2768];
    EXPECT_EQ ((Bytes { 0x00, 0x20, 0x2B, 0x00 }), Bytes (last.begin() + 11, last.begin() + 15));
    const auto block = unpack7 (last.data() + 15, 294);
    uint8_t sum = 0;

    for (size_t i = 0; i < 251; ++i)
        sum = (uint8_t) (sum + image[708608 + i]);

    EXPECT_EQ (Bytes (5, 0), Bytes (block.begin() + 251, block.begin() + 256));
    EXPECT_EQ (sum, block[256]);

    // Progress: once per block, 27 times 0, 1 after block 28, 100 at the end.
    ASSERT_EQ (2769u, log.percents.size());
    EXPECT_EQ (27, std::count (log.percents.begin(), log.percents.end(), 0));
    EXPECT_EQ (1, log.percents[27]);
    EXPECT_EQ (100, log.percents.back());
    EXPECT_TRUE (std::is_sorted (log.percents.begin(), log.percents.end()));
    EXPECT_EQ (&log, log.progressUsers.front());

    // Both reconnects; the finish after the final status, with nothing sent after it.
    EXPECT_EQ (1, log.resets);
    EXPECT_EQ (&log, log.seenUser);
    EXPECT_EQ (1, log.finishes);
    EXPECT_EQ (sent.size(), log.sentAtFinish);
    EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    EXPECT_EQ (1, device.closes);
    EXPECT_EQ (1, device.opens);

    // The caller's image is untouched and still referenced.
    EXPECT_EQ (image.data(), session.fw_data_);
    EXPECT_EQ (708859, session.fw_size_);

    // The printed lines, in the order of a real update.
    const auto lines = linesOf (output);
    const std::vector<std::string> expected = {
        "Get FW SID: 0",
        "Get FW Status: 1",
        "Set FW Status as 0",
        "<reconnect>",
        "Will sleep for 0 ms",
        "Sending GetFwInfo command",
        "Sent GetFwInfo command",
        "Got FW Info:",
        std::string ("Device Name: EVT") + '\0',
        "Bootloader Version: 0.9.200.255",
        "FW Version: 1.2.3.37",
        "FW Length: 177214",
        "Checksum: 1636642624",
    };

    ASSERT_GE (lines.size(), expected.size() + 9);

    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ (expected[i], lines[i]) << "line " << i;

    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ (0u, lines[expected.size() + i].rfind ("Sector len: ", 0)) << lines[expected.size() + i];

    EXPECT_EQ ("<finished>", lines[expected.size() + 8]);
    EXPECT_EQ (expected.size() + 9, lines.size());
}

TEST_F (Update, OddSizedImageIsPaddedAndSummedOverImageBytesOnly)
{
    // Values near 255, so that the sum wraps.
    Bytes bytes (1000);

    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (uint8_t) (0xF0 + i % 16);

    useImage (bytes);
    amp.status = 0;

    ASSERT_TRUE (perform());
    EXPECT_TRUE (flashHoldsImage());
    EXPECT_EQ (0, amp.sumMismatches);
    EXPECT_EQ ((std::vector<int> { 25, 51, 76, 100 }), log.percents);
}

TEST_F (Update, StatusOtherThanOneSkipsTheReset)
{
    useImage (makeImage (3000));

    for (const uint8_t status : { 0, 2, 0x7F })
    {
        SCOPED_TRACE ((int) status);
        amp.status = status;
        amp.statusesSet.clear();
        log = CallbackLog();
        log.device = &device;
        const auto before = device.sentCount();

        ASSERT_TRUE (perform());
        EXPECT_EQ (0, log.resets);
        EXPECT_EQ ((std::vector<uint8_t> { 1 }), amp.statusesSet);
        EXPECT_NE (std::string::npos, output.find ("Get FW Status: " + std::to_string (status) + "\n"));
        EXPECT_EQ (std::string::npos, output.find ("Set FW Status as 0"));

        const auto sent = device.sent();
        EXPECT_TRUE (hasName (sent[before + 1], "GetFwInfo"));
    }
}

TEST_F (Update, BlockRefusedOnceIsResentByteForByte)
{
    useImage (makeImage (2000));
    amp.refuseOnce = { 512 };

    ASSERT_TRUE (perform());
    EXPECT_TRUE (flashHoldsImage());

    const auto sent = device.sent();
    std::vector<Bytes> writes;

    for (const auto& m : sent)
        if (hasName (m, "WriteFlash"))
            writes.push_back (m);

    ASSERT_EQ (9u, writes.size());   // 8 blocks, one of them twice
    EXPECT_EQ (writes[2], writes[3]);
    EXPECT_EQ ((Bytes { 0, 4, 0, 0 }), Bytes (writes[3].begin() + 11, writes[3].begin() + 15));
    EXPECT_EQ (8u, log.percents.size());
    EXPECT_EQ (1, log.finishes);
}

TEST_F (Update, BlockRefusedTwiceFailsWith16)
{
    useImage (makeImage (2000));
    amp.refuseAlways = { 768 };

    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ ((std::vector<uint8_t> { 0 }), amp.statusesSet);
    EXPECT_EQ (0, log.finishes);
    EXPECT_EQ (3u, log.percents.size());

    const auto sent = device.sent();
    EXPECT_EQ (5u, countNamed (sent, "WriteFlash"));
    EXPECT_TRUE (hasName (sent.back(), "WriteFlash"));
}

TEST_F (Update, ShortRepliesFailOrCountAsRefusals)
{
    useImage (makeImage (600));

    // A "RetFwStatus" without a status byte.
    amp.replyFaults["GetFwStatus"] = FakeBootloader::Fault::truncated;
    EXPECT_FALSE (perform());
    EXPECT_EQ (11, session.error_code_);
    EXPECT_EQ (1u, device.sentCount());

    // A "RetWriteFlash" without a status byte, on the first try and the resend.
    amp.replyFaults.clear();
    amp.faultyWriteOffset = 256;
    amp.writeFault = FakeBootloader::Fault::truncated;
    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ (1u, log.percents.size());
}

TEST_F (Update, RepliesFailingToArriveEndEachStep)
{
    useImage (makeImage (1000));

    struct Case { const char* command; int code; size_t sentCount; };

    // A reply too long for the receive buffer is a failed read, like one that never comes.
    for (const auto& c : { Case { "GetFwStatus", 11, 1 }, Case { "GetFwInfo", 14, 3 } })
    {
        SCOPED_TRACE (c.command);
        FakeDevice fresh;
        FakeBootloader freshAmp (fresh);
        freshAmp.replyFaults[c.command] = FakeBootloader::Fault::overlong;
        session.error_code_ = 0;

        testing::internal::CaptureStdout();
        EXPECT_FALSE (session.Perform (&fresh));
        const auto out = testing::internal::GetCapturedStdout();

        EXPECT_EQ (c.code, session.error_code_);
        EXPECT_EQ (c.sentCount, fresh.sentCount());
        EXPECT_EQ (c.code == 14, out.find ("Cannot read RetFwInfo data!\n") != std::string::npos);
        EXPECT_EQ (0u, countNamed (fresh.sent(), "WriteFlash"));
    }

    amp.faultyWriteOffset = 512;
    amp.writeFault = FakeBootloader::Fault::overlong;
    session.error_code_ = 0;
    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ (3u, countNamed (device.sent(), "WriteFlash"));
    EXPECT_EQ (0, log.finishes);
}

TEST_F (Update, MissingBlockReplyTimesOutWith16)
{
    useImage (makeImage (600));
    amp.status = 0;
    amp.faultyWriteOffset = 0;
    amp.writeFault = FakeBootloader::Fault::missing;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE (perform());
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ (16, session.error_code_);
    EXPECT_GE (elapsed, std::chrono::milliseconds (3000));
    EXPECT_LT (elapsed, std::chrono::seconds (30));
    EXPECT_EQ (1u, countNamed (device.sent(), "WriteFlash"));
    EXPECT_TRUE (log.percents.empty());
}

TEST_F (Update, RepliesOfOtherNamesAreDroppedWhileWaiting)
{
    useImage (makeImage (1500));
    amp.status = 7;
    amp.otherNamesFirst = true;

    ASSERT_TRUE (perform());
    EXPECT_TRUE (flashHoldsImage());
    EXPECT_NE (std::string::npos, output.find ("Get FW Status: 7\n"));
    EXPECT_NE (std::string::npos, output.find ("FW Version: 1.2.3.37\n"));
    EXPECT_EQ (6u, countNamed (device.sent(), "WriteFlash"));
}

TEST_F (Update, StaleReplyIsDroppedByAWaitForAnotherName)
{
    // Queued before the update: the status wait reads and drops it, so it cannot
    // answer a block later.
    useImage (makeImage (512));
    amp.refuseAlways = { 0 };
    device.deliver (namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 1 }));

    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
}

TEST_F (Update, LateReplyIsTakenByTheNextWaitForItsName)
{
    // A stray "accepted" queued before the first block answers it although the block
    // is refused; that refusal then answers the second block, which goes out again.
    useImage (makeImage (512));
    amp.status = 0;
    amp.refuseAlways = { 0 };
    amp.afterInfoReply = { namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 1 }) };

    ASSERT_TRUE (perform());
    EXPECT_EQ ((std::vector<int> { 50, 100 }), log.percents);
    EXPECT_EQ (3u, countNamed (device.sent(), "WriteFlash"));
}

TEST_F (Update, FailedSendsMapToTheirSteps)
{
    useImage (makeImage (700));

    struct Case { const char* command; int statusValue; int code; };

    for (const auto& c : { Case { "GetFwStatus", -1, 11 }, Case { "SetFwStatus", 0, 12 },
                           Case { "GetFwInfo", -1, 14 }, Case { "WriteFlash", -1, 16 },
                           Case { "SetFwStatus", 1, 12 } })
    {
        SCOPED_TRACE (std::string (c.command) + " " + std::to_string (c.statusValue));
        amp.failingSends = { c.command };
        amp.failingSetStatusValue = c.statusValue;
        log.finishes = 0;
        session.error_code_ = 0;

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

TEST_F (Update, NullCallbacksAreSkipped)
{
    useImage (makeImage (700));
    session.progress_cb_ = nullptr;
    session.status_reset_cb_ = nullptr;
    session.finish_cb_ = nullptr;

    ASSERT_TRUE (perform());
    EXPECT_TRUE (flashHoldsImage());
    EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    EXPECT_EQ (0, device.closes);
}

TEST_F (Update, DelaysArePrintedAndKept)
{
    useImage (makeImage (300));
    session.settle_delay_ms_ = 20;
    session.block_delay_ms_ = 5;

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE (perform());
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (3 * 20 + 2 * 5));
    EXPECT_NE (std::string::npos, output.find ("Will sleep for 20 ms\n"));
}

TEST_F (Update, EmptyImageSendsNoBlockAndSucceeds)
{
    session.fw_data_ = nullptr;
    session.fw_size_ = 0;

    ASSERT_TRUE (perform());
    EXPECT_EQ (0u, countNamed (device.sent(), "WriteFlash"));
    EXPECT_TRUE (log.percents.empty());
    EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    EXPECT_EQ (1, log.finishes);

    TempDir temp;
    session.fw_path_ = temp.write ("empty.bin", {});
    session.load_from_file_ = true;
    amp.statusesSet.clear();

    ASSERT_TRUE (perform());
    EXPECT_EQ (0u, countNamed (device.sent(), "WriteFlash"));
    EXPECT_EQ ((std::vector<uint8_t> { 0, 1 }), amp.statusesSet);
    EXPECT_EQ (2, log.finishes);
}

TEST_F (Update, UnusableImagesFailWith15BeforeAnyBlock)
{
    Bytes small (100, 0x55);

    // Negative size, a missing image, and one too large for the offsets to reach (the
    // buffer behind it is small: it must not be read).
    const std::vector<std::pair<const uint8_t*, int>> cases = {
        { small.data(), -1 },
        { nullptr, 100 },
        { small.data(), 1 << 28 },
    };

    for (const auto& [data, size] : cases)
    {
        SCOPED_TRACE (size);
        session.fw_data_ = data;
        session.fw_size_ = size;
        session.error_code_ = 0;

        EXPECT_FALSE (perform());
        EXPECT_EQ (15, session.error_code_);
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

TEST_F (Update, UnreadableFilesFailWith15BeforeAnyBlock)
{
    TempDir temp;
    session.load_from_file_ = true;

    std::vector<std::string> paths = { temp.path ("missing.bin"), temp.dir.getFullPathName().toStdString(), "" };

    // A sparse file of 2^28 bytes: the offsets cannot reach its end.
    const auto huge = temp.path ("huge.bin");
    {
        std::ofstream create (huge, std::ios::binary);
    }
    ASSERT_EQ (0, truncate (huge.c_str(), (off_t) 1 << 28));
    paths.push_back (huge);

    // Without read permission (meaningless for root, who reads anyway).
    if (geteuid() != 0)
    {
        const auto locked = temp.write ("locked.bin", Bytes (512, 1));
        ASSERT_EQ (0, chmod (locked.c_str(), 0));
        paths.push_back (locked);
    }

    for (const auto& p : paths)
    {
        SCOPED_TRACE (p);
        session.fw_path_ = p;
        session.error_code_ = 0;

        EXPECT_FALSE (perform());
        EXPECT_EQ (15, session.error_code_);
        EXPECT_EQ (nullptr, session.fw_data_);
        EXPECT_EQ (0, session.fw_size_);
        expectNoBlockAndNoFinalStatus();
    }
}

TEST_F (Update, NoDeviceOrNoOwnIdSendNothing)
{
    useImage (makeImage (300));

    EXPECT_FALSE (session.Perform (nullptr));
    EXPECT_EQ (8, session.error_code_);

    const auto ownSid = device.own_sid_;
    device.own_sid_ = -1;
    EXPECT_FALSE (perform());
    EXPECT_EQ (10, session.error_code_);
    EXPECT_EQ (0u, device.sentCount());
    EXPECT_EQ ("", output);
    device.own_sid_ = ownSid;
}
