#include "EmulatedAmplifier.h"
#include "JwUsbMidiDeviceFinder.h"
#include "ScriptedDevice.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <chrono>

namespace
{
const std::vector<uint8_t> amplifierId { 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x31 };

std::vector<uint8_t> idOf (const _H3MidiDeviceDescriptor& d)
{
    return { std::begin (d.uuid), std::end (d.uuid) };
}

std::string probeAndCaptureOutput()
{
    testing::internal::CaptureStdout();
    JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
    return testing::internal::GetCapturedStdout();
}

class ProbeTest : public testing::Test
{
protected:
    sim::VirtualMidiService& service = sim::installSimulator();
};
} // namespace

TEST (ProbeWithoutMidiService, PrintsNothingWaitsForNothingFindsNothing)
{
    // This machine has no MIDI service: the platform backend lists no ports at all.
    midi::installBackend (midi::createJuceBackend());

    const auto start = std::chrono::steady_clock::now();
    const auto output = probeAndCaptureOutput();
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ (output, "");
    EXPECT_LT (elapsed, std::chrono::milliseconds (900));
    EXPECT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
}

TEST (ProbeNameMatching, TarvoOrH3AnywhereAndCaseSensitive)
{
    using JwUsbMidiDeviceFinder::NameMatches;

    EXPECT_TRUE (NameMatches ("Tarvo 40", "Tarvo"));
    EXPECT_TRUE (NameMatches ("USB Tarvo", "Tarvo"));
    EXPECT_TRUE (NameMatches ("XH3Y MIDI 1", "Tarvo"));
    EXPECT_FALSE (NameMatches ("tarvo 40", "Tarvo"));
    EXPECT_FALSE (NameMatches ("h3 port", "Tarvo"));
    EXPECT_FALSE (NameMatches ("TARVO", "Tarvo"));
    EXPECT_FALSE (NameMatches ("", "Tarvo"));
}

