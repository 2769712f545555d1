#include "DeviceSession.h"
#include "FakeDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

using namespace sessiontest;

namespace
{
/** Answers each framed request, on its own session id, with the given op bytes and body. */
FakeDevice::Responder answerWith (uint8_t op1, uint8_t op2, const Bytes& body)
{
    return [=] (FakeDevice& device, const Bytes& request)
    {
        device.deliver (jw::VexaSeriesStackCodec (request.size() > 2 ? request[2] : 0, op1, op2).encode (body));
        return (int) request.size();
    };
}

int freeIdCount (JwDevice& device)
{
    int n = 0;

    while (device.AllocateSid() != -1)
        ++n;

    return n;
}
} // namespace

//==============================================================================
TEST (GenericSession, QueriesSendEmptyFramesAndKeepEveryReplyByte)
{
    FakeDevice device;
    device.responder = [] (FakeDevice& d, const Bytes& m)
    {
        d.deliver ({ 0xF0, 0x01, 0x01, 0x40, 0x02, 0x23, 0x00, 0x41, 0x42, 0x43, 0xF7 });
        return (int) m.size();
    };

    auto serial = std::make_shared<SerialNumberSession>();
    EXPECT_EQ (3000, serial->timeout_ms_);
    ASSERT_TRUE (serial->Perform (&device));
    EXPECT_EQ (0, serial->error_code_);
    EXPECT_EQ ("ABC", serial->reply_.value_);

    // Operation bytes other than the expected reply's; an empty payload.
    device.responder = answerWith (0x02, 0x23, {});
    auto extra = std::make_shared<ExtraInfoSession>();
    extra->reply_.value_ = "stale";
    ASSERT_TRUE (extra->Perform (&device));
    EXPECT_EQ ("", extra->reply_.value_);

    // Other operation bytes again; bytes with bit 7 set and a zero byte in the middle.
    device.responder = answerWith (0x03, 0x23, { 'S', 0x00, 0x80, 0xFF, 'N' });
    auto binary = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (binary->Perform (&device));
    EXPECT_EQ (std::string ("S\0\x80\xFFN", 5), binary->reply_.value_);

    const auto sent = device.sent();
    ASSERT_EQ (3u, sent.size());
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 }), sent[0]);
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x02, 0x00, 0x02, 0x11, 0xF7 }), sent[1]);
    EXPECT_EQ (3, sent[2][2]);
}

TEST (GenericSession, RequestArgumentsBuildThePayload)
{
    using EchoSession = jw::GenericDeviceSession<jw::SessionOperationCode<9, 1>, bootloader::StdStringPacker,
                                                 jw::SessionOperationCode<9, 2>, bootloader::StdStringPacker, true>;
    FakeDevice device;
    device.responder = answerWith (9, 2, bytesOf ("pong"));

    auto session = std::make_shared<EchoSession> (std::string ("ping"));
    ASSERT_TRUE (session->Perform (&device));
    EXPECT_EQ ("pong", session->reply_.value_);
    EXPECT_EQ (jw::VexaSeriesStackCodec (1, 9, 1).encode (bytesOf ("ping")), device.sent().at (0));
}

TEST (GenericSession, OnlyAnIntactReplyForTheOwnIdIsTakenFromAnyThread)
{
    FakeDevice device;
    std::thread replier;

    // For id 2, not this session's 1; a frame for id 1 with a wrong checksum; then, later
    // and from another thread, the right one.
    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        d.deliver (jw::VexaSeriesStackCodec (2, 0x02, 0x23).encode (bytesOf ("wrong")));
        d.deliver ({ 0xF0, 0x01, 0x01, 0x05, 0x02, 0x23, 0x00, 0x41, 0xF7 });
        replier = std::thread ([&device]
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (50));
            device.deliver (jw::VexaSeriesStackCodec (1, 0x02, 0x23).encode (bytesOf ("right")));
        });
        return (int) m.size();
    };

    auto session = std::make_shared<SerialNumberSession>();
    bool ok = false;
    EXPECT_NO_THROW (ok = session->Perform (&device));
    replier.join();
    ASSERT_TRUE (ok);
    EXPECT_EQ ("right", session->reply_.value_);
}

TEST (GenericSession, NoReplyThrowsTimeoutAndReleasesTheId)
{
    FakeDevice device;
    auto session = std::make_shared<SerialNumberSession>();
    session->timeout_ms_ = 200;   // the time-out is the session's own
    const auto start = std::chrono::steady_clock::now();

    try
    {
        session->Perform (&device);
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ ("Device reading timeout", e.what());
    }

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE (elapsed, std::chrono::milliseconds (200));
    EXPECT_LT (elapsed, std::chrono::seconds (2));
    EXPECT_EQ (0, session->error_code_);
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 }), device.sent().at (0));
    EXPECT_EQ (63, freeIdCount (device));   // all besides the device's own
}

