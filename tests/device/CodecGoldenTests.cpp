#include "JwSysEx.h"
#include "MessageCodec.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes packWithRoutine (const Bytes& in)
{
    Bytes out (in.size() + (in.size() + 6) / 7 + 16, 0xEE);
    const auto written = JwSysEx::SetupMidiDataFromGeneralData (out.data(), in.data(),
                                                                (unsigned int) in.size());
    // Nothing past the packed bytes may be touched.
    for (size_t i = written; i < out.size(); ++i)
        EXPECT_EQ (out[i], 0xEE) << "byte " << i << " past the packed output was written";

    out.resize (written);
    return out;
}

void expectThrowsWithText (const std::function<void()>& f, const std::string& text)
{
    try
    {
        f();
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_EQ (std::string (e.what()), text);
    }
}
} // namespace

TEST (FrameCodec, EmptyBodyFrames)
{
    EXPECT_EQ (jw::VexaSeriesStackCodec (5, 2, 35).encode ({}),
               (Bytes { 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 }));

    // The probe request is exactly this frame.
    EXPECT_EQ (jw::VexaSeriesStackCodec (0, 2, 18).encode ({}),
               (Bytes { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 }));
}

TEST (FrameCodec, BodyWithHighBitsPacksFramesAndDecodes)
{
    const Bytes body { 0x81, 0x02, 0xFF };
    const Bytes expected { 0xF0, 0x01, 0x05, 0x79, 0x02, 0x23, 0x05, 0x01, 0x02, 0x7F, 0xF7 };

    EXPECT_EQ (jw::SevenBitsCodec().encode (body), (Bytes { 0x05, 0x01, 0x02, 0x7F }));
    EXPECT_EQ (jw::VexaSeriesStackCodec (5, 2, 35).encode (body), expected);

    // The decoding codec's own id and operation bytes play no part.
    EXPECT_EQ (jw::VexaSeriesStackCodec (5, 2, 35).decode (expected), body);
    EXPECT_EQ (jw::VexaSeriesStackCodec (63, 9, 9).decode (expected), body);
}

TEST (FrameCodec, EncodeWritesChecksumOfEachInput)
{
    // The same codec object used twice must not keep the first checksum.
    const jw::SysExCommandCodec codec (7, 1, 2);
    EXPECT_EQ (codec.encode ({ 0x11, 0x22 })[3], 0x33);
    EXPECT_EQ (codec.encode ({})[3], 0x00);
    EXPECT_EQ (codec.encode ({ 0x80, 0x01 })[3], 0x01);   // masked to seven bits

    // The framing stage alone does not mask payload bytes.
    EXPECT_EQ (codec.encode ({ 0x80, 0xF7 }),
               (Bytes { 0xF0, 0x01, 0x07, 0x77, 0x01, 0x02, 0x80, 0xF7, 0xF7 }));
}

TEST (FrameCodec, DecodeChecksOnlyTheChecksum)
{
    const jw::VexaSeriesStackCodec codec (5, 2, 35);
    EXPECT_TRUE (codec.decode ({ 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 }).empty());

    expectThrowsWithText ([&] { codec.decode ({ 0xF0, 0x01, 0x05, 0x01, 0x02, 0x23, 0xF7 }); },
                          "checksum mismatched");

    // Start byte, constant, session id, operation bytes and end byte are not looked at.
    EXPECT_EQ (codec.decode ({ 0x00, 0x7E, 0x3F, 0x79, 0x55, 0x66, 0x05, 0x01, 0x02, 0x7F, 0x00 }),
               (Bytes { 0x81, 0x02, 0xFF }));
    EXPECT_EQ (jw::SysExCommandCodec (1, 1, 1).decode ({ 0xF0, 0, 0, 0x12, 0, 0, 0x12, 0x42 }),
               (Bytes { 0x12 }));
}

