#include "TestDevice.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <random>
#include <thread>
#include <utility>

using testframes::Bytes;

namespace
{
/** Answers every request with its operation bytes swapped, from a thread of its own as a
    transport would, in two pieces cut at a varying point. */
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
        for (int handled = 1;; ++handled)
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

            std::swap (request[4], request[5]);
            const auto cut = (size_t) handled % request.size();
            OnReadNext (request.data(), (int) cut);
            OnReadNext (request.data() + cut, (int) (request.size() - cut));
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Bytes> requests;
    bool stopping = false;
    std::thread echoThread;
};
} // namespace

TEST (SessionTableThreads, ExchangesRunConcurrently)
{
    EchoDevice device;
    constexpr int workers = 6, exchangesEach = 150;
    std::atomic<int> failures { 0 };
    std::array<std::atomic<int>, JwDevice::kNumSessions> owner {};
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
                int noOwner = 0;

                // Out of range, or handed out twice.
                if (sid < 1 || sid >= JwDevice::kNumSessions || ! owner[(size_t) sid].compare_exchange_strong (noOwner, w + 1))
                {
                    ++failures;
                    continue;
                }

                Bytes body (rng() % 100);

                for (auto& b : body)
                    b = (uint8_t) (rng() & 0x7F);

                const auto op = (uint8_t) (i & 0x7F);
                const auto request = testframes::frame ((uint8_t) sid, 1, op, body);

                if (device.Send (request.data(), (int) request.size()) != (int) request.size())
                    ++failures;

                // Half of the reads wait without a time limit: the echo always answers.
                const auto n = device.ReadNext (sid, buf.data(), buf.size(), (i % 2 == 0) ? 0 : 20000);

                if (n < 0 || Bytes (buf.begin(), buf.begin() + n) != testframes::frame ((uint8_t) sid, op, 1, body))
                    ++failures;

                owner[(size_t) sid] = 0;
                device.ReleaseSid (sid);
            }
        });
    }

    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ (failures.load(), 0);
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

        // The reader still holds the old queue, but routing no longer finds it, so the
        // late reply is dropped.
        const auto late = testframes::frame ((uint8_t) sid, 1, 1, { 0x01 });
        device.OnReadNext (late.data(), (int) late.size());

        reader.join();
        EXPECT_EQ (result.load(), -1) << "round " << round;
        EXPECT_EQ (device.AllocateSid(), sid + 1);
    }
}
