#include "JwDeviceTestAccess.h"
#include "TestDevice.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <utility>

using testframes::Bytes;
using testframes::frame;

namespace
{
void push (TestDevice& device, const Bytes& bytes)
{
    device.OnReadNext (bytes.data(), (int) bytes.size());
}

/** What ReadNext returned, and the bytes it gave. */
std::pair<int, Bytes> read (TestDevice& device, int sid, int timeoutMs = -1)
{
    Bytes buf (1024);
    const auto n = device.ReadNext (sid, buf.data(), buf.size(), timeoutMs);
    buf.resize (n > 0 ? (size_t) n : 0);
    return { n, buf };
}
} // namespace

TEST (SessionTable, IdsGoRoundRobinUntilExhausted)
{
    TestDevice device;
    EXPECT_EQ (device.own_sid_, 0);

    for (int round = 0; round < 2; ++round)
    {
        for (int expected = 1; expected < JwDevice::kNumSessions; ++expected)
        {
            const auto sid = device.AllocateSid();
            EXPECT_EQ (sid, expected);
            device.ReleaseSid (sid);
        }
    }

    // After a full table the next search starts where it would have before.
    device.ReleaseSid (device.AllocateSid());   // last handed out: 1

    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        EXPECT_NE (device.AllocateSid(), -1);

    EXPECT_EQ (device.AllocateSid(), -1);
    EXPECT_EQ (JwDeviceTestAccess::lastSid (device), 1);

    device.ReleaseSid (40);
    EXPECT_EQ (device.AllocateSid(), 40);

    // Out-of-range releases are ignored; the own id is never handed out.
    device.ReleaseSid (-1);
    device.ReleaseSid (64);
    EXPECT_EQ (device.AllocateSid(), -1);
}

TEST (ReadNext, BadIdsNullBufferAndNegativeTimeOut)
{
    TestDevice device;
    EXPECT_EQ (read (device, -1).first, -1);
    EXPECT_EQ (read (device, 64).first, -1);
    EXPECT_EQ (read (device, 5).first, -1);   // not in use
    EXPECT_EQ (device.ReadNext (5, nullptr, 0, 0), -1);

    const auto sid = device.AllocateSid();
    EXPECT_EQ (read (device, sid).first, -1);   // nothing queued: no wait

    push (device, frame ((uint8_t) sid, 3, 4, { 0x11 }));
    push (device, frame ((uint8_t) sid, 3, 5, { 0x22 }));

    // A null buffer neither waits nor takes the message.
    EXPECT_EQ (device.ReadNext (sid, nullptr, 0, 0), 0);
    EXPECT_EQ (read (device, sid).second, frame ((uint8_t) sid, 3, 4, { 0x11 }));
    EXPECT_EQ (read (device, sid, 50).second, frame ((uint8_t) sid, 3, 5, { 0x22 }));
    EXPECT_EQ (read (device, sid).first, -1);
}

TEST (ReadNext, WaitsForItsTimeOutOrAMessage)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (read (device, sid, 120).first, -1);
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (120));

    // A message from another thread wakes a timed read long before its time-out, and a
    // read with time-out 0 waits for as long as it takes.
    for (const int timeoutMs : { 60000, 0 })
    {
        const auto message = frame ((uint8_t) sid, 7, 7, { 0x01, 0x02 });
        std::atomic<bool> returned { false };
        std::pair<int, Bytes> received;

        std::thread reader ([&]
        {
            received = read (device, sid, timeoutMs);
            returned = true;
        });

        std::this_thread::sleep_for (std::chrono::milliseconds (150));
        EXPECT_FALSE (returned.load()) << timeoutMs;

        start = std::chrono::steady_clock::now();
        push (device, message);
        reader.join();

        EXPECT_LT (std::chrono::steady_clock::now() - start, std::chrono::seconds (10));
        EXPECT_EQ (received, std::make_pair ((int) message.size(), message));
    }
}

