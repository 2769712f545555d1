#include "RoutingSupport.h"

#include <gtest/gtest.h>

using testframes::Bytes;
using testframes::concat;
using testframes::firmwareReply;
using testframes::frame;
using Queues = std::map<int, std::vector<Bytes>>;

TEST (ReceiveRouting, LaterStartByteRestartsTheMessage)
{
    FullDevice full;
    full.feed ({ 0xF0, 0x01, 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 });
    EXPECT_EQ (full.drain(), (Routed { { { 2, { { 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 } } } }, {} }));
    EXPECT_EQ (full.pending(), 0u);
}

TEST (ReceiveRouting, FirmwareRepliesGoToTheOwnId)
{
    FullDevice full;
    const auto status = firmwareReply ("RetFwStatus", { 0x01 });
    const auto info = firmwareReply ("RetFwInfo");                 // 11 bytes: shortest
    const auto flash = firmwareReply ("RetWriteFlash", { 0x7F, 0x40 });
    const auto truncated = firmwareReply ("RetFwInf");             // no longer a reply
    full.feed (concat ({ status, info, truncated, flash }));
    EXPECT_EQ (full.drain(), (Routed { { { full.device.own_sid_, { status, info, flash } } },
                                       { "sysex:" + RecordingListener::hex (truncated),
                                         "message:" + RecordingListener::hex (truncated) } }));
}

TEST (ReceiveRouting, ControlMessagesGoToTheListener)
{
    FullDevice full;
    const auto good = frame (6, 0, 0, { 0x66 });

    // Within one call a message's last byte is looked at again: B0 01 C0, then C0 05.
    full.feed (concat ({ { 0xB0, 0x07, 0x64 }, good, { 0xB0, 0x01, 0xC0, 0x05 } }));
    EXPECT_EQ (full.drain(), (Routed { { { 6, { good } } }, { "message:B00764", "message:B001C0", "message:C005" } }));
    EXPECT_EQ (full.pending(), 0u);
}

TEST (ReceiveRouting, StrayBytesWaitForTheNextMessage)
{
    FullDevice full;
    full.device.OnReadNext (nullptr, 5);
    full.feed ({ 0xF0 }, 0, 0);
    full.device.OnReadNext (Bytes { 0xF0 }.data(), -3);
    EXPECT_EQ (full.pending(), 0u);

    full.feed ({ 0xFE });
    EXPECT_EQ (full.pending(), 1u);
    full.feed ({ 0xB1, 0xC1, 0xF7 });   // near misses of start bytes, a lone end byte
    EXPECT_EQ (full.pending(), 4u);

    const auto message = frame (3, 0, 0);
    full.feed (message);
    EXPECT_EQ (full.drain(), (Routed { { { 3, { message } } }, {} }));
    EXPECT_EQ (full.pending(), 0u);
}

TEST (ReceiveRouting, EverySplitOfAMixedStreamRoutesTheSame)
{
    constexpr int freeSid = 60;
    const auto f1 = frame (1, 2, 35, { 0x05, 0x01, 0x02, 0x7F }), f1b = frame (1, 2, 36, { 0x00, 0x7F, 0x7F });
    const auto f2 = frame (2, 0x10, 0x11, Bytes (20, 0x3C)), f3 = frame (3, 0, 0);
    const auto fw = firmwareReply ("RetFwInfo", { 0x00, 0x01, 0x02 });
    const auto high = frame (64, 1, 1, { 0x01 }), highest = frame (0xFF, 1, 2);
    auto bad = frame (3, 1, 1, { 0x11, 0x22 });
    bad[3] ^= 0x01;

    // A frame for a free id is dropped quietly; a broken or too short one, one for an id
    // out of range and control messages go to the listener.
    const auto stream = concat ({ { 0xB0, 0x07, 0x64 }, f1, { 0xFE, 0x00 }, fw, f2, bad, frame (freeSid, 1, 1, { 3 }),
                                  f3, { 0xC0, 0x05 }, high, { 0xF0, 0x01, 0x02, 0xF7 }, highest, f1b,
                                  { 0xF0, 0x01 } });
    const Routed expected { { { 0, { fw } }, { 1, { f1, f1b } }, { 2, { f2 } }, { 3, { f3 } } },
                            { "message:B00764", "sysex:" + RecordingListener::hex (bad),
                              "message:" + RecordingListener::hex (bad), "message:C005",
                              "message:" + RecordingListener::hex (high), "sysex:F00102F7", "message:F00102F7",
                              "message:" + RecordingListener::hex (highest) } };
    const auto n = stream.size();

    for (size_t first = 0; first <= n; ++first)
    {
        for (size_t second = first; second <= n; ++second)
        {
            FullDevice full (freeSid);
            full.feed (stream, 0, first);
            full.feed (stream, first, second);
            full.feed (stream, second, n);
            ASSERT_EQ (full.drain(), expected) << "cuts at " << first << ", " << second;
            ASSERT_EQ (full.pending(), 2u) << "cuts at " << first << ", " << second;
        }
    }

    FullDevice full (freeSid);

    for (size_t i = 0; i < n; ++i)
        full.feed (stream, i, i + 1);

    EXPECT_EQ (full.drain(), expected);

    // Without a listener the same input is routed alike, the rest dropped without harm.
    JwDeviceTestAccess::setListener (full.device, nullptr);
    full.feed (stream);
    EXPECT_EQ (full.drain().queues, expected.queues);
}

TEST (ReceiveRouting, CorruptedFrameIsDroppedAndItsNeighboursSurvive)
{
    const auto before = frame (1, 1, 1, { 0x01 }), after = frame (3, 1, 1, { 0x02 });
    const auto victim = frame (2, 3, 4, { 0x05, 0x01, 0x02, 0x7F, 0x33 });

    // Operation bytes (4 and 5) are not covered by the checksum.
    for (size_t at = 3; at + 1 < victim.size(); at += (at == 3 ? 3 : 1))
    {
        for (const uint8_t flip : { 0x01, 0x10, 0x40 })
        {
            auto corrupt = victim;
            corrupt[at] ^= flip;

            FullDevice full;
            full.feed (concat ({ before, corrupt, after }));
            const auto routed = full.drain();
            ASSERT_EQ (routed.queues, (Queues { { 1, { before } }, { 3, { after } } })) << at << " " << (int) flip;
            ASSERT_EQ (routed.listenerEvents.size(), 2u);
        }
    }
}

TEST (ReceiveRouting, LostStartOrEndByte)
{
    const auto first = frame (1, 1, 1, { 0x01, 0x02 }), second = frame (2, 1, 1, { 0x03 });

    // Without its F7 the next F0 restarts the message.
    FullDevice full;
    full.feed (concat ({ Bytes (first.begin(), first.end() - 1), second, frame (3, 1, 1) }));
    EXPECT_EQ (full.drain(), (Routed { { { 2, { second } }, { 3, { frame (3, 1, 1) } } }, {} }));

    // Without its F0 the rest is skipped until the next frame.
    full.feed (concat ({ Bytes (first.begin() + 1, first.end()), second }));
    EXPECT_EQ (full.drain().queues, (Queues { { 2, { second } } }));
    EXPECT_EQ (full.pending(), 0u);
}
