#include "DeviceTestKit.h"

#include "DeviceSession.h"
#include "MessageThread.h"
#include "MidiPorts.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>

static Bytes concat (std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert (out.end(), p.begin(), p.end());
    return out;
}

// Arbitrary inputs go through the fuzz target; these are the worked examples.
TEST (Codecs, KnownVectorsBothWays)
{
    jw::MessageStackCodec empty, stacked;
    stacked.addCodec (std::make_unique<jw::SevenBitsCodec>());
    stacked.addCodec (std::make_unique<jw::SysExCommandCodec> (3, 4, 5));
    jw::VexaSeriesStackCodec serial (5, 2, 35);
    const Bytes eight { 0x80, 1, 2, 3, 4, 5, 6, 0x87 }, eightPacked { 0x01, 0, 1, 2, 3, 4, 5, 6, 0x01, 0x07 };
    const struct { const jw::MessageCodec& codec; Bytes body, encoded; } rows[] = {
        { empty, { 0x01, 0xFF, 0x80 }, { 0x01, 0xFF, 0x80 } },
        { jw::SevenBitsCodec(), { 0x81, 0x02, 0xFF }, { 0x05, 0x01, 0x02, 0x7F } },
        { jw::SevenBitsCodec(), eight, eightPacked },
        { jw::SysExCommandCodec (7, 1, 2), { 0x11, 0x22 }, { 0xF0, 0x01, 0x07, 0x33, 0x01, 0x02, 0x11, 0x22, 0xF7 } },
        { jw::SysExCommandCodec (7, 1, 2), { 0x80, 0xF7 }, { 0xF0, 0x01, 0x07, 0x77, 0x01, 0x02, 0x80, 0xF7, 0xF7 } },   // the sum masked
        { serial, {}, { 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 } },
        { jw::VexaSeriesStackCodec (0, 2, 18), {}, { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 } },   // the probe
        { serial, { 0x81, 0x02, 0xFF }, { 0xF0, 0x01, 0x05, 0x79, 0x02, 0x23, 0x05, 0x01, 0x02, 0x7F, 0xF7 } },
        { stacked, eight, frame (3, 4, 5, eightPacked) },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (::testing::PrintToString (row.encoded));
        EXPECT_EQ (row.codec.encode (row.body), row.encoded);
        EXPECT_EQ (row.codec.decode (row.encoded), row.body);
        EXPECT_EQ (row.codec.expectedEncodedSize (row.body.size()), row.encoded.size());
        EXPECT_EQ (row.codec.expectedDecodedSize (row.encoded.size()), row.body.size());
        EXPECT_EQ (jw::isValidFrame (row.encoded.data(), row.encoded.size()), row.encoded[0] == 0xF0);
    }
    EXPECT_THROW (serial.addCodec (std::make_unique<jw::SevenBitsCodec>()), std::logic_error);
    EXPECT_FALSE (jw::isValidFrame (nullptr, 7));
}

TEST (SessionTable, IdsGoRoundRobinAndSendsGoInPieces)
{
    TestDevice device;   // its own id is 0
    for (int i = 0; i < 2 * (JwDevice::kNumSessions - 1); ++i)
    {
        EXPECT_EQ (device.AllocateSid(), 1 + i % (JwDevice::kNumSessions - 1));
        device.ReleaseSid (1 + i % (JwDevice::kNumSessions - 1));
    }
    // A full table: the own id is never handed out; out-of-range releases are ignored; the
    // search for the only free id wraps round to the one handed out last.
    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        EXPECT_NE (device.AllocateSid(), -1);
    SerialNumberSession session;
    EXPECT_EQ (std::make_tuple (device.AllocateSid(), session.Perform (&device), session.error_code_), std::make_tuple (-1, false, 10));
    for (const int sid : { 40, -1, 64 })
        device.ReleaseSid (sid);
    EXPECT_EQ (std::make_tuple (device.AllocateSid(), session.Perform (nullptr), session.error_code_), std::make_tuple (40, false, 8));
    device.ReleaseSid (40);
    EXPECT_EQ (device.AllocateSid(), 40);

    // Pieces of the packet size (0: whole); a failed piece fails the send, but all go.
    Bytes message (300);
    std::iota (message.begin(), message.end(), (uint8_t) 0);
    for (const size_t packet : { 0, 1, 7, 64, 299, 300, 301 })
    {
        TestDevice sender;
        sender.setMaxPacketSize ((int) packet);
        sender.failingPiece = packet == 7 ? 5 : -1;
        EXPECT_EQ (sender.Send (message.data(), 300), packet == 7 ? -1 : 300);
        EXPECT_EQ (sender.Send (message.data(), 0) + sender.Send (message.data(), -5), 0);
        const auto piece = packet > 0 ? packet : 300;
        ASSERT_EQ (sender.pieces.size(), (300 + piece - 1) / piece + (packet > 0 ? 0 : 2)) << packet;
        for (size_t i = 0; i * piece < 300; ++i)
            EXPECT_EQ (sender.pieces[i], Bytes (message.begin() + (long) (i * piece), message.begin() + (long) std::min<size_t> (300, (i + 1) * piece)));
    }
}

