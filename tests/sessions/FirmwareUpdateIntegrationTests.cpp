#include "Bootloader.h"
#include "DeviceSession.h"
#include "EmulatedAmplifier.h"
#include "FakeDevice.h"
#include "FirmwareUpdateSession.h"
#include "JwUsbMidiDeviceFinder.h"
#include "JwUsbMidiH3.h"
#include "MessageLoop.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

using namespace sessiontest;

namespace
{
/** What the reconnect callback needs and saw. */
struct Reconnect
{
    sim::EmulatedAmplifier* amplifier = nullptr;
    int calls = 0;
};

/** Close, wait until the amplifier has restarted and its ports are back, open again:
    what a real user does in five seconds, without the sleep. */
bool reopenWithoutSleeping (JwDevice* device, FirmwareUpdateSession*, void* user)
{
    auto& context = *static_cast<Reconnect*> (user);
    auto& amplifier = *context.amplifier;
    ++context.calls;

    const auto restartsBefore = amplifier.getNumRestarts();
    device->Close();

    // A short restart may be over before we look: the count tells that it happened.
    if (! amplifier.waitUntilPlugged (false, 2000) && amplifier.getNumRestarts() == restartsBefore)
        return false;

    return amplifier.waitUntilPlugged (true, 10000) && device->Open();
}

void noteProgress (JwDevice*, FirmwareUpdateSession*, int percent, void* user)
{
    static_cast<std::vector<int>*> (user)->push_back (percent);
}

/** An older image: the same layout, another version and other bytes. */
Bytes olderImage()
{
    auto image = makeImage (40000, 777);
    image[bootloader::firmwareInfoOffset + 8] = 1;
    image[bootloader::firmwareInfoOffset + 9] = 0;
    image[bootloader::firmwareInfoOffset + 10] = 0;
    image[bootloader::firmwareInfoOffset + 11] = 5;
    return image;
}

size_t countWritesAt (const std::vector<Bytes>& messages, size_t offset)
{
    size_t n = 0;

    for (const auto& m : messages)
        if (hasName (m, "WriteFlash") && m.size() == 310
             && ((size_t) m[11] | ((size_t) m[12] << 7) | ((size_t) m[13] << 14) | ((size_t) m[14] << 21)) == offset)
            ++n;

    return n;
}

bool sentFinalStatus (const std::vector<Bytes>& messages)
{
    for (const auto& m : messages)
        if (m == namedMessage ("SetFwStatus", { 1 }))
            return true;

    return false;
}

class UpdateIntegration : public testing::Test
{
protected:
    UpdateIntegration()
    {
        config.flash = olderImage();
        config.restartTimeMs = 100;
    }

    void SetUp() override
    {
        amplifier = std::make_unique<sim::EmulatedAmplifier> (service, config);

        testing::internal::CaptureStdout();
        JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
        testing::internal::GetCapturedStdout();
        ASSERT_EQ (1u, JwUsbMidiDeviceFinder::GetDescriptors().size());

        device = std::make_unique<JwUsbMidiH3> (reinterpret_cast<const char*> (config.deviceId.data()));
        ASSERT_TRUE (device->Open());

        reconnect.amplifier = amplifier.get();
        session.progress_cb_ = noteProgress;
        session.progress_user_data_ = &percents;
        session.status_reset_cb_ = reopenWithoutSleeping;
        session.finish_cb_ = reopenWithoutSleeping;
        session.cb_user_data_ = &reconnect;
    }

    void TearDown() override
    {
        if (device != nullptr)
            device->Close();

        device.reset();
        amplifier.reset();
    }

    void useImage (Bytes bytes)
    {
        image = std::move (bytes);
        session.fw_data_ = image.data();
        session.fw_size_ = (int) image.size();
    }

    bool perform()
    {
        testing::internal::CaptureStdout();
        const auto ok = session.Perform (device.get());
        output = testing::internal::GetCapturedStdout();
        return ok;
    }

    /** The version that the firmware-information session reads, as the window shows it. */
    std::string versionRead()
    {
        bootloader::DownloadFirmwareVersionSession read;
        testing::internal::CaptureStdout();
        const auto ok = read.Perform (device.get());
        testing::internal::GetCapturedStdout();

        if (! ok || ! read.hasFwInfo())
            return "(none)";

        const auto* v = read.fw_info_.fw_version;
        return std::to_string (v[0]) + "." + std::to_string (v[1]) + "." + std::to_string (v[2]) + "." + std::to_string (v[3]);
    }

