#include "BenchSupport.h"

#include "JwDevice.h"
#include "MessageCodec.h"

#include <algorithm>
#include <vector>

/*  The receive path: what the MIDI thread spends per received byte, reassembling the
    stream and routing each message to its reply queue. A stream of back-to-back 310-byte
    frames for a session in use is fed to OnReadNext whole (one call per message, as the
    MIDI service delivers SysEx), in 64-byte pieces and byte by byte; the reader drains the
    queue as it would. The cost per byte must not grow with the length of the stream. Each
    case runs five times and the fastest counts.
*/
namespace
{
constexpr int frameSize = 310;
constexpr int drainEvery = 16;   // messages between two drains of the reply queue

/** A device whose only traffic is what the benchmark feeds it. */
class StreamDevice final : public JwDevice
{
public:
    bool Open() override { return true; }
    void Close() override {}

protected:
    int Internal_Send (const uint8_t*, size_t len) override { return (int) len; }
};

/** A valid application frame of frameSize bytes for session sid, payload varying with n. */
std::vector<uint8_t> makeFrame (uint8_t sid, int n)
{
    std::vector<uint8_t> frame ((size_t) frameSize);
    frame[0] = 0xF0;
    frame[1] = 0x01;
    frame[2] = sid;
    frame[4] = 0x03;
    frame[5] = 0x12;

    for (size_t i = 6; i + 1 < frame.size(); ++i)
        frame[i] = (uint8_t) ((i * 7 + (size_t) n) & 0x7F);

    frame.back() = 0xF7;
    frame[3] = jw::frameChecksum (frame.data() + 6, frame.size() - 7);
    return frame;
}

/** Whole frames covering at least the given number of bytes. */
std::vector<uint8_t> makeStream (uint8_t sid, int64_t bytes)
{
    std::vector<uint8_t> stream;
    const auto frames = (bytes + frameSize - 1) / frameSize;
    stream.reserve ((size_t) (frames * frameSize));

    for (int64_t n = 0; n < frames; ++n)
    {
        const auto frame = makeFrame (sid, (int) n);
        stream.insert (stream.end(), frame.begin(), frame.end());
    }

    return stream;
}

/** Arguments: stream length in bytes, piece length (0 = each message whole). */
void BM_ReceivePath (benchmark::State& state)
{
    const auto streamBytes = state.range (0);
    const auto piece = (size_t) state.range (1);

    StreamDevice device;
    const auto sid = device.AllocateSid();
    const auto stream = makeStream ((uint8_t) sid, streamBytes);
    const auto step = piece == 0 ? (size_t) frameSize : piece;
    uint8_t buffer[512];
    int64_t messagesRead = 0;

    for (auto _ : state)
    {
        size_t sinceDrain = 0;

        for (size_t offset = 0; offset < stream.size(); offset += step)
        {
            const auto len = std::min (step, stream.size() - offset);
            device.OnReadNext (stream.data() + offset, (int) len);
            sinceDrain += len;

            if (sinceDrain >= (size_t) (drainEvery * frameSize))
            {
                while (device.ReadNext (sid, buffer, sizeof (buffer), -1) > 0)
                    ++messagesRead;

                sinceDrain = 0;
            }
        }

        while (device.ReadNext (sid, buffer, sizeof (buffer), -1) > 0)
            ++messagesRead;
    }

    // Every frame must have been routed, or the figure would measure a broken path.
    if (messagesRead != (int64_t) state.iterations() * (int64_t) (stream.size() / frameSize))
        state.SkipWithError ("frames lost on the receive path");

    state.SetBytesProcessed ((int64_t) state.iterations() * (int64_t) stream.size());
}

constexpr int64_t smallStream = 16 * 1024;
constexpr int64_t largeStream = 1024 * 1024;

BENCHMARK (BM_ReceivePath)
    ->ArgNames ({ "bytes", "piece" })
    ->Args ({ smallStream, 0 })->Args ({ largeStream, 0 })
    ->Args ({ smallStream, 64 })->Args ({ largeStream, 64 })
    ->Args ({ smallStream, 1 })->Args ({ largeStream, 1 })
    ->Unit (benchmark::kMicrosecond)
    ->Repetitions (5);

std::string name (int64_t bytes, int piece)
{
    return "BM_ReceivePath/bytes:" + std::to_string (bytes) + "/piece:" + std::to_string (piece);
}

const bool summary = bench::setSummary ([] (const bench::Figures& figures)
{
    const struct { int piece; const char* label; } deliveries[] = {
        { 0, "whole messages" }, { 64, "64-byte pieces" }, { 1, "byte by byte" }
    };

    for (const auto& d : deliveries)
    {
        const auto* small = bench::find (figures, name (smallStream, d.piece));
        const auto* large = bench::find (figures, name (largeStream, d.piece));

        if (small == nullptr || large == nullptr)
            continue;

        const auto smallNsPerByte = small->realSeconds * 1.0e9 / (double) makeStream (1, smallStream).size();
        const auto largeNsPerByte = large->realSeconds * 1.0e9 / (double) makeStream (1, largeStream).size();

        std::printf ("Receive path, %s:\n", d.label);
        bench::printFigure ("throughput over 1 MiB", large->counter ("bytes_per_second") / 1.0e6, "MB/s");
        bench::printFigure ("cost per byte over 16 KiB", smallNsPerByte, "ns");
        bench::printFigure ("cost per byte over 1 MiB", largeNsPerByte, "ns");
        bench::printCheck ("cost per byte, 1 MiB / 16 KiB", largeNsPerByte / smallNsPerByte, "",
                           true, 1.5);
    }
});
} // namespace
