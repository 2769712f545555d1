#include "RoutingSupport.h"

#include <gtest/gtest.h>

#include <random>

using testframes::Bytes;
using testframes::concat;
using testframes::frame;
using Queues = std::map<int, std::vector<Bytes>>;

namespace
{
constexpr size_t bound = JwDevice::kMaxPendingBytes;

/** Random bytes below 0x80, or else one of those given, so that no message can complete. */
Bytes garbage (std::mt19937& rng, size_t n, const Bytes& extra = {})
{
    Bytes out (n);

    for (auto& b : out)
    {
        const auto pick = rng() % (0x80 + extra.size());
        b = pick < 0x80 ? (uint8_t) pick : extra[pick - 0x80];
    }

    return out;
}
} // namespace

TEST (BoundedReceiveBuffer, LongGarbageStaysBoundedAndAFrameGetsThrough)
{
    std::mt19937 rng (0x5eed0101u);
    const struct
    {
        Bytes stream;
        bool quiet;   // nothing may reach the listener
    } cases[] = {
        { garbage (rng, 1024 * 1024), true },
        { concat ({ { 0xF0 }, garbage (rng, 300 * 1024) }), true },   // a SysEx that never ends
        { garbage (rng, 1024 * 1024, { 0xF0, 0xF0, 0xF0, 0xFE, 0xB1, 0xF8 }), false },
    };

    for (const auto& c : cases)
    {
        FullDevice full;

        for (size_t from = 0; from < c.stream.size(); from += 4096)
        {
            full.feed (c.stream, from, from + 4096);
            ASSERT_LE (full.pending(), bound) << "after " << from + 4096 << " bytes";
        }

        EXPECT_TRUE (full.drain().queues.empty());

        // A start byte that went with the trimmed bytes must not make the late end
        // byte end anything; then a frame gets through.
        const auto good = frame (7, 1, 2, { 0x01, 0x02 });
        full.feed (concat ({ { 0x11, 0x22, 0xF7 }, good }));
        const auto routed = full.drain();
        EXPECT_EQ (routed.queues, (Queues { { 7, { good } } }));
        EXPECT_TRUE (! c.quiet || routed.listenerEvents.empty());
        EXPECT_EQ (full.pending(), 0u);
    }
}

TEST (BoundedReceiveBuffer, TrimKeepsTheMessageInProgress)
{
    std::mt19937 rng (0x5eed0104u);
    const auto big = frame (11, 1, 2, garbage (rng, 1000));
    const auto first = frame (12, 1, 2, { 0x12 });

    // Trimming after a message was routed in the same call.
    FullDevice full;
    full.feed (concat ({ first, garbage (rng, 3 * bound) }));
    EXPECT_LE (full.pending(), bound);

    // Skipped bytes are trimmed, the start of a message under the bound is not.
    full.feed (concat ({ garbage (rng, bound + 5000), Bytes (big.begin(), big.begin() + 500) }));
    EXPECT_EQ (full.pending(), 500u);

    full.feed (big, 500);
    EXPECT_EQ (full.drain().queues, (Queues { { 11, { big } }, { 12, { first } } }));
    EXPECT_EQ (full.pending(), 0u);
}
