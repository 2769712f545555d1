#include "JwDeviceTestAccess.h"
#include "TestDevice.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using testframes::Bytes;

namespace
{
using Clock = std::chrono::steady_clock;
constexpr auto hangBound = std::chrono::seconds (10);

void push (TestDevice& device, const Bytes& bytes)
{
    device.OnReadNext (bytes.data(), (int) bytes.size());
}

Bytes readNext (TestDevice& device, int sid, int timeoutMs, int* result = nullptr)
{
    Bytes buf (1024);
    const auto n = device.ReadNext (sid, buf.data(), buf.size(), timeoutMs);

    if (result != nullptr)
        *result = n;

    buf.resize (n > 0 ? (size_t) n : 0);
    return buf;
}
} // namespace

TEST (SessionTable, IdsGoRoundRobin)
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
}

TEST (SessionTable, ExhaustedTableKeepsItsPosition)
{
    TestDevice device;
    device.ReleaseSid (device.AllocateSid());   // last handed out: 1

    for (int i = 0; i < JwDevice::kNumSessions - 1; ++i)
        EXPECT_NE (device.AllocateSid(), -1);

    const auto last = JwDeviceTestAccess::lastSid (device);
    EXPECT_EQ (last, 1);
    EXPECT_EQ (device.AllocateSid(), -1);
    EXPECT_EQ (JwDeviceTestAccess::lastSid (device), last);

    device.ReleaseSid (40);
    EXPECT_EQ (device.AllocateSid(), 40);
    EXPECT_EQ (device.AllocateSid(), -1);

    // Out-of-range releases are ignored; the own id is never handed out.
    device.ReleaseSid (-1);
    device.ReleaseSid (64);
    EXPECT_EQ (device.AllocateSid(), -1);
}

TEST (ReadNext, BadIdsAndNullBuffer)
{
    TestDevice device;
    uint8_t buf[16];

    EXPECT_EQ (device.ReadNext (-1, buf, sizeof (buf), -1), -1);
    EXPECT_EQ (device.ReadNext (64, buf, sizeof (buf), -1), -1);
    EXPECT_EQ (device.ReadNext (5, buf, sizeof (buf), -1), -1);   // not in use
    EXPECT_EQ (device.ReadNext (5, nullptr, 0, 0), -1);

    const auto sid = device.AllocateSid();
    push (device, testframes::frame ((uint8_t) sid, 1, 2));

    // A null buffer neither waits nor takes the message.
    EXPECT_EQ (device.ReadNext (sid, nullptr, 0, 0), 0);
    EXPECT_EQ (readNext (device, sid, -1), testframes::frame ((uint8_t) sid, 1, 2));
}

TEST (ReadNext, NegativeTimeOutNeverWaits)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    int result = 0;

    const auto start = Clock::now();
    readNext (device, sid, -1, &result);
    EXPECT_EQ (result, -1);
    EXPECT_LT (Clock::now() - start, hangBound);

    push (device, testframes::frame ((uint8_t) sid, 3, 4, { 0x11 }));
    push (device, testframes::frame ((uint8_t) sid, 3, 5, { 0x22 }));
    EXPECT_EQ (readNext (device, sid, -1), testframes::frame ((uint8_t) sid, 3, 4, { 0x11 }));
    EXPECT_EQ (readNext (device, sid, 50), testframes::frame ((uint8_t) sid, 3, 5, { 0x22 }));
    readNext (device, sid, -1, &result);
    EXPECT_EQ (result, -1);
}

TEST (ReadNext, TimedReadEndsNoEarlierThanItsTimeOut)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    int result = 0;

    const auto start = Clock::now();
    readNext (device, sid, 120, &result);
    const auto elapsed = Clock::now() - start;

    EXPECT_EQ (result, -1);
    EXPECT_GE (elapsed, std::chrono::milliseconds (120));
    EXPECT_LT (elapsed, hangBound);
}

TEST (ReadNext, TimeOutZeroWaitsUntilAMessageArrives)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto message = testframes::frame ((uint8_t) sid, 7, 7, { 0x01, 0x02 });

    std::atomic<bool> returned { false };
    Bytes received;
    int result = 0;

    std::thread reader ([&]
    {
        received = readNext (device, sid, 0, &result);
        returned = true;
    });

    // However long this takes, a read without a time limit must still be waiting.
    std::this_thread::sleep_for (std::chrono::milliseconds (150));
    EXPECT_FALSE (returned.load());

    push (device, message);
    reader.join();

    EXPECT_EQ (result, (int) message.size());
    EXPECT_EQ (received, message);
}

