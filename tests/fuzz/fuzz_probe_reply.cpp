// Arbitrary messages arriving on an input that a probe opened, through the probe's reply
// handler.
//
// Input: byte 0 bit 0 set: the message comes from an input the probe did not open;
// bits 1-3: the index of the output being probed. The rest is the message.
//
// Checks: a descriptor is recorded only for a valid probe reply (frame checksum right,
// operation bytes 03 12) that carries a whole 8-byte id, from an input of the probe; its
// id is the first 8 unpacked payload bytes, its indices those of the probe; the input is
// stopped exactly then.

#include "FuzzCheck.h"
#include "ReferenceUnpack.h"

#include "JwUsbMidiDeviceFinder.h"

#include <cstring>
#include <vector>

namespace
{
class FakeInput : public midi::Input
{
public:
    void start() override {}
    void stop() override { ++stops; }

    int stops = 0;
};

bool isProbeReply (const uint8_t* m, size_t n)
{
    if (n < 7 || m[0] != 0xF0 || m[n - 1] != 0xF7 || m[4] != 0x03 || m[5] != 0x12)
        return false;

    uint8_t sum = 0;

    for (size_t i = 6; i + 1 < n; ++i)
        sum ^= m[i];

    return (sum & 0x7F) == m[3];
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    using namespace JwUsbMidiDeviceFinder;

    if (size < 2)
        return 0;

    const bool fromProbedInput = (data[0] & 1) == 0;
    const int outputIndex = (data[0] >> 1) & 7;
    std::vector<uint8_t> message (data + 1, data + size);

    // Short channel messages must have a status byte that fits their length.
    if (message.size() <= 3 && message[0] < 0xF0)
        message[0] = 0xF0;

    FakeInput probed, other;
    probe_map_.clear();
    probe_map_[&probed] = 3;
    probe_out_ = outputIndex;
    descriptors_.clear();

    auto* source = fromProbedInput ? &probed : &other;
    const juce::MidiMessage midiMessage (message.data(), (int) message.size(), 0.0);
    input_callback_.handleIncomingMidiMessage (source, midiMessage);

    const auto* m = message.data();
    const auto n = message.size();
    const auto payload = n >= 7 ? fuzzing::referenceUnpack (m + 6, n - 7) : std::vector<uint8_t>();
    const bool recorded = fromProbedInput && isProbeReply (m, n) && payload.size() >= 8;

    FUZZ_CHECK (descriptors_.size() == (recorded ? 1u : 0u));
    FUZZ_CHECK (source->stops == (recorded ? 1 : 0));
    FUZZ_CHECK (other.stops == 0 || ! fromProbedInput);

    if (recorded)
    {
        const auto& d = descriptors_.front();
        FUZZ_CHECK (std::memcmp (d.uuid, payload.data(), 8) == 0);
        FUZZ_CHECK (d.input_index == 3);
        FUZZ_CHECK (d.output_index == outputIndex);
    }

    probe_map_.clear();
    descriptors_.clear();
    return 0;
}
