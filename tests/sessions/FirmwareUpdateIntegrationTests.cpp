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

size_t countWritesAt (const std::vector<Bytes>& messages, size_t offset)
{
    return (size_t) std::count_if (messages.begin(), messages.end(), [=] (const Bytes& m)
                                   { return hasName (m, "WriteFlash") && m.size() == 310 && writeOffset (m) == offset; });
}

bool sentFinalStatus (const std::vector<Bytes>& messages)
{
    return std::find (messages.begin(), messages.end(), namedMessage ("SetFwStatus", { 1 })) != messages.end();
}

class UpdateIntegration : public testing::Test
{
protected:
    UpdateIntegration()
    {
        // An older image: the same layout, another version and other bytes.
        config.flash = makeImage (40000, 777);
        const uint8_t version[4] = { 1, 0, 0, 5 };
        std::copy (version, version + 4, config.flash.begin() + bootloader::firmwareInfoOffset + 8);
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
        session.progress_cb_ = [] (JwDevice*, FirmwareUpdateSession*, int percent, void* user)
        {
            static_cast<std::vector<int>*> (user)->push_back (percent);
        };
        session.progress_user_data_ = &percents;
        wire (session, reconnect);
    }

    void TearDown() override
    {
        if (device != nullptr)
            device->Close();

        device.reset();
        amplifier.reset();
    }

    static void wire (FirmwareUpdateSession& s, Reconnect& context)
    {
        s.status_reset_cb_ = reopenWithoutSleeping;
        s.finish_cb_ = reopenWithoutSleeping;
        s.cb_user_data_ = &context;
    }

    void useImage (Bytes bytes)
    {
        image = std::move (bytes);
        session.fw_data_ = image.data();
        session.fw_size_ = (int) image.size();
    }

    bool perform (FirmwareUpdateSession& s)
    {
        testing::internal::CaptureStdout();
        const auto ok = s.Perform (device.get());
        output = testing::internal::GetCapturedStdout();
        return ok;
    }

    /** The version that the firmware-information session reads, as the window shows it. */
    std::string versionRead()
    {
        bootloader::DownloadFirmwareVersionSession read;
        testing::internal::CaptureStdout();
        const auto ok = read.Perform (device.get()) && read.hasFwInfo();
        testing::internal::GetCapturedStdout();
        const auto* v = read.fw_info_.fw_version;
        return ok ? juce::String::formatted ("%d.%d.%d.%d", v[0], v[1], v[2], v[3]).toStdString() : "(none)";
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

    useImage (makeImage (708859));
    ASSERT_TRUE (perform (session)) << "error " << session.error_code_ << "\n" << output;

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
    auto serial = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (serial->Perform (device.get()));
    EXPECT_EQ ("TV40-2026-000731", serial->reply_.value_);
}

TEST_F (UpdateIntegration, BlockRefusedOnceIsResentOnAWorkerWhileTheMessageLoopRuns)
{
    // As the window runs it: the reopen goes through the message thread.
    useImage (makeImage (20000, 5));
    amplifier->refuseBlockOnce (3);

    testing::internal::CaptureStdout();
    const auto ok = testing_support::runOnWorker ([this] { return session.Perform (device.get()); });
    output = testing::internal::GetCapturedStdout();

    ASSERT_TRUE (ok) << "error " << session.error_code_;
    EXPECT_TRUE (amplifier->flashEquals (image));
    EXPECT_EQ (2, reconnect.calls);

    const auto received = amplifier->getReceivedMessages();
    EXPECT_EQ (2u, countWritesAt (received, 3 * 256));
    EXPECT_EQ (1u, countWritesAt (received, 4 * 256));
    EXPECT_TRUE (sentFinalStatus (received));
    EXPECT_EQ (79u, percents.size());
    EXPECT_EQ ("1.2.3.37", versionRead());
}

TEST_F (UpdateIntegration, BlockRefusedTwiceEndsWith16AndARetryResumesFromTheBootloader)
{
    useImage (makeImage (20000, 5));
    amplifier->setRefuseAllBlocks (true);

    EXPECT_FALSE (perform (session));
    EXPECT_EQ (16, session.error_code_);
    EXPECT_EQ (1, reconnect.calls);
    EXPECT_TRUE (percents.empty());
    EXPECT_EQ (2u, countWritesAt (amplifier->getReceivedMessages(), 0));
    EXPECT_FALSE (sentFinalStatus (amplifier->getReceivedMessages()));
    EXPECT_TRUE (amplifier->isInBootloaderMode());
    EXPECT_EQ (0, amplifier->getFirmwareStatus());

    // The second attempt finds status 0 and needs no reset.
    amplifier->clearFaults();
    FirmwareUpdateSession retry;
    retry.fw_data_ = image.data();
    retry.fw_size_ = (int) image.size();
    wire (retry, reconnect);
    ASSERT_TRUE (perform (retry)) << "error " << retry.error_code_ << "\n" << output;
    EXPECT_NE (std::string::npos, output.find ("Get FW Status: 0\n"));
    EXPECT_EQ (std::string::npos, output.find ("Set FW Status as 0"));
    EXPECT_EQ (2, reconnect.calls);
    EXPECT_TRUE (amplifier->flashEquals (image));
    EXPECT_FALSE (amplifier->isInBootloaderMode());
}
