#include "JwSysEx.h"
#include "MessageCodec.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

using testframes::Bytes;

namespace
{
const Bytes highBitsFrame { 0xF0, 0x01, 0x05, 0x79, 0x02, 0x23, 0x05, 0x01, 0x02, 0x7F, 0xF7 };

template <typename Exception, typename Function>
std::string thrownText (Function&& f)
{
    try { f(); }
    catch (const Exception& e) { return e.what(); }

    return "no exception";
}

/** Group g of the input sits at offset 8g, its header first; byte j of the group lends
    bit 7 to header bit j, and the header's unused bits stay clear. */
void expectPackedLayout (const Bytes& body, const Bytes& packed)
{
    ASSERT_EQ (packed.size(), body.size() + (body.size() + 6) / 7);

    for (size_t i = 0; i < body.size(); ++i)
    {
        const auto header = packed[i / 7 * 8];
        EXPECT_EQ ((header >> (i % 7)) & 1, body[i] >> 7) << "input byte " << i;
        EXPECT_EQ (packed[i / 7 * 8 + 1 + i % 7], body[i] & 0x7F) << "input byte " << i;
    }

    for (size_t g = 0; g * 7 < body.size(); ++g)
        EXPECT_EQ (packed[g * 8] >> std::min<size_t> (7, body.size() - g * 7), 0) << "group " << g;
}
} // namespace

TEST (FrameCodec, EncodesKnownFrames)
{
    EXPECT_EQ (jw::VexaSeriesStackCodec (5, 2, 35).encode ({}),
               (Bytes { 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 }));
    // The probe request.
    EXPECT_EQ (jw::VexaSeriesStackCodec (0, 2, 18).encode ({}),
               (Bytes { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 }));

    EXPECT_EQ (jw::SevenBitsCodec().encode ({ 0x81, 0x02, 0xFF }), (Bytes { 0x05, 0x01, 0x02, 0x7F }));
    EXPECT_EQ (jw::VexaSeriesStackCodec (5, 2, 35).encode ({ 0x81, 0x02, 0xFF }), highBitsFrame);

    // One codec used twice must not keep the first checksum; the sum is masked to seven
    // bits, and the framing stage alone leaves payload bytes as they are.
    const jw::SysExCommandCodec codec (7, 1, 2);
    EXPECT_EQ (codec.encode ({ 0x11, 0x22 })[3], 0x33);
    EXPECT_EQ (codec.encode ({ 0x80, 0x01 })[3], 0x01);
    EXPECT_EQ (codec.encode ({ 0x80, 0xF7 }), (Bytes { 0xF0, 0x01, 0x07, 0x77, 0x01, 0x02, 0x80, 0xF7, 0xF7 }));
}

TEST (FrameCodec, DecodeChecksOnlyTheChecksum)
{
    const jw::VexaSeriesStackCodec codec (5, 2, 35);
    EXPECT_EQ (codec.decode (highBitsFrame), (Bytes { 0x81, 0x02, 0xFF }));
    EXPECT_TRUE (codec.decode ({ 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 }).empty());

    EXPECT_EQ (thrownText<std::runtime_error> ([&] { codec.decode ({ 0xF0, 0x01, 0x05, 0x01, 0x02, 0x23, 0xF7 }); }),
               "checksum mismatched");

    // Start byte, constant, session id, operation bytes and end byte are not looked at.
    EXPECT_EQ (codec.decode ({ 0x00, 0x7E, 0x3F, 0x79, 0x55, 0x66, 0x05, 0x01, 0x02, 0x7F, 0x00 }),
               (Bytes { 0x81, 0x02, 0xFF }));

    for (size_t n = 0; n < 7; ++n)
    {
        EXPECT_THROW (jw::VexaSeriesStackCodec (1, 2, 3).decode (Bytes (n, 0xF0)), std::length_error) << n;
        EXPECT_THROW (jw::SysExCommandCodec (1, 2, 3).decode (Bytes (n, 0xF0)), std::length_error) << n;
    }
}

TEST (FrameCodec, SizesOfTheStages)
{
    const jw::SevenBitsCodec seven;
    const size_t packed[] = { 0, 2, 3, 4, 5, 6, 7, 8, 10, 11 };
    const size_t unpacked[] = { 0, 0, 1, 2, 3, 4, 5, 6, 7, 7 };

    for (size_t n = 0; n < 10; ++n)
    {
        EXPECT_EQ (seven.expectedEncodedSize (n), packed[n]) << n;
        EXPECT_EQ (seven.expectedDecodedSize (n), unpacked[n]) << n;
    }

    EXPECT_EQ (jw::SysExCommandCodec (0, 0, 0).expectedEncodedSize (4), 11u);
    EXPECT_EQ (jw::SysExCommandCodec (0, 0, 0).expectedDecodedSize (11), 4u);
    EXPECT_EQ (jw::VexaSeriesStackCodec (0, 0, 0).expectedDecodedSize (16), 7u);
}