TEST_F (ProbeTest, NonMatchingPortsAreListedButNeverOpened)
{
    ScriptedDevice keyboard (service, "USB Keyboard", { { probeReply (amplifierId) } });
    ScriptedDevice lowerCase (service, "tarvo h3 lookalike", { { probeReply (amplifierId) } });

    EXPECT_EQ (probeAndCaptureOutput(),
               "Found MIDI IN device:Midi Through Port-0\n"
               "Found MIDI IN device:USB Keyboard\n"
               "Found MIDI IN device:tarvo h3 lookalike\n"
               "Found MIDI OUT device:Midi Through Port-0\n"
               "Found MIDI OUT device:USB Keyboard\n"
               "Found MIDI OUT device:tarvo h3 lookalike\n");
    service.waitUntilIdle();

    // No input was opened (the probe remembers those it opened) and no request was sent.
    EXPECT_TRUE (JwUsbMidiDeviceFinder::probe_map_.empty());
    EXPECT_EQ (keyboard.probes, 0);
    EXPECT_EQ (lowerCase.probes, 0);
    EXPECT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (ProbeTest, FindsTheAmplifierWithItsIdAndPortIndices)
{
    sim::EmulatedAmplifier amplifier (service);

    EXPECT_EQ (probeAndCaptureOutput(),
               "Found MIDI IN device:Midi Through Port-0\n"
               "Found MIDI IN device:Tarvo 40\n"
               "Start this MIDI input device\n"
               "Found MIDI OUT device:Midi Through Port-0\n"
               "Found MIDI OUT device:Tarvo 40\n"
               "This MIDI Out device is available\n");

    const auto found = JwUsbMidiDeviceFinder::GetDescriptors();
    ASSERT_EQ (found.size(), 1u);
    EXPECT_EQ (idOf (found[0]), amplifierId);
    EXPECT_EQ (found[0].input_index, 1);
    EXPECT_EQ (found[0].output_index, 1);

    // The request is the fixed seven bytes, sent once; probe ports are all closed again.
    const auto received = amplifier.getReceivedMessages();
    ASSERT_EQ (received.size(), 1u);
    EXPECT_EQ (received[0], (std::vector<uint8_t> { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 }));
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (ProbeTest, AReplyInTheSecondWindowGetsTheSecondOutputsIndex)
{
    const std::vector<uint8_t> lateId { 1, 2, 3, 4, 5, 6, 7, 8 };
    ScriptedDevice first (service, "Tarvo A", { { probeReply (lateId), 1300 } });
    ScriptedDevice second (service, "Tarvo B", {});

    probeAndCaptureOutput();

    EXPECT_EQ (first.probes, 1);
    EXPECT_EQ (second.probes, 1);

    const auto found = JwUsbMidiDeviceFinder::GetDescriptors();
    ASSERT_EQ (found.size(), 1u);
    EXPECT_EQ (idOf (found[0]), lateId);
    EXPECT_EQ (found[0].input_index, 1);    // the input it arrived on
    EXPECT_EQ (found[0].output_index, 2);   // the output probed at that moment
}

TEST_F (ProbeTest, OnlyTheFirstReplyOnAnInputIsRecorded)
{
    const std::vector<uint8_t> firstId { 1, 1, 1, 1, 1, 1, 1, 1 };
    const std::vector<uint8_t> secondId { 2, 2, 2, 2, 2, 2, 2, 2 };
    ScriptedDevice device (service, "Tarvo", { { probeReply (firstId) }, { probeReply (secondId), 200 } });

    probeAndCaptureOutput();

    const auto found = JwUsbMidiDeviceFinder::GetDescriptors();
    ASSERT_EQ (found.size(), 1u);
    EXPECT_EQ (idOf (found[0]), firstId);
}

TEST_F (ProbeTest, MalformedRepliesAreIgnoredAndAValidOneAfterThemCounts)
{
    const std::vector<uint8_t> goodId { 0x81, 0x02, 0xFF, 0x04, 0x05, 0x86, 0x07, 0x88 };

    auto wrongChecksum = probeReply ({ 9, 9, 9, 9, 9, 9, 9, 9 });
    wrongChecksum[3] ^= 0x01;

    auto noEndByte = probeReply ({ 8, 8, 8, 8, 8, 8, 8, 8 });
    noEndByte.back() = 0x00;

    // The payload carries more than the id; the extra bytes are ignored, and the session
    // id byte is not looked at.
    auto longer = goodId;
    longer.insert (longer.end(), { 0x11, 0x22, 0x33, 0x44 });
    auto valid = probeReply (longer);
    valid[2] = 0x55;

    ScriptedDevice device (service, "Tarvo 40",
                           { { wrongChecksum },
                             { probeReply ({ 7, 7, 7, 7, 7, 7, 7, 7 }, 0x02, 0x12) },
                             { noEndByte },
                             { probeReply ({ 6, 6, 6, 6, 6, 6, 6 }) },   // a seven-byte id
                             { probeReply ({}) },
                             { valid, 50 } });

    probeAndCaptureOutput();

    const auto found = JwUsbMidiDeviceFinder::GetDescriptors();
    ASSERT_EQ (found.size(), 1u);
    EXPECT_EQ (idOf (found[0]), goodId);
}

TEST_F (ProbeTest, AShortIdFromTheEmulatedAmplifierFindsNothing)
{
    sim::EmulatedAmplifier amplifier (service);
    amplifier.setProbeIdLength (7);

    probeAndCaptureOutput();

    EXPECT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
}

TEST_F (ProbeTest, ADeviceWhosePortsNoLongerOpenIsFilteredOut)
{
    const std::vector<uint8_t> goneId { 3, 3, 3, 3, 3, 3, 3, 3 };
    ScriptedDevice device (service, "Tarvo 40", { { probeReply (goneId) } });

    // It answers, then leaves the port lists before the probe checks that it opens.
    service.callLater (device.id, 300, [&] { service.unplug (device.id); });

    probeAndCaptureOutput();

    EXPECT_EQ (device.probes, 1);
    EXPECT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
}

TEST_F (ProbeTest, ADeviceWhosePortsRefuseToOpenForTheCheckIsFilteredOut)
{
    sim::EmulatedAmplifier amplifier (service);

    // The probe itself opens the input and the output; the check after it cannot.
    service.refuseOpensAfter (amplifier.getDeviceId(), 2);
    probeAndCaptureOutput();

    EXPECT_EQ (amplifier.getNumReceivedMessages(), 1u);
    EXPECT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);
}

TEST_F (ProbeTest, AMatchingInputWithoutAMatchingOutputSendsNothing)
{
    ScriptedDevice inputOnly (service, "Tarvo In", { { probeReply (amplifierId) } }, {},
                              sim::VirtualMidiService::Directions::inputOnly);

    const auto output = probeAndCaptureOutput();
    service.waitUntilIdle();

    EXPECT_NE (output.find ("Start this MIDI input device"), std::string::npos);
    EXPECT_EQ (output.find ("This MIDI Out device is available"), std::string::npos);
    ASSERT_EQ (JwUsbMidiDeviceFinder::probe_map_.size(), 1u);
    EXPECT_EQ (JwUsbMidiDeviceFinder::probe_map_.begin()->second, 1);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().empty());
}