TEST (GenericSession, ReplyLongerThanTheBufferIsAFailedReadNotAnOverflow)
{
    // Zero payload bytes keep the checksum 0.
    const auto zeroFrameOf = [] (size_t total) -> FakeDevice::Responder
    {
        return [=] (FakeDevice& d, const Bytes& m)
        {
            Bytes frame (total, 0);
            const Bytes head { 0xF0, 0x01, m[2], 0x00, 0x02, 0x23 };
            std::copy (head.begin(), head.end(), frame.begin());
            frame.back() = 0xF7;
            d.deliver (frame);
            return (int) m.size();
        };
    };

    FakeDevice device;
    device.responder = zeroFrameOf (1024);
    auto fits = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (fits->Perform (&device));
    EXPECT_EQ (std::string (1017 - 128, '\0'), fits->reply_.value_);

    for (const auto& responder : { zeroFrameOf (1025), answerWith (0x02, 0x23, Bytes (2000, 'A')) })
    {
        device.responder = responder;
        auto tooLong = std::make_shared<SerialNumberSession>();
        tooLong->reply_.value_ = "before";
        EXPECT_THROW (tooLong->Perform (&device), std::runtime_error);
        EXPECT_EQ ("before", tooLong->reply_.value_);
    }

    EXPECT_EQ (63, freeIdCount (device));
}

TEST (GenericSession, NullDeviceAndFullTableFailWithoutSending)
{
    auto session = std::make_shared<SerialNumberSession>();
    EXPECT_FALSE (session->Perform (nullptr));
    EXPECT_EQ (8, session->error_code_);

    FakeDevice device;
    freeIdCount (device);   // takes every free id

    auto starved = std::make_shared<ExtraInfoSession>();
    EXPECT_FALSE (starved->Perform (&device));
    EXPECT_EQ (10, starved->error_code_);
    EXPECT_EQ (0u, device.sentCount());

    // A later success does not reset the code.
    device.ReleaseSid (5);
    device.responder = answerWith (0x03, 0x11, bytesOf ("ok"));
    EXPECT_TRUE (starved->Perform (&device));
    EXPECT_EQ (10, starved->error_code_);
    EXPECT_EQ (5, device.sent().at (0)[2]);
}

TEST (GenericSession, SessionsOnOneDeviceRunSideBySide)
{
    FakeDevice device;
    device.responder = [] (FakeDevice& d, const Bytes& m)
    {
        // Each answer carries its own id, so a mix-up shows.
        d.deliver (jw::VexaSeriesStackCodec (m[2], 2, 35).encode (bytesOf ("id" + std::to_string (m[2]))));
        return (int) m.size();
    };

    std::atomic<int> mismatches { 0 };
    const auto work = [&]
    {
        for (int r = 0; r < 50; ++r)
        {
            auto session = std::make_shared<SerialNumberSession>();
            mismatches += (session->Perform (&device) && session->reply_.value_.rfind ("id", 0) == 0) ? 0 : 1;
        }
    };

    std::thread a (work), b (work), c (work), d (work);

    for (auto* t : { &a, &b, &c, &d })
        t->join();

    EXPECT_EQ (0, mismatches.load());
    EXPECT_EQ (200u, device.sentCount());
    EXPECT_EQ (63, freeIdCount (device));
}

//==============================================================================
TEST (StringPacker, PacksRawBytesOnlyWithinItsBuffer)
{
    bootloader::StdStringPacker packer;
    packer.value_ = std::string ("ab\0c", 4);
    uint8_t buf[8];
    std::memset (buf, 0xEE, sizeof (buf));
    uint8_t* out = nullptr;
    size_t outLen = 99;

    ASSERT_TRUE (packer.pack (buf, 4, &out, &outLen));
    EXPECT_EQ (buf, out);
    EXPECT_EQ (4u, outLen);
    EXPECT_EQ ((Bytes { 'a', 'b', 0, 'c', 0xEE, 0xEE, 0xEE, 0xEE }), Bytes (buf, buf + 8));

    // One byte too long for its room: refused, nothing written, outputs untouched.
    std::memset (buf, 0xEE, sizeof (buf));
    out = nullptr;
    outLen = 99;
    EXPECT_FALSE (packer.pack (buf, 3, &out, &outLen));
    EXPECT_EQ (nullptr, out);
    EXPECT_EQ (99u, outLen);
    EXPECT_EQ (Bytes (8, 0xEE), Bytes (buf, buf + 8));
}