    std::string serialRead()
    {
        auto query = std::make_shared<SerialNumberSession>();

        try
        {
            return query->Perform (device.get()) ? query->reply_.value_ : "(failed)";
        }
        catch (const std::runtime_error&)
        {
            return "(timeout)";
        }
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    sim::EmulatedAmplifier::Config config;
    std::unique_ptr<sim::EmulatedAmplifier> amplifier;
    std::unique_ptr<JwUsbMidiH3> device;

    FirmwareUpdateSession session;
    Reconnect reconnect;
    std::vector<int> percents;
    Bytes image;
    std::string output;
};
} // namespace

//==============================================================================
TEST_F (UpdateIntegration, WholeUpdateReplacesTheFlashAndTheVersion)
{
    EXPECT_EQ ("1.0.0.5", versionRead());
    EXPECT_EQ ("TV40-2026-000731", serialRead());

    useImage (makeImage (708859));
    ASSERT_TRUE (perform()) << "error " << session.error_code_ << "\n" << output;

    EXPECT_TRUE (amplifier->flashEquals (image));
    EXPECT_EQ (1, amplifier->getFirmwareStatus());
    EXPECT_FALSE (amplifier->isInBootloaderMode());
    EXPECT_EQ (2, amplifier->getNumRestarts());
    EXPECT_EQ (2, reconnect.calls);

    ASSERT_EQ (2769u, percents.size());
    EXPECT_EQ (100, percents.back());

    // The description printed during the update is the one the bootloader had.
    EXPECT_EQ (0u, output.find ("Get FW SID: 0\nGet FW Status: 1\nSet FW Status as 0\nWill sleep for 0 ms\n"));
    EXPECT_NE (std::string::npos, output.find ("FW Version: 1.0.0.5\n"));

    // Running normally again: it answers the string queries and reports the new version.
    EXPECT_EQ ("1.2.3.37", versionRead());
    EXPECT_EQ ("TV40-2026-000731", serialRead());
}

TEST_F (UpdateIntegration, BlockRefusedOnceIsResentAndTheUpdateCompletes)
{
    useImage (makeImage (20000, 5));
    amplifier->refuseBlockOnce (3);

    ASSERT_TRUE (perform()) << "error " << session.error_code_;
    EXPECT_TRUE (amplifier->flashEquals (image));

    const auto received = amplifier->getReceivedMessages();
    EXPECT_EQ (2u, countWritesAt (received, 3 * 256));
    EXPECT_EQ (1u, countWritesAt (received, 4 * 256));
    EXPECT_TRUE (sentFinalStatus (received));
    EXPECT_EQ (79u, percents.size());
    EXPECT_EQ ("1.2.3.37", versionRead());
}

TEST_F (UpdateIntegration, BlockRefusedTwiceEndsWith16)
{
    useImage (makeImage (20000, 5));
    amplifier->setRefuseAllBlocks (true);

    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ (1, reconnect.calls);
    EXPECT_TRUE (percents.empty());

    const auto received = amplifier->getReceivedMessages();
    EXPECT_EQ (2u, countWritesAt (received, 0));
    EXPECT_FALSE (sentFinalStatus (received));

    // Left in the bootloader, as the failed update found it.
    EXPECT_TRUE (amplifier->isInBootloaderMode());
    EXPECT_EQ (0, amplifier->getFirmwareStatus());
}

TEST_F (UpdateIntegration, InterruptedUpdateResumesFromTheBootloader)
{
    // A first attempt fails half-way; the second finds status 0 and needs no reset.
    useImage (makeImage (30000, 9));
    amplifier->vanishAfterBlocks (40);

    EXPECT_FALSE (perform());
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ (1, reconnect.calls);

    amplifier->clearFaults();
    amplifier->plug();
    ASSERT_TRUE (amplifier->waitUntilPlugged (true, 5000));
    device->Close();
    ASSERT_TRUE (device->Open());

    FirmwareUpdateSession retry;
    retry.fw_data_ = image.data();
    retry.fw_size_ = (int) image.size();
    retry.status_reset_cb_ = reopenWithoutSleeping;
    retry.finish_cb_ = reopenWithoutSleeping;
    retry.cb_user_data_ = &reconnect;

    testing::internal::CaptureStdout();
    const auto ok = retry.Perform (device.get());
    const auto retryOutput = testing::internal::GetCapturedStdout();

    ASSERT_TRUE (ok) << "error " << retry.error_code_ << "\n" << retryOutput;
    EXPECT_NE (std::string::npos, retryOutput.find ("Get FW Status: 0\n"));
    EXPECT_EQ (std::string::npos, retryOutput.find ("Set FW Status as 0"));
    EXPECT_EQ (2, reconnect.calls);
    EXPECT_TRUE (amplifier->flashEquals (image));
    EXPECT_FALSE (amplifier->isInBootloaderMode());
}

TEST_F (UpdateIntegration, UpdateOnAWorkerWhileTheMessageLoopRuns)
{
    // As the window runs it: the reopen goes through the message thread.
    useImage (makeImage (20000, 11));

    testing::internal::CaptureStdout();
    const auto ok = testing_support::runOnWorker ([this] { return session.Perform (device.get()); });
    output = testing::internal::GetCapturedStdout();

    ASSERT_TRUE (ok) << "error " << session.error_code_;
    EXPECT_TRUE (amplifier->flashEquals (image));
    EXPECT_EQ (2, reconnect.calls);
    EXPECT_EQ ("1.2.3.37", versionRead());
}
