#include "BenchSupport.h"

#include "JwSysEx.h"
#include "MessageCodec.h"

#include <cstring>
#include <vector>

/*  The codecs on 1 KiB bodies, beside memcpy of the same bytes: the seven-bit packing as
    the senders use it (into a caller's buffer), the unpacking, and the vector-based codec
    stages, alone and as the amplifier's full frame. Every figure is per body byte.
*/
namespace
{
constexpr size_t bodySize = 1024;

std::vector<uint8_t> makeBody()
{
    std::vector<uint8_t> body (bodySize);
    uint32_t x = 0x12345678u;

    // Every byte value, bit 7 set about half the time, as in a firmware image.
    for (auto& b : body)
    {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t) (x >> 24);
    }

    return body;
}

void finish (benchmark::State& state)
{
    state.SetBytesProcessed ((int64_t) state.iterations() * (int64_t) bodySize);
}

void BM_Memcpy (benchmark::State& state)
{
    const auto body = makeBody();
    std::vector<uint8_t> out (bodySize);

    for (auto _ : state)
    {
        std::memcpy (out.data(), body.data(), bodySize);
        benchmark::DoNotOptimize (out.data());
        benchmark::ClobberMemory();
    }

    finish (state);
}

void BM_PackSevenBits (benchmark::State& state)
{
    const auto body = makeBody();
    std::vector<uint8_t> out (bodySize + (bodySize + 6) / 7);

    for (auto _ : state)
    {
        benchmark::DoNotOptimize (JwSysEx::SetupMidiDataFromGeneralData (out.data(), body.data(), (unsigned int) bodySize));
        benchmark::ClobberMemory();
    }

    finish (state);
}

void BM_UnpackSevenBits (benchmark::State& state)
{
    const auto body = makeBody();
    std::vector<uint8_t> packed (bodySize + (bodySize + 6) / 7);
    const auto packedSize = JwSysEx::SetupMidiDataFromGeneralData (packed.data(), body.data(), (unsigned int) bodySize);
    std::vector<uint8_t> out (bodySize);

    for (auto _ : state)
    {
        benchmark::DoNotOptimize (jw::unpackSevenBits (out.data(), packed.data(), packedSize));
        benchmark::ClobberMemory();
    }

    if (out != body)
        state.SkipWithError ("unpacking does not give the body back");

    finish (state);
}

void BM_SevenBitsCodecEncode (benchmark::State& state)
{
    const auto body = makeBody();
    const jw::SevenBitsCodec codec;

    for (auto _ : state)
        benchmark::DoNotOptimize (codec.encode (body));

    finish (state);
}

void BM_SevenBitsCodecDecode (benchmark::State& state)
{
    const auto body = makeBody();
    const jw::SevenBitsCodec codec;
    const auto packed = codec.encode (body);

    for (auto _ : state)
        benchmark::DoNotOptimize (codec.decode (packed));

    if (codec.decode (packed) != body)
        state.SkipWithError ("decoding does not give the body back");

    finish (state);
}

void BM_FrameCodecEncode (benchmark::State& state)
{
    const auto body = makeBody();
    const jw::VexaSeriesStackCodec codec (5, 0x02, 0x23);

    for (auto _ : state)
        benchmark::DoNotOptimize (codec.encode (body));

    finish (state);
}

void BM_FrameCodecDecode (benchmark::State& state)
{
    const auto body = makeBody();
    const jw::VexaSeriesStackCodec codec (5, 0x02, 0x23);
    const auto frame = codec.encode (body);

    for (auto _ : state)
        benchmark::DoNotOptimize (codec.decode (frame));

    if (codec.decode (frame) != body)
        state.SkipWithError ("decoding does not give the body back");

    finish (state);
}

BENCHMARK (BM_Memcpy);
BENCHMARK (BM_PackSevenBits);
BENCHMARK (BM_UnpackSevenBits);
BENCHMARK (BM_SevenBitsCodecEncode);
BENCHMARK (BM_SevenBitsCodecDecode);
BENCHMARK (BM_FrameCodecEncode);
BENCHMARK (BM_FrameCodecDecode);

const bool summary = bench::setSummary ([] (const bench::Figures& figures)
{
    const auto* copy = bench::find (figures, "BM_Memcpy");

    if (copy == nullptr)
        return;

    const auto copyRate = copy->counter ("bytes_per_second");
    std::printf ("Codecs on 1 KiB bodies:\n");
    bench::printFigure ("memcpy", copyRate / 1.0e6, "MB/s");

    const struct { const char* name; const char* label; } rows[] = {
        { "BM_PackSevenBits",        "seven-bit packing into a buffer (encode)" },
        { "BM_UnpackSevenBits",      "seven-bit unpacking into a buffer (decode)" },
        { "BM_SevenBitsCodecEncode", "SevenBitsCodec encode" },
        { "BM_SevenBitsCodecDecode", "SevenBitsCodec decode" },
        { "BM_FrameCodecEncode",     "frame codec stack encode (packing + frame)" },
        { "BM_FrameCodecDecode",     "frame codec stack decode (frame + unpacking)" }
    };

    for (const auto& row : rows)
    {
        if (const auto* f = bench::find (figures, row.name))
        {
            const auto rate = f->counter ("bytes_per_second");
            bench::printFigure (row.label, rate / 1.0e6, "MB/s");
            bench::printFigure ("  time against memcpy of the same bytes", copyRate / rate, "x");
        }
    }
});
} // namespace