TEST (ReadNext, CapacityAndEmptyEntries)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto exactMessage = frame ((uint8_t) sid, 1, 2, Bytes (9, 0x16));
    push (device, frame ((uint8_t) sid, 1, 1, Bytes (40, 0x15)));
    push (device, exactMessage);

    // A longer message is taken and dropped; guard bytes past the capacity stay as they are.
    const size_t capacity = exactMessage.size();
    Bytes buf (capacity + 32, 0xAA);
    EXPECT_EQ (device.ReadNext (sid, buf.data(), capacity, -1), -1);
    EXPECT_EQ (buf, Bytes (capacity + 32, 0xAA));

    EXPECT_EQ (device.ReadNext (sid, buf.data(), capacity, -1), (int) capacity);
    EXPECT_EQ (buf, testframes::concat ({ exactMessage, Bytes (32, 0xAA) }));
    EXPECT_EQ (device.ReadNext (sid, buf.data(), capacity, -1), -1);

    // The queue copies what it is given, keeps the order, and an empty entry fits in no
    // room at all.
    const auto queue = JwDeviceTestAccess::queueOf (device, sid);
    ASSERT_NE (queue, nullptr);
    uint8_t bytes[] = { 1, 2, 3 };
    queue->PushBack (bytes, 3);
    queue->PushBack (nullptr, 0);
    queue->PushBack (nullptr, 0);
    queue->PushBack (bytes + 1, 1);
    bytes[1] = 99;

    EXPECT_EQ (read (device, sid), std::make_pair (3, Bytes { 1, 2, 3 }));
    EXPECT_EQ (read (device, sid).first, 0);
    EXPECT_EQ (device.ReadNext (sid, buf.data(), 0, -1), 0);
    EXPECT_EQ (buf[0], exactMessage[0]);
    EXPECT_EQ (read (device, sid), std::make_pair (1, Bytes { 2 }));

    // Entries still queued are freed with the queue (the leak sanitizer checks this).
    queue->PushBack (bytes, 3);
}

TEST (ReadNext, ReleasedIdLosesItsMessagesButTheOwnIdKeepsThem)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    push (device, frame ((uint8_t) sid, 0, 0));
    device.ReleaseSid (sid);
    EXPECT_EQ (read (device, sid).first, -1);

    // While free, the id takes no messages either.
    push (device, frame ((uint8_t) sid, 0, 1));
    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        device.AllocateSid();
    EXPECT_EQ (read (device, sid).first, -1);

    const auto status = testframes::firmwareReply ("RetFwStatus", { 0x01 });
    push (device, status);
    device.Close();
    EXPECT_TRUE (device.Open());
    EXPECT_EQ (read (device, device.own_sid_).second, status);
}

TEST (Send, SplitsIntoPiecesOfThePacketSize)
{
    // Packet size 0 sends the message whole.
    for (const int packet : { 0, 1, 3, 7, 64, 299, 300, 301, 1000 })
    {
        for (const int len : { 1, 2, 63, 64, 65, 300 })
        {
            SCOPED_TRACE (std::to_string (packet) + " " + std::to_string (len));
            TestDevice device;
            device.setMaxPacketSize (packet);
            Bytes message ((size_t) len);
            std::iota (message.begin(), message.end(), (uint8_t) 0);

            EXPECT_EQ (device.Send (message.data(), len), len);

            const auto pieces = device.sentPieces();
            const auto piece = packet > 0 ? packet : len;
            ASSERT_EQ (pieces.size(), (size_t) ((len + piece - 1) / piece));
            Bytes joined;

            for (size_t i = 0; i < pieces.size(); ++i)
            {
                EXPECT_EQ (pieces[i].size(), (size_t) std::min (piece, len - (int) i * piece));
                joined.insert (joined.end(), pieces[i].begin(), pieces[i].end());
            }

            EXPECT_EQ (joined, message);
        }
    }
}

TEST (Send, FailedPieceOrNothingToSend)
{
    const Bytes message (14);
    TestDevice whole;
    whole.failPiece (0);
    EXPECT_EQ (whole.Send (message.data(), 14), -1);

    // A failed piece fails the send, but all pieces still go.
    TestDevice device;
    device.setMaxPacketSize (4);
    device.failPiece (1);
    EXPECT_EQ (device.Send (message.data(), 14), -1);
    EXPECT_EQ (device.sentPieces().size(), 4u);

    TestDevice empty;
    empty.setMaxPacketSize (8);
    EXPECT_EQ (empty.Send (message.data(), 0), 0);
    EXPECT_EQ (empty.Send (message.data(), -5), 0);
    EXPECT_TRUE (empty.sentPieces().empty());
}