TEST (ReadNext, TimedReadWokenByAMessage)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto message = testframes::frame ((uint8_t) sid, 1, 1, { 0x33 });
    int result = 0;
    Bytes received;

    std::thread reader ([&] { received = readNext (device, sid, 60000, &result); });
    std::this_thread::sleep_for (std::chrono::milliseconds (20));

    const auto start = Clock::now();
    push (device, message);
    reader.join();

    EXPECT_LT (Clock::now() - start, hangBound);
    EXPECT_EQ (received, message);
}

TEST (ReadNext, CapacityIsNeverExceeded)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto longMessage = testframes::frame ((uint8_t) sid, 1, 1, Bytes (40, 0x15));
    const auto exactMessage = testframes::frame ((uint8_t) sid, 1, 2, Bytes (9, 0x16));

    push (device, longMessage);
    push (device, exactMessage);

    // Guard bytes past the capacity must stay as they are.
    const size_t capacity = exactMessage.size();
    Bytes buf (capacity + 32, 0xAA);

    EXPECT_EQ (device.ReadNext (sid, buf.data(), capacity, -1), -1);
    for (size_t i = 0; i < buf.size(); ++i)
        ASSERT_EQ (buf[i], 0xAA) << i;

    // The long message left the queue; the next one fits exactly.
    EXPECT_EQ (device.ReadNext (sid, buf.data(), capacity, -1), (int) capacity);
    EXPECT_TRUE (std::equal (exactMessage.begin(), exactMessage.end(), buf.begin()));
    for (size_t i = capacity; i < buf.size(); ++i)
        ASSERT_EQ (buf[i], 0xAA) << i;

    EXPECT_EQ (device.ReadNext (sid, buf.data(), capacity, -1), -1);
}

TEST (ReadNext, EmptyEntriesReadAsZero)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto queue = JwDeviceTestAccess::queueOf (device, sid);
    ASSERT_NE (queue, nullptr);

    queue->PushBack (nullptr, 0);
    uint8_t buf[4] = { 0xAA, 0xAA, 0xAA, 0xAA };
    EXPECT_EQ (device.ReadNext (sid, buf, 0, -1), 0);
    EXPECT_EQ (buf[0], 0xAA);
    EXPECT_EQ (device.ReadNext (sid, buf, sizeof (buf), -1), -1);
}

TEST (ReadNext, ReleasedIdLosesItsMessages)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    push (device, testframes::frame ((uint8_t) sid, 0, 0));
    device.ReleaseSid (sid);

    int result = 0;
    readNext (device, sid, -1, &result);
    EXPECT_EQ (result, -1);

    // While free, the id takes no messages either.
    push (device, testframes::frame ((uint8_t) sid, 0, 1));
    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        device.AllocateSid();
    readNext (device, sid, -1, &result);
    EXPECT_EQ (result, -1);
}

TEST (ReadNext, OwnIdMessagesSurviveCloseAndOpen)
{
    TestDevice device;
    push (device, testframes::firmwareReply ("RetFwStatus", { 0x01 }));

    device.Close();
    EXPECT_TRUE (device.Open());

    EXPECT_EQ (readNext (device, device.own_sid_, -1), testframes::firmwareReply ("RetFwStatus", { 0x01 }));
}

TEST (Queue, PushBackCopiesAndKeepsOrder)
{
    TestDevice device;
    const auto sid = device.AllocateSid();
    const auto queue = JwDeviceTestAccess::queueOf (device, sid);
    ASSERT_NE (queue, nullptr);

    uint8_t bytes[] = { 1, 2, 3 };
    queue->PushBack (bytes, 3);
    queue->PushBack (nullptr, 0);
    queue->PushBack (bytes + 1, 1);
    bytes[1] = 99;

    EXPECT_EQ (readNext (device, sid, -1), (Bytes { 1, 2, 3 }));
    int result = -2;
    readNext (device, sid, -1, &result);
    EXPECT_EQ (result, 0);
    EXPECT_EQ (readNext (device, sid, -1), (Bytes { 2 }));

    // Entries still queued are freed with the queue (the leak sanitizer checks this).
    queue->PushBack (bytes, 3);
}
