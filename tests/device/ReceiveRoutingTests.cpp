#include "RoutingSupport.h"

#include <gtest/gtest.h>

using testframes::Bytes;
using testframes::concat;
using testframes::firmwareReply;
using testframes::frame;

namespace
{
void feed (TestDevice& device, const Bytes& bytes)
{
    device.OnReadNext (bytes.data(), (int) bytes.size());
}

std::vector<Bytes> drainQueue (TestDevice& device, int sid)
{
    std::vector<Bytes> out;
    Bytes buf (1024);

    for (int n; (n = device.ReadNext (sid, buf.data(), buf.size(), -1)) >= 0;)
        out.emplace_back (buf.begin(), buf.begin() + n);

    return out;
}
} // namespace

TEST (ReceiveRouting, FrameSplitOverTwoCalls)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto message = frame ((uint8_t) sid, 2, 35, { 0x05, 0x01, 0x02, 0x7F });

    device.OnReadNext (message.data(), 4);
    EXPECT_TRUE (drainQueue (device, sid).empty());
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 4u);

    device.OnReadNext (message.data() + 4, (int) message.size() - 4);
    EXPECT_EQ (drainQueue (device, sid), std::vector<Bytes> { message });
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 0u);
}

TEST (ReceiveRouting, TwoFramesInOneCallKeepTheirOrder)
{
    TestDevice device;
    const auto first = device.AllocateSid(), second = device.AllocateSid();
    const auto a = frame ((uint8_t) second, 1, 1, { 0x10 }), b = frame ((uint8_t) first, 1, 2, { 0x20 }),
               c = frame ((uint8_t) second, 1, 3, { 0x30 });

    feed (device, concat ({ a, b, c }));
    EXPECT_EQ (drainQueue (device, first), std::vector<Bytes> { b });
    EXPECT_EQ (drainQueue (device, second), (std::vector<Bytes> { a, c }));
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 0u);
}

TEST (ReceiveRouting, LaterStartByteRestartsTheMessage)
{
    TestDevice device;
    device.AllocateSid();
    EXPECT_EQ (device.AllocateSid(), 2);

    feed (device, { 0xF0, 0x01, 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 });
    EXPECT_EQ (drainQueue (device, 2), (std::vector<Bytes> { { 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 } }));
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 0u);
}

TEST (ReceiveRouting, BadChecksumAndUnusedIdAreDropped)
{
    FullDevice full;
    full.device.ReleaseSid (9);

    auto corrupt = frame (4, 1, 1, { 0x01, 0x02 });
    corrupt[3] ^= 0x40;
    const auto forUnused = frame (9, 1, 1, { 0x03 });
    const auto good = frame (4, 1, 2, { 0x04 });

    full.feed (concat ({ corrupt, forUnused, good }));
    const auto routed = full.drain();

    EXPECT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 4, { good } } }));
    // A frame for a free id is dropped quietly; a broken one goes to the listener.
    EXPECT_EQ (routed.listenerEvents,
               (std::vector<std::string> { "sysex:" + RecordingListener::hex (corrupt),
                                           "message:" + RecordingListener::hex (corrupt) }));
}

TEST (ReceiveRouting, FirmwareRepliesGoToTheOwnId)
{
    for (const bool allInUse : { false, true })
    {
        TestDevice device;

        if (allInUse)
            for (int i = 1; i < JwDevice::kNumSessions; ++i)
                device.AllocateSid();

        const auto status = firmwareReply ("RetFwStatus", { 0x01 });
        const auto info = firmwareReply ("RetFwInfo");                 // 11 bytes: shortest
        const auto flash = firmwareReply ("RetWriteFlash", { 0x7F, 0x40 });
        const auto truncatedName = firmwareReply ("RetFwInf");         // no longer a reply
        feed (device, concat ({ status, info, truncatedName, flash }));

        EXPECT_EQ (drainQueue (device, device.own_sid_), (std::vector<Bytes> { status, info, flash }))
            << "all in use: " << allInUse;
    }
}

