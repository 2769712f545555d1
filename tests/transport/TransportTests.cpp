#include "EmulatedAmplifier.h"
#include "JwUsbMidiDeviceFinder.h"
#include "JwUsbMidiH3.h"
#include "MessageLoop.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <future>

namespace
{
const std::vector<uint8_t> serialQuery { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 };

/** Counts what reaches the device's hooks. */
class ObservedDevice final : public JwUsbMidiH3
{
public:
    using JwUsbMidiH3::JwUsbMidiH3;

    void OnMessageIn (const juce::MidiMessage&) override  { ++messagesIn; }
    void OnMessageOut (const juce::MidiMessage&) override { ++messagesOut; }

    std::atomic<int> messagesIn { 0 }, messagesOut { 0 };
};

class TransportTest : public testing::Test
{
protected:
    void SetUp() override
    {
        testing::internal::CaptureStdout();
        JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
        testing::internal::GetCapturedStdout();
        ASSERT_EQ (JwUsbMidiDeviceFinder::GetDescriptors().size(), 1u);
    }

    const char* id() const { return reinterpret_cast<const char*> (config.deviceId.data()); }

    /** Sends the serial-number query on session 1 and returns the reply read there. */
    std::vector<uint8_t> askSerial (JwDevice& device)
    {
        EXPECT_EQ (device.AllocateSid(), 1);
        EXPECT_EQ (device.Send (serialQuery.data(), (int) serialQuery.size()), 7);

        std::vector<uint8_t> buffer (1024);
        const auto n = device.ReadNext (1, buffer.data(), buffer.size(), 3000);
        device.ReleaseSid (1);
        buffer.resize ((size_t) std::max (n, 0));
        return buffer;
    }

    sim::VirtualMidiService& service = sim::installSimulator();
    sim::EmulatedAmplifier::Config config;
    sim::EmulatedAmplifier amplifier { service, config };
};
} // namespace

TEST (TransportWithoutProbe, OpeningAnIdNeverFoundFailsWithoutTheMessageThread)
{
    sim::installSimulator();
    const char unknown[8] = { 1, 2, 3, 4, 5, 6, 7, 8 };
    JwUsbMidiH3 device (unknown);

    // The message loop is not running: if Open went to the message thread, it would hang.
    auto result = std::async (std::launch::async, [&] { return device.Open(); });
    ASSERT_EQ (result.wait_for (std::chrono::seconds (20)), std::future_status::ready);
    EXPECT_FALSE (result.get());
}

TEST_F (TransportTest, RepliesArriveWholeAndClosedDevicesSendNothing)
{
    ObservedDevice device (id());
    ASSERT_TRUE (device.Open());

    const auto reply = askSerial (device);

    ASSERT_GE (reply.size(), 7u);
    EXPECT_EQ (reply.front(), 0xF0);
    EXPECT_EQ (reply.back(), 0xF7);
    EXPECT_EQ (reply[2], 1);
    EXPECT_EQ (device.messagesIn, 1);
    EXPECT_EQ (device.messagesOut, 1);

    device.Close();
    const auto receivedBefore = amplifier.getNumReceivedMessages();

    EXPECT_EQ (device.Send (serialQuery.data(), (int) serialQuery.size()), -1);
    device.Close();   // closing twice is allowed
    EXPECT_EQ (device.Send (serialQuery.data(), (int) serialQuery.size()), -1);

    service.waitUntilIdle();
    EXPECT_EQ (amplifier.getNumReceivedMessages(), receivedBefore);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (TransportTest, OpenOnAnOpenDeviceKeepsItsPorts)
{
    JwUsbMidiH3 device (id());
    ASSERT_TRUE (device.Open());
    ASSERT_TRUE (device.Open());

    EXPECT_EQ (service.getNumOpenInputs(), 1);
    EXPECT_EQ (service.getNumOpenOutputs(), 1);
    EXPECT_FALSE (askSerial (device).empty());
}

TEST_F (TransportTest, ReopenAfterTheAmplifierLeftUsesTheKeptPorts)
{
    JwUsbMidiH3 device (id());
    ASSERT_TRUE (device.Open());
    device.Close();

    // A probe while it is away forgets it; it comes back at the same positions.
    amplifier.unplug();
    testing::internal::CaptureStdout();
    JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
    amplifier.plug();

    ASSERT_TRUE (device.Open());
    EXPECT_FALSE (askSerial (device).empty());
}

TEST_F (TransportTest, AnOutputThatFailsToOpenClosesTheInputAgain)
{
    {
        const std::lock_guard<std::recursive_mutex> lock (JwUsbMidiDeviceFinder::desc_mutex_);
        JwUsbMidiDeviceFinder::descriptors_[0].output_index = 42;
    }

    JwUsbMidiH3 device (id());
    EXPECT_FALSE (device.Open());
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
    EXPECT_EQ (device.Send (serialQuery.data(), (int) serialQuery.size()), -1);

    // A later Open tries both ports afresh.
    {
        const std::lock_guard<std::recursive_mutex> lock (JwUsbMidiDeviceFinder::desc_mutex_);
        JwUsbMidiDeviceFinder::descriptors_[0].output_index = 1;
    }

    EXPECT_TRUE (device.Open());
    EXPECT_FALSE (askSerial (device).empty());
}

TEST_F (TransportTest, TheFirstOfTwoDescriptorsWithTheSameIdIsUsed)
{
    {
        const std::lock_guard<std::recursive_mutex> lock (JwUsbMidiDeviceFinder::desc_mutex_);
        auto copy = JwUsbMidiDeviceFinder::descriptors_[0];
        copy.input_index = 7;
        copy.output_index = 7;
        JwUsbMidiDeviceFinder::descriptors_.push_back (copy);
    }

    JwUsbMidiH3 device (id());
    EXPECT_TRUE (device.Open());
}

TEST_F (TransportTest, OpeningFromAWorkerGoesThroughTheMessageThread)
{
    JwUsbMidiH3 device (id());

    const auto opened = testing_support::runOnWorker ([&] { return device.Open(); });

    ASSERT_TRUE (opened);
    EXPECT_FALSE (askSerial (device).empty());
}
