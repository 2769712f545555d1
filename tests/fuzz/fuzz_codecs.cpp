// The codecs on arbitrary bytes. Input: session id, two operation bytes, then the data,
// which is decoded as a received frame, unpacked as packed bytes and encoded as a body.

#include "FuzzCheck.h"
#include "ReferenceUnpack.h"
#include "JwSysEx.h"
#include "MessageCodec.h"

#include <stdexcept>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes referenceUnpack (const Bytes& in)
{
    return fuzzing::referenceUnpack (in.data(), in.size());
}

uint8_t payloadChecksum (const Bytes& frame)
{
    uint8_t sum = 0;

    for (size_t i = 6; i + 1 < frame.size(); ++i)
        sum ^= frame[i];

    return (uint8_t) (sum & 0x7F);
}

void decodeAsFrame (const Bytes& frame, uint8_t sid, uint8_t op1, uint8_t op2)
{
    const jw::VexaSeriesStackCodec codec (sid, op1, op2);

    try
    {
        const auto body = codec.decode (frame);

        // Only a frame of 7 bytes or more with a matching checksum decodes.
        FUZZ_CHECK (frame.size() >= 7);
        FUZZ_CHECK (payloadChecksum (frame) == frame[3]);
        FUZZ_CHECK (body == referenceUnpack (Bytes (frame.begin() + 6, frame.end() - 1)));
        FUZZ_CHECK (body.size() == codec.expectedDecodedSize (frame.size()));
    }
    catch (const std::length_error&)
    {
        FUZZ_CHECK (frame.size() < 7);
    }
    catch (const std::runtime_error&)
    {
        FUZZ_CHECK (frame.size() >= 7 && payloadChecksum (frame) != frame[3]);
    }
}

void unpackBothWays (const Bytes& packed)
{
    const jw::SevenBitsCodec codec;
    const auto decoded = codec.decode (packed);
    FUZZ_CHECK (decoded.size() == codec.expectedDecodedSize (packed.size()));
    FUZZ_CHECK (decoded == referenceUnpack (packed));

    Bytes inPlace (decoded.size() + 1, 0);
    FUZZ_CHECK (jw::unpackSevenBits (inPlace.data(), packed.data(), packed.size()) == decoded.size());
    inPlace.pop_back();
    FUZZ_CHECK (inPlace == decoded);
}

void roundTrip (const Bytes& body, uint8_t sid, uint8_t op1, uint8_t op2)
{
    const jw::SevenBitsCodec seven;
    const auto packed = seven.encode (body);
    FUZZ_CHECK (packed.size() == seven.expectedEncodedSize (body.size()));

    for (const auto b : packed)
        FUZZ_CHECK (b < 0x80);

    Bytes viaRoutine (packed.size() + 1, 0);
    FUZZ_CHECK (JwSysEx::SetupMidiDataFromGeneralData (viaRoutine.data(), body.data(),
                                                       (unsigned int) body.size()) == packed.size());
    FUZZ_CHECK (viaRoutine.back() == 0);
    viaRoutine.pop_back();
    FUZZ_CHECK (viaRoutine == packed);
    FUZZ_CHECK (seven.decode (packed) == body);

    const jw::VexaSeriesStackCodec codec (sid, op1, op2);
    const auto frame = codec.encode (body);
    FUZZ_CHECK (frame.size() == codec.expectedEncodedSize (body.size()));
    FUZZ_CHECK (jw::isValidFrame (frame.data(), frame.size()));
    FUZZ_CHECK (frame[2] == sid && frame[4] == op1 && frame[5] == op2);
    FUZZ_CHECK (jw::VexaSeriesStackCodec (op1, op2, sid).decode (frame) == body);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;

    const uint8_t sid = data[0], op1 = data[1], op2 = data[2];
    const Bytes rest (data + 3, data + size);

    decodeAsFrame (rest, sid, op1, op2);
    unpackBothWays (rest);
    roundTrip (rest, sid, op1, op2);
    return 0;
}