TEST (ReceiveRouting, ControlMessagesAreConsumed)
{
    FullDevice full;
    const auto good = frame (6, 0, 0, { 0x66 });

    full.feed (concat ({ { 0xB0, 0x07, 0x64 }, good, { 0xC0, 0x05 } }));
    const auto routed = full.drain();

    EXPECT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 6, { good } } }));
    EXPECT_EQ (routed.listenerEvents, (std::vector<std::string> { "message:B00764", "message:C005" }));
    EXPECT_EQ (full.pending(), 0u);
}

TEST (ReceiveRouting, StrayByteWaitsForTheNextMessage)
{
    TestDevice device;
    const auto sid = device.AllocateSid();

    feed (device, { 0xFE });
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 1u);
    feed (device, { 0xB1, 0xC1, 0xF7 });   // near misses of start bytes, a lone end byte
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 4u);

    const auto message = frame ((uint8_t) sid, 0, 0);
    feed (device, message);
    EXPECT_EQ (drainQueue (device, sid), std::vector<Bytes> { message });
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 0u);
}

TEST (ReceiveRouting, LastByteOfAMessageIsLookedAtAgain)
{
    // The control message's last byte starts the next message within the same call.
    FullDevice full;
    full.feed ({ 0xB0, 0x01, 0xC0, 0x05 });
    EXPECT_EQ (full.drain().listenerEvents, (std::vector<std::string> { "message:B001C0", "message:C005" }));
    EXPECT_EQ (full.pending(), 0u);
}

TEST (ReceiveRouting, NoInputIsIgnored)
{
    TestDevice device;
    device.OnReadNext (nullptr, 5);
    const uint8_t byte = 0xF0;
    device.OnReadNext (&byte, 0);
    device.OnReadNext (&byte, -3);
    EXPECT_EQ (JwDeviceTestAccess::pendingBytes (device), 0u);
}

TEST (ReceiveRouting, ListenerGetsWhatNoQueueTakes)
{
    FullDevice full;
    const auto highId = frame (64, 1, 2, { 0x0A });
    const auto highest = frame (0xFF, 1, 2);
    const auto tooShort = Bytes { 0xF0, 0x01, 0x02, 0xF7 };
    const auto inRange = frame (63, 1, 2, { 0x0B });

    full.feed (concat ({ highId, tooShort, inRange, highest }));
    const auto routed = full.drain();

    EXPECT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 63, { inRange } } }));
    EXPECT_EQ (routed.listenerEvents,
               (std::vector<std::string> { "message:" + RecordingListener::hex (highId),
                                           "sysex:F00102F7", "message:F00102F7",
                                           "message:" + RecordingListener::hex (highest) }));

    // Without a listener the same input is dropped without harm.
    JwDeviceTestAccess::setListener (full.device, nullptr);
    full.feed (concat ({ highId, tooShort, inRange }));
    EXPECT_EQ (full.drain().queues, (std::map<int, std::vector<Bytes>> { { 63, { inRange } } }));
}

//==============================================================================
namespace
{
struct Stream
{
    Bytes bytes;
    Routed expected;
};

/** Several frames and other messages in one stream, with what each must become. */
Stream mixedStream()
{
    const auto f1 = frame (1, 2, 35, { 0x05, 0x01, 0x02, 0x7F });
    const auto f2 = frame (2, 0x10, 0x11, Bytes (20, 0x3C));
    const auto f3 = frame (3, 0, 0);
    const auto f1b = frame (1, 2, 36, { 0x00, 0x7F, 0x7F });
    const auto fw = firmwareReply ("RetFwInfo", { 0x00, 0x01, 0x02 });
    const auto high = frame (70, 1, 1, { 0x01 });
    auto bad = frame (3, 1, 1, { 0x11, 0x22 });
    bad[3] ^= 0x01;

    Stream s;
    s.bytes = concat ({ { 0xB0, 0x07, 0x64 }, f1, { 0xFE, 0x00 }, fw, f2, bad, f3,
                        { 0xC0, 0x05 }, high, f1b, { 0xF0, 0x01 } });
    s.expected.queues = { { 0, { fw } }, { 1, { f1, f1b } }, { 2, { f2 } }, { 3, { f3 } } };
    s.expected.listenerEvents = { "message:B00764",
                                  "sysex:" + RecordingListener::hex (bad),
                                  "message:" + RecordingListener::hex (bad),
                                  "message:C005",
                                  "message:" + RecordingListener::hex (high) };
    return s;
}
} // namespace

