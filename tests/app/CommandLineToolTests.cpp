#include "EmulatedAmplifier.h"
#include "FirmwareUpgradeTool.h"
#include "JwDeviceManager.h"
#include "Reconnect.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <fstream>

namespace
{
using Bytes = std::vector<uint8_t>;

/** A small image with a firmware description at 0x400: a few blocks keep the tests short. */
Bytes makeImage (size_t size, uint8_t versionLast)
{
    Bytes image (std::max<size_t> (size, 0x454));

    for (size_t i = 0; i < size; ++i)
        image[i] = (uint8_t) ((i * 131 + 7) & 0xFF);

    // The description: name, bootloader and firmware versions, the rest zero.
    std::fill (image.begin() + 0x400, image.begin() + 0x454, 0);
    const uint8_t record[12] = { 'E', 'V', 'T', 0, 0, 0, 0, 0, 1, 2, 3, versionLast };
    std::copy (std::begin (record), std::end (record), image.begin() + 0x400);
    return image;
}

std::vector<std::string> linesOf (const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in (text);

    for (std::string line; std::getline (in, line);)
        lines.push_back (line);

    return lines;
}

bool contains (const std::vector<std::string>& lines, const std::string& line)
{
    return std::find (lines.begin(), lines.end(), line) != lines.end();
}

class CommandLineToolTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // The emulated amplifier restarts in 200 ms: no need to wait the real 5 s.
        reopenDelay = std::chrono::milliseconds (600);
        config.restartTimeMs = 200;
        config.flash = makeImage (0x600, 30);

        const auto file = juce::File::createTempFile (".bin");
        imagePath = file.getFullPathName();
        file.replaceWithData (image.data(), image.size());
    }

    void TearDown() override
    {
        juce::File (imagePath).deleteFile();
    }

    /** Runs the tool on path; returns its exit status and keeps what it printed. */
    int runTool (const juce::String& path)
    {
        testing::internal::CaptureStdout();
        const auto status = console::FirmwareUpgradeTool (path).execute();
        output = linesOf (testing::internal::GetCapturedStdout());
        return status;
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    sim::EmulatedAmplifier::Config config;
    Bytes image = makeImage (4 * 256 + 200, 37);
    juce::String imagePath;
    std::vector<std::string> output;
};
} // namespace

