#include "MessageCodec.h"
#include "TestDevice.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <random>
#include <thread>

using testframes::Bytes;

namespace
{
/** Answers every framed request with a frame of the same id and body, delivered from a
    thread of its own as a transport would, in two pieces cut at a varying point. It
    also slips in firmware-transfer replies now and then. */
class EchoDevice : public JwDevice
{
public:
    EchoDevice() : echoThread ([this] { run(); }) {}

    ~EchoDevice() override
    {
        {
            const std::lock_guard<std::mutex> lock (mutex);
            stopping = true;
        }
        wake.notify_one();
        echoThread.join();
    }

    bool Open() override { return true; }
    void Close() override {}

    std::atomic<int> firmwareRepliesSent { 0 };
    static constexpr int firmwareReplyEvery = 5;

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        {
            const std::lock_guard<std::mutex> lock (mutex);
            requests.emplace_back (data, data + len);
        }
        wake.notify_one();
        return (int) len;
    }

private:
    void run()
    {
        int handled = 0;

        for (;;)
        {
            Bytes request;
            {
                std::unique_lock<std::mutex> lock (mutex);
                wake.wait (lock, [this] { return stopping || ! requests.empty(); });

                if (requests.empty())
                    return;

                request = std::move (requests.front());
                requests.pop_front();
            }

            const auto body = jw::VexaSeriesStackCodec (0, 0, 0).decode (request);
            const auto reply = jw::VexaSeriesStackCodec (request[2], request[5], request[4]).encode (body);
            const auto cut = (size_t) handled % reply.size();
            OnReadNext (reply.data(), (int) cut);
            OnReadNext (reply.data() + cut, (int) (reply.size() - cut));

            if (++handled % firmwareReplyEvery == 0)
            {
                const auto status = testframes::firmwareReply ("RetFwStatus", { (uint8_t) (handled & 0x7F) });
                OnReadNext (status.data(), (int) status.size());
                ++firmwareRepliesSent;
            }
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Bytes> requests;
    bool stopping = false;
    std::thread echoThread;
};
} // namespace

TEST (SessionTableThreads, AllocateAndReleaseFromManyThreads)
{
    TestDevice device;
    std::array<std::atomic<int>, JwDevice::kNumSessions> owner {};
    std::atomic<int> failures { 0 };
    std::vector<std::thread> threads;

    for (int t = 1; t <= 8; ++t)
    {
        threads.emplace_back ([&, t]
        {
            for (int i = 0; i < 2000; ++i)
            {
                const auto sid = device.AllocateSid();

                if (sid < 1 || sid >= JwDevice::kNumSessions)
                {
                    ++failures;
                    continue;
                }

                int expected = 0;
                if (! owner[(size_t) sid].compare_exchange_strong (expected, t))
                    ++failures;   // handed out twice

                owner[(size_t) sid] = 0;
                device.ReleaseSid (sid);
            }
        });
    }

    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ (failures.load(), 0);
}

TEST (SessionTableThreads, ExchangesRunConcurrently)
{
    EchoDevice device;
    constexpr int workers = 6, exchangesEach = 150;
    std::atomic<int> failures { 0 };
    std::atomic<int> firmwareRepliesRead { 0 };

    // The own id's reader: firmware-transfer replies arrive in between the exchanges.
    std::thread ownReader ([&]
    {
        std::vector<uint8_t> buf (64);
        const auto expected = workers * exchangesEach / EchoDevice::firmwareReplyEvery;

        while (firmwareRepliesRead < expected)
        {
            const auto n = device.ReadNext (device.own_sid_, buf.data(), buf.size(), 20000);

            if (n < 13 || std::string (buf.begin() + 1, buf.begin() + 12) != "RetFwStatus")
            {
                ++failures;
                return;
            }

            ++firmwareRepliesRead;
        }
    });

    std::vector<std::thread> threads;

    for (int w = 0; w < workers; ++w)
    {
        threads.emplace_back ([&, w]
        {
            std::mt19937 rng ((unsigned) (0x5eed0200 + w));
            std::vector<uint8_t> buf (1024);

            for (int i = 0; i < exchangesEach; ++i)
            {
                const auto sid = device.AllocateSid();

                if (sid < 1)
                {
                    ++failures;
                    continue;
                }

                Bytes body (rng() % 100);
                for (auto& b : body)
                    b = (uint8_t) rng();

                const auto op2 = (uint8_t) (i & 0x7F);
                const auto request = jw::VexaSeriesStackCodec ((uint8_t) sid, 1, op2).encode (body);

                if (device.Send (request.data(), (int) request.size()) != (int) request.size())
                    ++failures;

                // Half of the reads wait without a time limit: the echo always answers.
                const auto n = device.ReadNext (sid, buf.data(), buf.size(), (i % 2 == 0) ? 0 : 20000);

                if (n < 7 || buf[2] != sid || buf[4] != op2
                    || jw::VexaSeriesStackCodec ((uint8_t) sid, op2, 1).decode ({ buf.begin(), buf.begin() + n }) != body)
                    ++failures;

                device.ReleaseSid (sid);
            }
        });
    }

    for (auto& thread : threads)
        thread.join();

    ownReader.join();

    EXPECT_EQ (failures.load(), 0);
    EXPECT_EQ (firmwareRepliesRead.load(), device.firmwareRepliesSent.load());
}

TEST (SessionTableThreads, ReleaseWhileAReaderWaits)
{
    for (int round = 0; round < 5; ++round)
    {
        TestDevice device;
        const auto sid = device.AllocateSid();
        std::atomic<int> result { 0 };

        std::thread reader ([&]
        {
            uint8_t buf[64];
            result = device.ReadNext (sid, buf, sizeof (buf), 200);
        });

        std::this_thread::sleep_for (std::chrono::milliseconds (20 * round));
        device.ReleaseSid (sid);

        // The reply for the released id is dropped: the reader still holds the old
        // queue, but routing no longer finds it.
        const auto late = testframes::frame ((uint8_t) sid, 1, 1, { 0x01 });
        device.OnReadNext (late.data(), (int) late.size());

        reader.join();
        EXPECT_EQ (result.load(), -1) << "round " << round;

        // The id is free again and is handed out after the others.
        EXPECT_EQ (device.AllocateSid(), sid + 1);
    }
}
