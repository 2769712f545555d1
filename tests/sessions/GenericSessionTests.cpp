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
        const auto sid = request.size() > 2 ? request[2] : (uint8_t) 0;
        device.deliver (jw::VexaSeriesStackCodec (sid, op1, op2).encode (body));
        return (int) request.size();
    };
}

/** Takes every free id, so that the table is full. */
void exhaustIds (JwDevice& device)
{
    while (device.AllocateSid() != -1) {}
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
TEST (GenericSession, FirstSerialQuerySendsTheEmptyFrameOnIdOne)
{
    FakeDevice device;
    device.responder = [] (FakeDevice& d, const Bytes& m)
    {
        d.deliver ({ 0xF0, 0x01, 0x01, 0x40, 0x02, 0x23, 0x00, 0x41, 0x42, 0x43, 0xF7 });
        return (int) m.size();
    };

    auto session = std::make_shared<SerialNumberSession>();
    EXPECT_EQ (3000, session->timeout_ms_);
    EXPECT_EQ (0, session->error_code_);

    ASSERT_TRUE (session->Perform (&device));
    EXPECT_EQ (0, session->error_code_);
    EXPECT_EQ ("ABC", session->reply_.value_);

    const auto sent = device.sent();
    ASSERT_EQ (1u, sent.size());
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 }), sent[0]);
}

TEST (GenericSession, ExtraInfoUsesItsOwnOperationBytes)
{
    FakeDevice device;
    device.responder = answerWith (0x03, 0x11, bytesOf ("H3-40"));

    auto session = std::make_shared<ExtraInfoSession>();
    ASSERT_TRUE (session->Perform (&device));
    EXPECT_EQ ("H3-40", session->reply_.value_);

    const auto sent = device.sent();
    ASSERT_EQ (1u, sent.size());
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x11, 0xF7 }), sent[0]);
}

TEST (GenericSession, RepliesKeepEveryByteAndIgnoreOperationBytes)
{
    FakeDevice device;

    // Empty payload: an empty string.
    device.responder = answerWith (0x02, 0x23, {});
    auto empty = std::make_shared<SerialNumberSession>();
    empty->reply_.value_ = "stale";
    ASSERT_TRUE (empty->Perform (&device));
    EXPECT_EQ ("", empty->reply_.value_);

    // Other operation bytes, bytes with bit 7 set and a zero byte in the middle.
    const Bytes body { 'S', 0x00, 0x80, 0xFF, 'N' };
    device.responder = answerWith (0x03, 0x23, body);
    auto binary = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (binary->Perform (&device));
    EXPECT_EQ (std::string ("S\0\x80\xFFN", 5), binary->reply_.value_);

    // Successive sessions take successive ids.
    const auto sent = device.sent();
    ASSERT_EQ (2u, sent.size());
    EXPECT_EQ (1, sent[0][2]);
    EXPECT_EQ (2, sent[1][2]);
}

TEST (GenericSession, ReplyFromAnotherThreadWakesTheSession)
{
    FakeDevice device;
    std::thread replier;

    device.responder = [&] (FakeDevice&, const Bytes& m)
    {
        replier = std::thread ([&device]
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (50));
            device.deliver (jw::VexaSeriesStackCodec (1, 0x02, 0x23).encode (bytesOf ("TV40-2026-000731")));
        });
        return (int) m.size();
    };

    auto session = std::make_shared<SerialNumberSession>();
    bool ok = false;
    EXPECT_NO_THROW (ok = session->Perform (&device));
    replier.join();

    ASSERT_TRUE (ok);
    EXPECT_EQ ("TV40-2026-000731", session->reply_.value_);
}

TEST (GenericSession, ReplyForAnotherIdOrWithBadChecksumIsNotTaken)
{
    FakeDevice device;
    device.responder = [] (FakeDevice& d, const Bytes& m)
    {
        // For id 2, not this session's 1; then a frame for id 1 with a wrong checksum.
        d.deliver (jw::VexaSeriesStackCodec (2, 0x02, 0x23).encode (bytesOf ("wrong")));
        d.deliver ({ 0xF0, 0x01, 0x01, 0x05, 0x02, 0x23, 0x00, 0x41, 0xF7 });
        d.deliver (jw::VexaSeriesStackCodec (1, 0x02, 0x23).encode (bytesOf ("right")));
        return (int) m.size();
    };

    auto session = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (session->Perform (&device));
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

    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (200));
    EXPECT_EQ (0, session->error_code_);

    // The next session gets the following id, not the one just released.
    device.responder = answerWith (0x02, 0x23, bytesOf ("X"));
    auto next = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (next->Perform (&device));

    const auto sent = device.sent();
    ASSERT_EQ (2u, sent.size());
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 }), sent[0]);
    EXPECT_EQ ((Bytes { 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 }), sent[1]);

    // Neither exchange holds an id any more: all 63 besides the device's own are free.
    EXPECT_EQ (63, freeIdCount (device));
}

TEST (GenericSession, DefaultTimeoutIsThreeSeconds)
{
    FakeDevice device;
    auto session = std::make_shared<ExtraInfoSession>();
    const auto start = std::chrono::steady_clock::now();

    EXPECT_THROW (session->Perform (&device), std::runtime_error);

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE (elapsed, std::chrono::milliseconds (3000));
    EXPECT_LT (elapsed, std::chrono::seconds (30));
}