TEST_F (CommandLineToolTest, NoAmplifierGivesNoDeviceFoundAndStatus1)
{
    EXPECT_EQ (runTool (imagePath), 1);
    ASSERT_FALSE (output.empty());
    EXPECT_EQ (output.back(), "No device found");
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (CommandLineToolTest, AWholeUpdateWritesTheFileAndPrintsEveryStep)
{
    sim::EmulatedAmplifier amplifier (service, config);

    EXPECT_EQ (runTool (imagePath), 0);

    const std::vector<std::string> expected {
        "Found MIDI IN device:Midi Through Port-0",
        "Found MIDI IN device:Tarvo 40",
        "Start this MIDI input device",
        "Found MIDI OUT device:Midi Through Port-0",
        "Found MIDI OUT device:Tarvo 40",
        "This MIDI Out device is available",
        "1 device(s) found",
        "Get device SN:'TV40-2026-000731'",
        "Get FW SID: 0",
        "Get FW Status: 1",
        "Set FW Status as 0",
        "Will sleep for 0 ms",
        "Sending GetFwInfo command",
        "Sent GetFwInfo command",
        "Got FW Info:",
        std::string ("Device Name: EVT") + '\0',
        "Bootloader Version: 0.0.0.0",
        "FW Version: 1.2.3.30",
        "FW Length: 0",
        "Checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Sector len: 0 & checksum: 0",
        "Updating: 20%",   // 256 of 1224 bytes
        "Updating: 41%",
        "Updating: 62%",
        "Updating: 83%",
        "Updating: 100%",
        "Firmware upgraded!",
    };

    EXPECT_EQ (output, expected);
    EXPECT_TRUE (amplifier.flashEquals (image));
    EXPECT_EQ (amplifier.getFirmwareStatus(), 1);
    EXPECT_FALSE (amplifier.isInBootloaderMode());
    EXPECT_EQ (amplifier.getNumRestarts(), 2);

    // The device is closed and dropped at the end.
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (CommandLineToolTest, AnAmplifierThatCannotBeOpenedGivesCannotConnect)
{
    sim::EmulatedAmplifier amplifier (service, config);

    // The probe and its check open the two ports twice; the tool's own open then fails.
    service.refuseOpensAfter (amplifier.getDeviceId(), 4);

    EXPECT_EQ (runTool (imagePath), 1);
    EXPECT_TRUE (contains (output, "1 device(s) found"));
    EXPECT_EQ (output.back(), "Cannot connect to device!");
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (amplifier.getNumReceivedMessages(), 1u);
}

TEST_F (CommandLineToolTest, TwoAmplifiersOnlyTheFirstIsFlashed)
{
    auto secondConfig = config;
    secondConfig.portName = "Tarvo 40 #2";
    secondConfig.deviceId[7] = 0x32;
    sim::EmulatedAmplifier first (service, config);
    sim::EmulatedAmplifier second (service, secondConfig);

    EXPECT_EQ (runTool (imagePath), 0);

    EXPECT_TRUE (contains (output, "2 device(s) found"));
    EXPECT_TRUE (first.flashEquals (image));
    EXPECT_FALSE (second.flashEquals (image));
    EXPECT_EQ (second.getNumRestarts(), 0);
}

TEST_F (CommandLineToolTest, AMissingFileFailsWith15AfterTheStatusResetAndReconnect)
{
    sim::EmulatedAmplifier amplifier (service, config);

    EXPECT_EQ (runTool (imagePath + ".missing"), 1);

    EXPECT_EQ (output.back(), "Firmware upgrade failed! Error code is 15");
    EXPECT_TRUE (contains (output, "Set FW Status as 0"));
    EXPECT_TRUE (contains (output, "Got FW Info:"));
    EXPECT_EQ (amplifier.getNumRestarts(), 1);
    EXPECT_TRUE (amplifier.isInBootloaderMode());

    // Not a single block went out.
    for (const auto& m : amplifier.getReceivedMessages())
        EXPECT_FALSE (m.size() > 11 && std::string (m.begin() + 1, m.begin() + 11) == "WriteFlash");

    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
}

TEST_F (CommandLineToolTest, AnEmptyPathFailsWith15)
{
    sim::EmulatedAmplifier amplifier (service, config);

    EXPECT_EQ (runTool ({}), 1);
    EXPECT_EQ (output.back(), "Firmware upgrade failed! Error code is 15");
}

TEST_F (CommandLineToolTest, AFailedReconnectAfterTheStatusResetGives13)
{
    sim::EmulatedAmplifier amplifier (service, config);
    amplifier.setNeverComeBackAfterRestart (true);

    EXPECT_EQ (runTool (imagePath), 1);

    EXPECT_EQ (output.back(), "Firmware upgrade failed! Error code is 13");
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (CommandLineToolTest, AFailedFinalReconnectStillReportsSuccess)
{
    sim::EmulatedAmplifier amplifier (service, config);

    // The amplifier takes the final status write and is never seen again: 1 probe, 1 serial
    // query, status read, status reset, description read, 5 blocks, then the status write.
    amplifier.vanishOnMessage (10);

    EXPECT_EQ (runTool (imagePath), 0);
    EXPECT_EQ (output.back(), "Firmware upgraded!");
    EXPECT_TRUE (amplifier.flashEquals (image));
}

TEST_F (CommandLineToolTest, ABootloaderThatIgnoresTheSerialQueryCanStillBeRecovered)
{
    // An update interrupted earlier left the amplifier in its bootloader, status 0.
    config.bootloaderMode = true;
    config.firmwareStatus = 0;
    sim::EmulatedAmplifier amplifier (service, config);

    EXPECT_EQ (runTool (imagePath), 0);

    EXPECT_TRUE (contains (output, "Get device SN:''"));
    EXPECT_FALSE (contains (output, "Set FW Status as 0"));
    EXPECT_EQ (output.back(), "Firmware upgraded!");
    EXPECT_TRUE (amplifier.flashEquals (image));
    EXPECT_FALSE (amplifier.isInBootloaderMode());
}

TEST_F (CommandLineToolTest, ARefusedBlockEndsWithItsErrorCodeAndTheDeviceClosed)
{
    sim::EmulatedAmplifier amplifier (service, config);
    amplifier.setRefuseAllBlocks (true);

    EXPECT_EQ (runTool (imagePath), 1);
    EXPECT_EQ (output.back(), "Firmware upgrade failed! Error code is 16");
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}