TEST (ReceiveRouting, WholeStreamInOneCall)
{
    const auto stream = mixedStream();
    FullDevice full;
    full.feed (stream.bytes);
    EXPECT_EQ (full.drain(), stream.expected);
    EXPECT_EQ (full.pending(), 2u);   // the unfinished message at the end
}

TEST (ReceiveRouting, EverySplitPointRoutesTheSame)
{
    const auto stream = mixedStream();
    const auto n = stream.bytes.size();

    for (size_t cut = 0; cut <= n; ++cut)
    {
        FullDevice full;
        full.feed (stream.bytes, 0, cut);
        full.feed (stream.bytes, cut, n);
        ASSERT_EQ (full.drain(), stream.expected) << "cut at " << cut;
        ASSERT_EQ (full.pending(), 2u) << "cut at " << cut;
    }
}

TEST (ReceiveRouting, EveryPairOfSplitPointsRoutesTheSame)
{
    const auto stream = mixedStream();
    const auto n = stream.bytes.size();

    for (size_t first = 0; first <= n; ++first)
    {
        for (size_t second = first; second <= n; ++second)
        {
            FullDevice full;
            full.feed (stream.bytes, 0, first);
            full.feed (stream.bytes, first, second);
            full.feed (stream.bytes, second, n);
            ASSERT_EQ (full.drain(), stream.expected) << "cuts at " << first << ", " << second;
        }
    }
}

TEST (ReceiveRouting, ByteByByteRoutesTheSame)
{
    const auto stream = mixedStream();
    FullDevice full;

    for (size_t i = 0; i < stream.bytes.size(); ++i)
        full.feed (stream.bytes, i, i + 1);

    EXPECT_EQ (full.drain(), stream.expected);
}

TEST (ReceiveRouting, CorruptedFrameIsDroppedAndItsNeighboursSurvive)
{
    const auto before = frame (1, 1, 1, { 0x01 });
    const auto victim = frame (2, 3, 4, { 0x05, 0x01, 0x02, 0x7F, 0x33 });
    const auto after = frame (3, 1, 1, { 0x02 });

    // Any change of a payload or checksum byte within seven bits breaks the checksum.
    for (size_t at = 3; at + 1 < victim.size(); ++at)
    {
        if (at == 4 || at == 5)
            continue;   // operation bytes are not covered by the checksum

        for (const uint8_t flip : { 0x01, 0x10, 0x40 })
        {
            auto corrupt = victim;
            corrupt[at] ^= flip;

            FullDevice full;
            full.feed (concat ({ before, corrupt, after }));
            const auto routed = full.drain();

            ASSERT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 1, { before } }, { 3, { after } } }))
                << "byte " << at << " flipped by " << (int) flip;
            ASSERT_EQ (routed.listenerEvents.size(), 2u);
        }
    }
}

TEST (ReceiveRouting, LostEndByteJoinsTwoFramesIntoOneBadMessage)
{
    const auto first = frame (1, 1, 1, { 0x01, 0x02 });
    const auto second = frame (2, 1, 1, { 0x03 });
    const auto third = frame (3, 1, 1, { 0x04 });

    auto truncated = first;
    truncated.pop_back();   // F7 lost: the next F0 restarts the message

    FullDevice full;
    full.feed (concat ({ truncated, second, third }));
    const auto routed = full.drain();
    EXPECT_EQ (routed.queues, (std::map<int, std::vector<Bytes>> { { 2, { second } }, { 3, { third } } }));
    EXPECT_TRUE (routed.listenerEvents.empty());

    // A lost start byte leaves the rest as skipped bytes until the next frame.
    FullDevice other;
    other.feed (concat ({ Bytes (first.begin() + 1, first.end()), second }));
    EXPECT_EQ (other.drain().queues, (std::map<int, std::vector<Bytes>> { { 2, { second } } }));
    EXPECT_EQ (other.pending(), 0u);
}