TEST (GenericSession, OverlongReplyIsAFailedReadNotAnOverflow)
{
    FakeDevice device;
    device.responder = answerWith (0x02, 0x23, Bytes (2000, 'A'));   // packs to far over 1024

    auto session = std::make_shared<SerialNumberSession>();
    session->reply_.value_ = "before";

    EXPECT_THROW (session->Perform (&device), std::runtime_error);
    EXPECT_EQ ("before", session->reply_.value_);
    EXPECT_EQ (63, freeIdCount (device));
}

TEST (GenericSession, ReplyFrameOfBufferSizeIsReadAndOneByteMoreIsNot)
{
    // Zero payload bytes keep the checksum 0: F0 01 01 00 02 23, payload, F7.
    const auto frameOf = [] (size_t total)
    {
        Bytes frame (total, 0);
        const Bytes head { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23 };
        std::copy (head.begin(), head.end(), frame.begin());
        frame.back() = 0xF7;
        return frame;
    };

    FakeDevice device;
    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        d.deliver (frameOf (1024));
        return (int) m.size();
    };

    auto fits = std::make_shared<SerialNumberSession>();
    ASSERT_TRUE (fits->Perform (&device));
    EXPECT_EQ (std::string (1017 - 128, '\0'), fits->reply_.value_);

    // The next session has id 2.
    device.responder = [&] (FakeDevice& d, const Bytes& m)
    {
        auto frame = frameOf (1025);
        frame[2] = 0x02;
        d.deliver (frame);
        return (int) m.size();
    };

    auto tooLong = std::make_shared<SerialNumberSession>();
    EXPECT_THROW (tooLong->Perform (&device), std::runtime_error);
}

TEST (GenericSession, NullDeviceAndFullTableFailWithoutSending)
{
    auto session = std::make_shared<SerialNumberSession>();
    EXPECT_FALSE (session->Perform (nullptr));
    EXPECT_EQ (8, session->error_code_);

    FakeDevice device;
    exhaustIds (device);

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
        // Each answer carries its own id as text, so a mix-up shows.
        const auto sid = m[2];
        d.deliver (jw::VexaSeriesStackCodec (sid, 2, 35).encode (bytesOf ("id" + std::to_string (sid))));
        return (int) m.size();
    };

    constexpr int threads = 4, rounds = 50;
    std::vector<std::thread> workers;
    std::atomic<int> mismatches { 0 };

    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back ([&]
        {
            for (int r = 0; r < rounds; ++r)
            {
                auto session = std::make_shared<SerialNumberSession>();

                if (! session->Perform (&device) || session->reply_.value_.rfind ("id", 0) != 0)
                    ++mismatches;
            }
        });
    }

    for (auto& w : workers)
        w.join();

    EXPECT_EQ (0, mismatches.load());
    EXPECT_EQ ((size_t) (threads * rounds), device.sentCount());
    EXPECT_EQ (63, freeIdCount (device));
}

//==============================================================================
TEST (StringPacker, PacksRawBytesWithinItsBuffer)
{
    bootloader::StdStringPacker packer;
    EXPECT_EQ ("", packer.value_);

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

    // An empty string packs to nothing.
    bootloader::StdStringPacker empty;
    out = nullptr;
    outLen = 99;
    ASSERT_TRUE (empty.pack (buf, 0, &out, &outLen));
    EXPECT_EQ (0u, outLen);
}

TEST (StringPacker, UnpackTakesExactlyTheGivenBytes)
{
    bootloader::StdStringPacker packer;
    const uint8_t data[] = { 0, 'x', 0, 0xFF };

    EXPECT_TRUE (packer.unpack (data, 4));
    EXPECT_EQ (std::string ("\0x\0\xFF", 4), packer.value_);

    EXPECT_TRUE (packer.unpack (data, 0));
    EXPECT_EQ ("", packer.value_);
}

TEST (StringPacker, NullPayloadPacksToNothing)
{
    jwmsgpack::CNull none;
    EXPECT_EQ (nullptr, none.value_);

    uint8_t buf[4] {};
    uint8_t* out = buf + 2;
    size_t outLen = 7;
    EXPECT_TRUE (none.pack (buf, sizeof (buf), &out, &outLen));
    EXPECT_EQ (buf + 2, out);
    EXPECT_EQ (7u, outLen);
    EXPECT_TRUE (none.unpack (buf, 4));
}

TEST (GenericSession, RequestArgumentsBuildThePayload)
{
    using EchoSession = jw::GenericDeviceSession<jw::SessionOperationCode<9, 1>, bootloader::StdStringPacker,
                                                 jw::SessionOperationCode<9, 2>, bootloader::StdStringPacker, true>;

    FakeDevice device;
    device.responder = answerWith (9, 2, bytesOf ("pong"));

    auto session = std::make_shared<EchoSession> (std::string ("ping"));
    EXPECT_EQ (9, session->request_code_.op1);
    EXPECT_EQ (1, session->request_code_.op2);
    ASSERT_TRUE (session->Perform (&device));
    EXPECT_EQ ("pong", session->reply_.value_);

    const auto expected = jw::VexaSeriesStackCodec (1, 9, 1).encode (bytesOf ("ping"));
    EXPECT_EQ (expected, device.sent().at (0));
    EXPECT_EQ (session, session->shared_from_this());
}