TEST (FrameCodec, ShortFramesThrowLengthError)
{
    for (size_t n = 0; n < 7; ++n)
    {
        const Bytes shortFrame (n, 0xF0);
        EXPECT_THROW (jw::VexaSeriesStackCodec (1, 2, 3).decode (shortFrame), std::length_error) << n;
        EXPECT_THROW (jw::SysExCommandCodec (1, 2, 3).decode (shortFrame), std::length_error) << n;
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

    const jw::SysExCommandCodec command (0, 0, 0);
    EXPECT_EQ (command.expectedEncodedSize (4), 11u);
    EXPECT_EQ (command.expectedDecodedSize (11), 4u);
    // Below 7 the size wraps to a value no vector can have.
    EXPECT_GT (command.expectedDecodedSize (3), (size_t) 1 << 63);

    const jw::VexaSeriesStackCodec stack (0, 0, 0);
    EXPECT_EQ (stack.expectedEncodedSize (8), 10u + 7u);
    EXPECT_EQ (stack.expectedDecodedSize (17), 8u);
    EXPECT_EQ (stack.expectedDecodedSize (16), 7u);
}

TEST (SevenBitPacking, FullGroupAndGroupOfOne)
{
    const Bytes body { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87 };
    const Bytes packed { 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01, 0x07 };

    EXPECT_EQ (packWithRoutine (body), packed);
    EXPECT_EQ (jw::SevenBitsCodec().encode (body), packed);
    EXPECT_EQ (jw::SevenBitsCodec().decode (packed), body);
}

TEST (SevenBitPacking, RoutineOnAFlashBlock)
{
    Bytes block (257);

    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (uint8_t) (i * 37 + 11);

    Bytes out (400, 0xEE);
    EXPECT_EQ (JwSysEx::SetupMidiDataFromGeneralData (out.data(), block.data(), 257), 294u);
    EXPECT_EQ (out[293 + 1], 0xEE);
    EXPECT_NE (out[293], 0xEE);

    EXPECT_EQ (JwSysEx::SetupMidiDataFromGeneralData (out.data(), block.data(), 0), 0u);
}

TEST (SevenBitPacking, UnpackingOddShapes)
{
    const jw::SevenBitsCodec codec;

    // A last group of a single byte gives nothing.
    const Bytes nine { 0x7F, 1, 2, 3, 4, 5, 6, 7, 0x55 };
    EXPECT_EQ (codec.decode (nine), (Bytes { 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87 }));
    EXPECT_TRUE (codec.decode ({ 0x7F }).empty());
    EXPECT_TRUE (codec.decode ({}).empty());

    // Data bytes are not masked.
    EXPECT_EQ (codec.decode ({ 0x00, 0x85 }), (Bytes { 0x85 }));

    // Header bit 7 and bits beyond the group are ignored.
    EXPECT_EQ (codec.decode ({ 0xFE, 0x01, 0x02 }), (Bytes { 0x01, 0x82 }));

    uint8_t out[8] = {};
    EXPECT_EQ (jw::unpackSevenBits (out, nine.data(), nine.size()), 7u);
    EXPECT_EQ (out[6], 0x87);
}

TEST (StackCodec, AppendsStagesAndRunsThemInOrder)
{
    jw::MessageStackCodec empty;
    const Bytes any { 0x01, 0xFF, 0x80 };
    EXPECT_EQ (empty.encode (any), any);
    EXPECT_EQ (empty.decode (any), any);
    EXPECT_EQ (empty.expectedEncodedSize (123), 123u);
    EXPECT_EQ (empty.expectedDecodedSize (123), 123u);

    jw::MessageStackCodec twice;
    twice.addCodec (std::make_unique<jw::SevenBitsCodec>());
    twice.addCodec (std::make_unique<jw::SevenBitsCodec>());

    const Bytes body { 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87 };
    const jw::SevenBitsCodec once;
    EXPECT_EQ (twice.encode (body), once.encode (once.encode (body)));
    EXPECT_EQ (twice.decode (twice.encode (body)), body);
    EXPECT_EQ (twice.expectedEncodedSize (8), once.expectedEncodedSize (once.expectedEncodedSize (8)));

    // Decoding runs the stages back to front: framing is undone before unpacking.
    jw::MessageStackCodec framed;
    framed.addCodec (std::make_unique<jw::SevenBitsCodec>());
    framed.addCodec (std::make_unique<jw::SysExCommandCodec> (3, 4, 5));
    EXPECT_EQ (framed.encode (body), jw::VexaSeriesStackCodec (3, 4, 5).encode (body));
    EXPECT_EQ (framed.decode (framed.encode (body)), body);
}

TEST (StackCodec, FixedStackRefusesStages)
{
    jw::VexaSeriesStackCodec codec (1, 2, 3);
    const auto before = codec.encode ({ 0x42 });

    try
    {
        codec.addCodec (std::make_unique<jw::SevenBitsCodec>());
        FAIL() << "no exception";
    }
    catch (const std::logic_error& e)
    {
        EXPECT_EQ (std::string (e.what()), "VEXA series should not call this function");
    }

    EXPECT_EQ (codec.encode ({ 0x42 }), before);
}

TEST (FrameCheck, ValidFrames)
{
    EXPECT_TRUE (jw::isValidFrame (Bytes { 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 }.data(), 7));

    const Bytes good { 0xF0, 0x01, 0x05, 0x79, 0x02, 0x23, 0x05, 0x01, 0x02, 0x7F, 0xF7 };
    EXPECT_TRUE (jw::isValidFrame (good.data(), good.size()));

    auto badSum = good;
    badSum[3] ^= 1;
    EXPECT_FALSE (jw::isValidFrame (badSum.data(), badSum.size()));

    auto badEnd = good;
    badEnd.back() = 0x7F;
    EXPECT_FALSE (jw::isValidFrame (badEnd.data(), badEnd.size()));

    auto badStart = good;
    badStart.front() = 0xF1;
    EXPECT_FALSE (jw::isValidFrame (badStart.data(), badStart.size()));

    EXPECT_FALSE (jw::isValidFrame (good.data(), 6));
    EXPECT_FALSE (jw::isValidFrame (nullptr, 7));
    EXPECT_EQ (jw::frameChecksum (nullptr, 0), 0);
}