TEST (SessionTable, ReadNextIdsCapacityOrderAndWaits)
{
    TestDevice device;
    Bytes buf (64, 0xAA);
    for (const int bad : { -1, 64, 5 })   // 5 is not in use
        EXPECT_EQ (device.ReadNext (bad, buf.data(), buf.size(), 0), -1);
    const auto sid = device.AllocateSid();
    const auto exact = frame ((uint8_t) sid, 1, 2, Bytes (9, 0x16));
    device.feed (frame ((uint8_t) sid, 1, 1, Bytes (40, 0x15)));
    device.feed (exact);
    EXPECT_EQ (device.ReadNext (sid, nullptr, 0, 0), 0);   // neither waits nor takes

    // A message longer than the room is taken and dropped, nothing written.
    EXPECT_EQ (device.ReadNext (sid, buf.data(), exact.size(), -1), -1);
    EXPECT_EQ (buf, Bytes (64, 0xAA));
    EXPECT_EQ (device.ReadNext (sid, buf.data(), exact.size(), 50), (int) exact.size());
    EXPECT_EQ (Bytes (buf.begin(), buf.begin() + (long) exact.size() + 1), concat ({ exact, { 0xAA } }));

    // Entries are copies, in order; an empty one fits in no room at all.
    uint8_t bytes[] = { 1, 2, 3 };
    const auto queue = JwDeviceTestAccess::queueOf (device, sid);
    queue->PushBack (bytes, 3);
    queue->PushBack (nullptr, 0);
    queue->PushBack (bytes + 1, 1);
    bytes[1] = 99;
    EXPECT_EQ (device.ReadNext (sid, buf.data(), 3, -1) + device.ReadNext (sid, buf.data() + 3, 0, -1) + device.ReadNext (sid, buf.data() + 3, 1, -1), 4);
    EXPECT_EQ (Bytes (buf.begin(), buf.begin() + 4), (Bytes { 1, 2, 3, 2 }));

    // A timed read ends after its time (waking reads: see the threads test below).
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (device.ReadNext (sid, buf.data(), buf.size(), 50), -1);
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (50));
    queue->PushBack (bytes, 3);   // left for the queue to free (the leak sanitizer checks)
}

TEST (SessionTable, SessionsComeAndGoWhileTheReceivingThreadRoutes)
{
    // The test thread, as the receiving thread, routes frames for every id, cut in two at
    // varying points, while workers take ids, wait for a frame on each (with no time limit,
    // or a long one) and give them back.
    TestDevice device;
    std::atomic<int> failures { 0 }, finished { 0 };
    std::vector<std::thread> workers;
    for (int w = 0; w < 6; ++w)
        workers.emplace_back ([&] {
            Bytes buf (64);
            for (int i = 0; i < 150; ++i)
            {
                const auto sid = device.AllocateSid();   // out of range, it fails the read
                const auto n = device.ReadNext (sid, buf.data(), buf.size(), i % 2 == 0 ? 0 : 600000);
                failures += n < 7 || buf[2] != sid || ! isFrame (Bytes (buf.begin(), buf.begin() + n));
                device.ReleaseSid (sid);
            }
            ++finished;
        });
    for (size_t i = 0; finished < 6; ++i)
    {
        const auto m = frame ((uint8_t) (1 + i % 63), 1, 2, Bytes (i % 40, (uint8_t) (i & 0x7F)));
        device.feed (m, 0, i % m.size());
        device.feed (m, i % m.size());
    }
    for (auto& t : workers)
        t.join();
    EXPECT_EQ (failures.load(), 0);
}

