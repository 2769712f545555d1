#include "RoutingSupport.h"

#include <gtest/gtest.h>

#include <random>

using testframes::Bytes;
using testframes::concat;
using testframes::frame;

namespace
{
constexpr size_t bound = JwDevice::kMaxPendingBytes;
constexpr size_t chunk = 4096;

/** Random bytes drawn from those given, so that no message can complete. */
Bytes garbage (std::mt19937& rng, size_t n, const Bytes& alphabet)
{
    std::uniform_int_distribution<size_t> pick (0, alphabet.size() - 1);
    Bytes out (n);

    for (auto& b : out)
        b = alphabet[pick (rng)];

    return out;
}

Bytes dataBytes()
{
    Bytes out;

    for (int b = 0; b < 0x80; ++b)
        out.push_back ((uint8_t) b);

    return out;
}

/** Feeds in chunks and checks the bound after every call. */
void feedBounded (FullDevice& full, const Bytes& bytes)
{
    for (size_t from = 0; from < bytes.size(); from += chunk)
    {
        full.feed (bytes, from, std::min (bytes.size(), from + chunk));
        ASSERT_LE (full.pending(), bound) << "after " << from + chunk << " bytes";
    }
}
} // namespace

TEST (BoundedReceiveBuffer, GarbageWithoutStartBytes)
{
    std::mt19937 rng (0x5eed0101u);
    FullDevice full;
    feedBounded (full, garbage (rng, 1024 * 1024, dataBytes()));

    const auto good = frame (5, 1, 2, { 0x42 });
    full.feed (good);
    const auto routed = full.drain();
    EXPECT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 5, { good } } }));
    EXPECT_TRUE (routed.listenerEvents.empty());
    EXPECT_EQ (full.pending(), 0u);
}

TEST (BoundedReceiveBuffer, SysExThatNeverEnds)
{
    std::mt19937 rng (0x5eed0102u);
    FullDevice full;
    feedBounded (full, concat ({ { 0xF0 }, garbage (rng, 300 * 1024, dataBytes()) }));

    // The start byte went with the discarded bytes: the late end byte ends nothing.
    const auto good = frame (7, 1, 2, { 0x01, 0x02 });
    full.feed (concat ({ { 0x11, 0x22, 0xF7 }, good }));
    const auto routed = full.drain();
    EXPECT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 7, { good } } }));
    EXPECT_TRUE (routed.listenerEvents.empty());
}

TEST (BoundedReceiveBuffer, GarbageWithManyStartBytes)
{
    std::mt19937 rng (0x5eed0103u);
    auto alphabet = dataBytes();
    alphabet.insert (alphabet.end(), { 0xF0, 0xF0, 0xF0, 0xFE, 0xB1, 0xF8 });

    FullDevice full;
    feedBounded (full, garbage (rng, 1024 * 1024, alphabet));
    EXPECT_TRUE (full.drain().queues.empty());

    // An end byte closes whatever partial message is left; then a frame gets through.
    const auto good = frame (9, 3, 4, { 0x7F });
    full.feed (concat ({ { 0xF7 }, good }));
    EXPECT_EQ (full.drain().queues.at (9), std::vector<Bytes> { good });
    EXPECT_EQ (full.pending(), 0u);
}

TEST (BoundedReceiveBuffer, PartialMessageUnderTheBoundIsKept)
{
    std::mt19937 rng (0x5eed0104u);
    const auto big = frame (11, 1, 2, garbage (rng, 1000, dataBytes()));
    const auto skipped = garbage (rng, bound + 5000, dataBytes());

    FullDevice full;
    full.feed (concat ({ skipped, Bytes (big.begin(), big.begin() + 500) }));
    EXPECT_EQ (full.pending(), 500u);

    full.feed (big, 500, big.size());
    EXPECT_EQ (full.drain().queues, (std::map<int, std::vector<Bytes>> { { 11, { big } } }));
    EXPECT_EQ (full.pending(), 0u);
}

TEST (BoundedReceiveBuffer, GarbageAfterARoutedMessageInTheSameCall)
{
    std::mt19937 rng (0x5eed0105u);
    const auto first = frame (12, 1, 2, { 0x12 });
    const auto second = frame (13, 1, 2, { 0x13 });

    FullDevice full;
    full.feed (concat ({ first, garbage (rng, 3 * bound, dataBytes()) }));
    EXPECT_LE (full.pending(), bound);

    full.feed (second);
    EXPECT_EQ (full.drain().queues,
               (std::map<int, std::vector<Bytes>> { { 12, { first } }, { 13, { second } } }));
    EXPECT_EQ (full.pending(), 0u);
}
