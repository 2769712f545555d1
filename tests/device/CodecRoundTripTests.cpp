#include "JwSysEx.h"
#include "MessageCodec.h"

#include <gtest/gtest.h>

#include <random>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes randomBytes (std::mt19937& rng, size_t n)
{
    std::uniform_int_distribution<int> byte (0, 255);
    Bytes out (n);

    for (auto& b : out)
        b = (uint8_t) byte (rng);

    return out;
}

/** Checks packed bytes against the layout bit by bit: group g of the input sits at
    offset 8g, its header first, and byte j of the group lends bit 7 to header bit j. */
void expectPackedLayout (const Bytes& body, const Bytes& packed)
{
    ASSERT_EQ (packed.size(), body.size() + (body.size() + 6) / 7);

    for (size_t i = 0; i < body.size(); ++i)
    {
        const auto group = i / 7, j = i % 7;
        const auto header = packed[group * 8];
        EXPECT_EQ ((header >> j) & 1, body[i] >> 7) << "input byte " << i;
        EXPECT_EQ (packed[group * 8 + 1 + j], body[i] & 0x7F) << "input byte " << i;
    }

    for (size_t g = 0; g * 7 < body.size(); ++g)
    {
        const auto groupSize = std::min<size_t> (7, body.size() - g * 7);
        EXPECT_EQ (packed[g * 8] >> groupSize, 0) << "unused header bits of group " << g;
    }
}
} // namespace

TEST (CodecRoundTrip, PackingEveryLengthUpTo300)
{
    std::mt19937 rng (0x5eed0001u);
    const jw::SevenBitsCodec codec;

    for (size_t n = 0; n <= 300; ++n)
    {
        SCOPED_TRACE (n);
        const auto body = randomBytes (rng, n);
        const auto packed = codec.encode (body);

        expectPackedLayout (body, packed);
        EXPECT_EQ (packed.size(), codec.expectedEncodedSize (n));

        Bytes viaRoutine (packed.size() + 1, 0);
        EXPECT_EQ (JwSysEx::SetupMidiDataFromGeneralData (viaRoutine.data(), body.data(),
                                                          (unsigned int) n),
                   packed.size());
        viaRoutine.pop_back();
        EXPECT_EQ (viaRoutine, packed);

        EXPECT_EQ (codec.decode (packed), body);
        EXPECT_EQ (codec.expectedDecodedSize (packed.size()), n);

        Bytes unpacked (n + 1, 0);
        EXPECT_EQ (jw::unpackSevenBits (unpacked.data(), packed.data(), packed.size()), n);
        unpacked.pop_back();
        EXPECT_EQ (unpacked, body);
    }
}

TEST (CodecRoundTrip, FramingEveryLengthUpTo300)
{
    std::mt19937 rng (0x5eed0002u);
    std::uniform_int_distribution<int> sevenBits (0, 127);

    for (size_t n = 0; n <= 300; ++n)
    {
        SCOPED_TRACE (n);
        const auto body = randomBytes (rng, n);
        const auto sid = (uint8_t) (n % 64), op1 = (uint8_t) sevenBits (rng), op2 = (uint8_t) sevenBits (rng);

        const jw::VexaSeriesStackCodec encoder (sid, op1, op2);
        const auto frame = encoder.encode (body);

        ASSERT_EQ (frame.size(), encoder.expectedEncodedSize (n));
        EXPECT_EQ (frame.front(), 0xF0);
        EXPECT_EQ (frame.back(), 0xF7);
        EXPECT_EQ (frame[1], 0x01);
        EXPECT_EQ (frame[2], sid);
        EXPECT_EQ (frame[4], op1);
        EXPECT_EQ (frame[5], op2);

        uint8_t sum = 0;
        for (size_t i = 6; i + 1 < frame.size(); ++i)
        {
            EXPECT_LT (frame[i], 0x80) << "payload byte " << i;
            sum ^= frame[i];
        }
        EXPECT_EQ (frame[3], sum & 0x7F);
        EXPECT_TRUE (jw::isValidFrame (frame.data(), frame.size()));

        // A fresh codec with other bytes decodes it, as a reply decoder does.
        const jw::VexaSeriesStackCodec decoder ((uint8_t) (sid + 1), 0, 0);
        EXPECT_EQ (decoder.decode (frame), body);
        EXPECT_EQ (decoder.expectedDecodedSize (frame.size()), n);

        // The framing stage alone frames bytes as they are.
        const jw::SysExCommandCodec framing (sid, op1, op2);
        const auto raw = framing.encode (body);
        ASSERT_EQ (raw.size(), n + 7);
        EXPECT_TRUE (std::equal (body.begin(), body.end(), raw.begin() + 6));
        EXPECT_EQ (framing.decode (raw), body);
    }
}

TEST (CodecRoundTrip, CorruptedPayloadFailsTheChecksum)
{
    std::mt19937 rng (0x5eed0003u);

    for (size_t n = 1; n <= 300; n += 7)
    {
        const auto body = randomBytes (rng, n);
        auto frame = jw::VexaSeriesStackCodec (1, 2, 3).encode (body);
        const auto payloadSize = frame.size() - 7;
        const auto at = 6 + (size_t) rng() % payloadSize;
        frame[at] ^= (uint8_t) (1u << (rng() % 7));

        EXPECT_THROW (jw::VexaSeriesStackCodec (1, 2, 3).decode (frame), std::runtime_error)
            << "length " << n << ", byte " << at;
        EXPECT_FALSE (jw::isValidFrame (frame.data(), frame.size()));
    }
}