// Received streams go through the fuzz target, checked against a reference; here what it
// never does: no bytes, no listener, and more bytes than the bound.
TEST (ReceiveRouting, NoBytesNoListenerAndTooManyBytes)
{
    FullDevice quiet;
    const auto f = frame (5, 1, 1, { 0x42 });
    quiet.device.OnReadNext (nullptr, 5);
    quiet.device.OnReadNext (f.data(), -3);
    EXPECT_EQ (quiet.pending(), 0u);
    JwDeviceTestAccess::setListener (quiet.device, nullptr);
    quiet.device.feed (concat ({ { 0xB0, 1, 2, 0xC0, 3 }, frame (64, 1, 1), { 0xF0, 0x11, 0xF7 }, f }));
    EXPECT_EQ (quiet.drain(), (std::pair<Queues, Calls> { { { 5, { f } } }, {} }));

    constexpr size_t bound = JwDevice::kMaxPendingBytes;
    std::mt19937 rng (0x5eed0101u);
    const auto garbage = [&rng] (size_t n, const Bytes& extra = { 0x00 })   // bytes that complete no message
    {
        Bytes out (n);
        for (auto& b : out)
            b = rng() % 32 == 0 ? extra[rng() % extra.size()] : (uint8_t) (rng() & 0x7F);
        return out;
    };
    for (const auto& stream : { garbage (1 << 20), concat ({ { 0xF0 }, garbage (300 * 1024) }), garbage (1 << 20, { 0xF0, 0xF0, 0xF0, 0xFE, 0xB1, 0xF8 }) })
    {
        FullDevice full;
        for (size_t from = 0; from < stream.size(); from += 4096)
        {
            full.device.feed (stream, from, from + 4096);
            ASSERT_LE (full.pending(), bound) << "after " << from + 4096 << " bytes";
        }
        // A start byte that went with the trimmed bytes must not let a late F7 end anything.
        full.device.feed (concat ({ { 0x11, 0x22, 0xF7 }, f }));
        EXPECT_EQ (std::make_pair (full.drain().first, full.pending()), std::make_pair (Queues { { 5, { f } } }, size_t (0)));
    }

    // Trimming after a routed message, none below the bound, and keeping a message in
    // progress under the bound.
    const auto big = frame (11, 1, 2, garbage (50000));
    FullDevice full;
    full.device.feed (concat ({ f, garbage (3 * bound) }));
    EXPECT_LE (full.pending(), bound);
    full.device.feed (garbage (bound - 100));   // up to the bound nothing goes
    EXPECT_EQ (full.pending(), bound - 100);
    full.device.feed (concat ({ garbage (bound + 5000), Bytes (big.begin(), big.begin() + 40000) }));
    EXPECT_EQ (full.pending(), 40000u);
    full.device.feed (big, 40000);
    EXPECT_EQ (full.drain().first, (Queues { { 5, { f } }, { 11, { big } } }));
}

TEST (VocabularyMaps, NamesAndNumbersMapBothWays)
{
    const auto m = JwSysEx::vocabularyMaps();
    const struct { const std::map<std::string, int>& byName; const std::map<int, std::string>& byNumber; size_t names, numbers; std::pair<const int, std::string> first, last; } rows[] = {
        { m.fxStringId, m.fxIdString, 48, 50, { 0, "vexa.preamp" }, { 50, "vexa.cab2celestion" } },
        { m.ampUiTypeStringId, m.ampUiTypeIdString, 32, 32, { 0, "none" }, { 31, "Tweed Lux" } },
        { m.knobStringId, m.knobIdString, 11, 11, { 0, "Acoustic360" }, { 10, "TS909" } },
    };
    for (const auto& row : rows)
    {
        EXPECT_EQ (std::make_tuple (row.byName.size(), row.byNumber.size(), *row.byNumber.begin(), *row.byNumber.rbegin()),
                   std::make_tuple (row.names, row.numbers, row.first, row.last));
        for (const auto& [name, number] : row.byName)
            EXPECT_EQ (row.byNumber.at (number), name);
    }
    // Two effect names repeat (as 17 and 18) and keep their first number; 31 names none.
    EXPECT_EQ (std::make_tuple (m.fxStringId.at ("vexa.eq1"), m.fxStringId.at ("vexa.eq2"), m.fxIdString.at (17), m.fxIdString.at (18), m.fxIdString.count (31)),
               std::make_tuple (4, 5, std::string ("vexa.eq1"), std::string ("vexa.eq2"), size_t (0)));
}

// These machines have no MIDI service: the JUCE backend says so with empty lists, refuses
// to open anything, and keeps the platform's complaints off standard error.
TEST (JuceBackend, WithoutAMidiServiceListsAndOpensNothingSilently)
{
    struct : midi::InputCallback { void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override {} } callback;
    testing::internal::CaptureStderr();
    auto backend = midi::createJuceBackend();
    const auto inputs = backend->getInputNames().size(), outputs = backend->getOutputNames().size();
    for (const int index : { -1, 0, inputs })
        EXPECT_EQ (backend->openInput (index, index == 0 ? nullptr : &callback), nullptr) << index;
    EXPECT_EQ (backend->openOutput (-1), nullptr);
    EXPECT_EQ (backend->openOutput (outputs), nullptr);
    for (int i = 0; i < 2 && ! juce::File ("/dev/snd/seq").exists(); ++i)   // a second attempt stays silent too
        EXPECT_TRUE (inputs == 0 && outputs == 0 && backend->openInput (0, &callback) == nullptr && backend->openOutput (0) == nullptr);
    EXPECT_EQ (testing::internal::GetCapturedStderr(), "");
}

// A worker's call that the message thread has not run when the quit is asked for ends
// instead of waiting forever (the shut-down waits for that worker). It stops the loop, so it
// stands last.
TEST (MessageThread, ACallNotRunBeforeTheQuitEndsUnrun)
{
    std::atomic<bool> ran { false };
    auto call = std::async (std::launch::async, [&] { return jw::callOnMessageThread ([&] { return ran = true; }); });
    std::this_thread::sleep_for (std::chrono::milliseconds (100));   // posted, never dispatched
    juce::MessageManager::getInstance()->stopDispatchLoop();
    ASSERT_EQ (call.wait_for (std::chrono::seconds (30)), std::future_status::ready);
    EXPECT_FALSE (call.get());
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    EXPECT_FALSE (ran);
}