TEST (SevenBitPacking, KnownShapes)
{
    const Bytes body { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87 };
    const Bytes packed { 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01, 0x07 };
    const jw::SevenBitsCodec codec;
    EXPECT_EQ (codec.encode (body), packed);
    EXPECT_EQ (codec.decode (packed), body);

    // A flash block through the packing routine, which must not write past its output.
    Bytes block (257), out (400, 0xEE);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (uint8_t) (i * 37 + 11);

    EXPECT_EQ (JwSysEx::SetupMidiDataFromGeneralData (out.data(), block.data(), 257), 294u);
    EXPECT_NE (out[293], 0xEE);
    EXPECT_EQ (out[294], 0xEE);

    // A last group of a single byte gives nothing; data bytes are not masked; header
    // bit 7 and bits beyond the group are ignored.
    EXPECT_EQ (codec.decode ({ 0x7F, 1, 2, 3, 4, 5, 6, 7, 0x55 }), (Bytes { 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87 }));
    EXPECT_TRUE (codec.decode ({ 0x7F }).empty());
    EXPECT_EQ (codec.decode ({ 0x00, 0x85 }), (Bytes { 0x85 }));
    EXPECT_EQ (codec.decode ({ 0xFE, 0x01, 0x02 }), (Bytes { 0x01, 0x82 }));
}

TEST (StackCodec, StagesRunInOrder)
{
    const jw::MessageStackCodec empty;
    const Bytes any { 0x01, 0xFF, 0x80 };
    EXPECT_EQ (empty.encode (any), any);
    EXPECT_EQ (empty.decode (any), any);
    EXPECT_EQ (empty.expectedEncodedSize (123), 123u);

    // Decoding runs the stages back to front: framing is undone before unpacking.
    jw::MessageStackCodec framed;
    framed.addCodec (std::make_unique<jw::SevenBitsCodec>());
    framed.addCodec (std::make_unique<jw::SysExCommandCodec> (3, 4, 5));
    const Bytes body { 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87 };
    EXPECT_EQ (framed.encode (body), jw::VexaSeriesStackCodec (3, 4, 5).encode (body));
    EXPECT_EQ (framed.decode (framed.encode (body)), body);

    jw::VexaSeriesStackCodec fixed (1, 2, 3);
    const auto before = fixed.encode ({ 0x42 });

    EXPECT_EQ (thrownText<std::logic_error> ([&] { fixed.addCodec (std::make_unique<jw::SevenBitsCodec>()); }),
               "VEXA series should not call this function");

    EXPECT_EQ (fixed.encode ({ 0x42 }), before);
}

TEST (FrameCheck, ValidFrames)
{
    EXPECT_TRUE (jw::isValidFrame (highBitsFrame.data(), highBitsFrame.size()));
    EXPECT_FALSE (jw::isValidFrame (highBitsFrame.data(), 6));
    EXPECT_FALSE (jw::isValidFrame (nullptr, 7));

    for (const auto& [at, value] : { std::pair<size_t, uint8_t> { 3, 0x78 }, { 10, 0x7F }, { 0, 0xF1 } })
    {
        auto bad = highBitsFrame;
        bad[at] = value;
        EXPECT_FALSE (jw::isValidFrame (bad.data(), bad.size())) << at;
    }
}

TEST (CodecRoundTrip, PackingAndFramingEveryLengthUpTo300)
{
    std::mt19937 rng (0x5eed0001u);
    const jw::SevenBitsCodec codec;

    for (size_t n = 0; n <= 300; ++n)
    {
        SCOPED_TRACE (n);
        Bytes body (n);

        for (auto& b : body)
            b = (uint8_t) rng();

        const auto packed = codec.encode (body);

        expectPackedLayout (body, packed);
        EXPECT_EQ (packed.size(), codec.expectedEncodedSize (n));
        EXPECT_EQ (codec.expectedDecodedSize (packed.size()), n);
        EXPECT_EQ (codec.decode (packed), body);

        // The raw routines, with a guard byte that neither may touch.
        Bytes viaRoutine (packed.size() + 1, 0xEE), unpacked (n + 1, 0xEE);
        EXPECT_EQ (JwSysEx::SetupMidiDataFromGeneralData (viaRoutine.data(), body.data(), (unsigned int) n),
                   packed.size());
        EXPECT_EQ (jw::unpackSevenBits (unpacked.data(), packed.data(), packed.size()), n);
        EXPECT_EQ (viaRoutine, testframes::concat ({ packed, { 0xEE } }));
        EXPECT_EQ (unpacked, testframes::concat ({ body, { 0xEE } }));

        const auto sid = (uint8_t) (n % 64), op1 = (uint8_t) (rng() & 0x7F), op2 = (uint8_t) (rng() & 0x7F);
        const jw::VexaSeriesStackCodec encoder (sid, op1, op2);
        auto frame = encoder.encode (body);

        EXPECT_EQ (frame, testframes::frame (sid, op1, op2, packed));
        EXPECT_EQ (frame.size(), encoder.expectedEncodedSize (n));
        EXPECT_TRUE (jw::isValidFrame (frame.data(), frame.size()));

        // A codec with other bytes decodes it, as a reply decoder does.
        const jw::VexaSeriesStackCodec decoder ((uint8_t) (sid + 1), 0, 0);
        EXPECT_EQ (decoder.decode (frame), body);
        EXPECT_EQ (decoder.expectedDecodedSize (frame.size()), n);

        const jw::SysExCommandCodec framing (sid, op1, op2);
        EXPECT_EQ (framing.decode (framing.encode (body)), body);

        if (n > 0)
        {
            // Any flip within seven bits of one payload byte breaks the checksum.
            frame[6 + rng() % (frame.size() - 7)] ^= (uint8_t) (1u << (rng() % 7));
            EXPECT_THROW (decoder.decode (frame), std::runtime_error);
            EXPECT_FALSE (jw::isValidFrame (frame.data(), frame.size()));
        }
    }
}
