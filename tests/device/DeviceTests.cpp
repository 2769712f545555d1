// The byte layer of the device library against a fake device without a transport
// (DeviceTestKit.h): the codecs on worked examples, the session table and sending in pieces,
// reading from the session queues (also from many threads while the receiving thread routes),
// what the receive path does with no bytes, no listener and more bytes than its bound, the
// vocabulary maps, the JUCE port backend on a machine without a MIDI service, and calls for
// the message thread: one that waits for it while it is busy, one that the quit overtakes.

#include "DeviceTestKit.h"

#include "DeviceSession.h"
#include "MessageLoop.h"
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
    jw::MessageStackCodec empty;
    jw::MessageStackCodec stacked;
    stacked.addCodec (std::make_unique<jw::SevenBitsCodec>());
    stacked.addCodec (std::make_unique<jw::SysExCommandCodec> (3, 4, 5));
    jw::VexaSeriesStackCodec serial (5, 2, 35);
    const Bytes eight { 0x80, 1, 2, 3, 4, 5, 6, 0x87 };
    const Bytes eightPacked { 0x01, 0, 1, 2, 3, 4, 5, 6, 0x01, 0x07 };

    const struct
    {
        const jw::MessageCodec& codec;
        Bytes body;
        Bytes encoded;
    } rows[] = {
        { empty, { 0x01, 0xFF, 0x80 }, { 0x01, 0xFF, 0x80 } },
        { jw::SevenBitsCodec(), { 0x81, 0x02, 0xFF }, { 0x05, 0x01, 0x02, 0x7F } },
        { jw::SevenBitsCodec(), eight, eightPacked },
        { jw::SysExCommandCodec (7, 1, 2),
          { 0x11, 0x22 },
          { 0xF0, 0x01, 0x07, 0x33, 0x01, 0x02, 0x11, 0x22, 0xF7 } },
        { jw::SysExCommandCodec (7, 1, 2),   // the sum masked
          { 0x80, 0xF7 },
          { 0xF0, 0x01, 0x07, 0x77, 0x01, 0x02, 0x80, 0xF7, 0xF7 } },
        { serial, {}, { 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 } },
        { jw::VexaSeriesStackCodec (0, 2, 18),   // the probe
          {},
          { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 } },
        { serial,
          { 0x81, 0x02, 0xFF },
          { 0xF0, 0x01, 0x05, 0x79, 0x02, 0x23, 0x05, 0x01, 0x02, 0x7F, 0xF7 } },
        { stacked, eight, frame (3, 4, 5, eightPacked) },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (::testing::PrintToString (row.encoded));
        EXPECT_EQ (row.encoded, row.codec.encode (row.body));
        EXPECT_EQ (row.body, row.codec.decode (row.encoded));
        EXPECT_EQ (row.encoded.size(), row.codec.expectedEncodedSize (row.body.size()));
        EXPECT_EQ (row.body.size(), row.codec.expectedDecodedSize (row.encoded.size()));
        const bool framed = row.encoded[0] == 0xF0;
        EXPECT_EQ (framed, jw::isValidFrame (row.encoded.data(), row.encoded.size()));
    }

    EXPECT_THROW (serial.addCodec (std::make_unique<jw::SevenBitsCodec>()), std::logic_error);
    EXPECT_FALSE (jw::isValidFrame (nullptr, 7));
}

TEST (SessionTable, IdsGoRoundRobinAndSendsGoInPieces)
{
    TestDevice device;   // its own id is 0
    const int otherIds = JwDevice::kNumSessions - 1;

    for (int i = 0; i < 2 * otherIds; ++i)
    {
        EXPECT_EQ (1 + i % otherIds, device.AllocateSid());
        device.ReleaseSid (1 + i % otherIds);
    }

    // A full table: the own id is never handed out; out-of-range releases are ignored; the
    // search for the only free id wraps round to the one handed out last.
    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        EXPECT_NE (-1, device.AllocateSid());

    SerialNumberSession session;
    EXPECT_EQ (-1, device.AllocateSid());
    EXPECT_FALSE (session.Perform (&device));
    EXPECT_EQ (10, session.error_code_);

    for (const int sid : { 40, -1, 64 })
        device.ReleaseSid (sid);

    EXPECT_EQ (40, device.AllocateSid());
    EXPECT_FALSE (session.Perform (nullptr));
    EXPECT_EQ (8, session.error_code_);
    device.ReleaseSid (40);
    EXPECT_EQ (40, device.AllocateSid());

    // Pieces of the packet size (0: whole); a failed piece fails the send, but all go.
    Bytes message (300);
    std::iota (message.begin(), message.end(), (uint8_t) 0);

    for (const size_t packet : { 0, 1, 7, 64, 299, 300, 301 })
    {
        SCOPED_TRACE ("packet size " + std::to_string (packet));
        TestDevice sender;
        sender.setMaxPacketSize ((int) packet);
        sender.failingPiece = packet == 7 ? 5 : -1;
        EXPECT_EQ (packet == 7 ? -1 : 300, sender.Send (message.data(), 300));
        EXPECT_EQ (0, sender.Send (message.data(), 0));
        EXPECT_EQ (0, sender.Send (message.data(), -5));

        // Unpieced, the empty sends go out too, as empty pieces.
        const auto piece = packet > 0 ? packet : 300;
        const auto emptyPieces = packet > 0 ? 0u : 2u;
        ASSERT_EQ ((300 + piece - 1) / piece + emptyPieces, sender.pieces.size());

        for (size_t i = 0; i * piece < 300; ++i)
        {
            const auto from = (long) (i * piece);
            const auto to = (long) std::min<size_t> (300, (i + 1) * piece);
            const Bytes expected (message.begin() + from, message.begin() + to);
            EXPECT_EQ (expected, sender.pieces[i]) << "piece " << i;
        }
    }
}

TEST (SessionTable, ReadNextIdsCapacityOrderAndWaits)
{
    TestDevice device;
    Bytes buf (64, 0xAA);

    for (const int bad : { -1, 64, 5 })   // 5 is not in use
        EXPECT_EQ (-1, device.ReadNext (bad, buf.data(), buf.size(), 0)) << "id " << bad;

    const auto sid = device.AllocateSid();
    const auto exact = frame ((uint8_t) sid, 1, 2, Bytes (9, 0x16));
    device.feed (frame ((uint8_t) sid, 1, 1, Bytes (40, 0x15)));
    device.feed (exact);
    EXPECT_EQ (0, device.ReadNext (sid, nullptr, 0, 0));   // neither waits nor takes

    // A message longer than the room is taken and dropped, nothing written.
    EXPECT_EQ (-1, device.ReadNext (sid, buf.data(), exact.size(), -1));
    EXPECT_EQ (Bytes (64, 0xAA), buf);
    EXPECT_EQ ((int) exact.size(), device.ReadNext (sid, buf.data(), exact.size(), 50));
    const Bytes readAndOneMore (buf.begin(), buf.begin() + (long) exact.size() + 1);
    EXPECT_EQ (concat ({ exact, { 0xAA } }), readAndOneMore);

    // Entries are copies, in order; an empty one fits in no room at all.
    uint8_t bytes[] = { 1, 2, 3 };
    const auto queue = JwDeviceTestAccess::queueOf (device, sid);
    queue->PushBack (bytes, 3);
    queue->PushBack (nullptr, 0);
    queue->PushBack (bytes + 1, 1);
    bytes[1] = 99;
    EXPECT_EQ (3, device.ReadNext (sid, buf.data(), 3, -1));
    EXPECT_EQ (0, device.ReadNext (sid, buf.data() + 3, 0, -1));
    EXPECT_EQ (1, device.ReadNext (sid, buf.data() + 3, 1, -1));
    EXPECT_EQ ((Bytes { 1, 2, 3, 2 }), Bytes (buf.begin(), buf.begin() + 4));

    // A timed read ends after its time (waking reads: see the threads test below).
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (-1, device.ReadNext (sid, buf.data(), buf.size(), 50));
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (50));
    queue->PushBack (bytes, 3);   // left for the queue to free (the leak sanitizer checks)
}

TEST (SessionTable, SessionsComeAndGoWhileTheReceivingThreadRoutes)
{
    // The test thread, as the receiving thread, routes frames for every id, cut in two at
    // varying points, while workers take ids, wait for a frame on each (with no time limit,
    // or a long one) and give them back. Each read is counted by the first thing wrong with
    // it, if any.
    TestDevice device;
    std::atomic<int> shortReads { 0 };
    std::atomic<int> readsForOtherIds { 0 };
    std::atomic<int> readsOfNoFrame { 0 };
    std::atomic<int> finished { 0 };
    std::vector<std::thread> workers;

    const auto work = [&]
    {
        Bytes buf (64);

        for (int i = 0; i < 150; ++i)
        {
            const auto sid = device.AllocateSid();   // out of range, it fails the read
            const auto n = device.ReadNext (sid, buf.data(), buf.size(), i % 2 == 0 ? 0 : 600000);

            if (n < 7)
                ++shortReads;
            else if (buf[2] != sid)
                ++readsForOtherIds;
            else if (! isFrame (Bytes (buf.begin(), buf.begin() + n)))
                ++readsOfNoFrame;

            device.ReleaseSid (sid);
        }

        ++finished;
    };

    for (int w = 0; w < 6; ++w)
        workers.emplace_back (work);

    for (size_t i = 0; finished < 6; ++i)
    {
        const auto m = frame ((uint8_t) (1 + i % 63), 1, 2, Bytes (i % 40, (uint8_t) (i & 0x7F)));
        device.feed (m, 0, i % m.size());
        device.feed (m, i % m.size());
    }

    for (auto& t : workers)
        t.join();

    EXPECT_EQ (0, shortReads.load());
    EXPECT_EQ (0, readsForOtherIds.load());
    EXPECT_EQ (0, readsOfNoFrame.load());
}

// Received streams go through the fuzz target, checked against a reference; here what it
// never does: no bytes, no listener, and more bytes than the bound.
TEST (ReceiveRouting, NoBytesNoListenerAndTooManyBytes)
{
    FullDevice quiet;
    const auto f = frame (5, 1, 1, { 0x42 });
    quiet.device.OnReadNext (nullptr, 5);
    quiet.device.OnReadNext (f.data(), -3);
    EXPECT_EQ (0u, quiet.pending());

    JwDeviceTestAccess::setListener (quiet.device, nullptr);
    const auto channelMessages = Bytes { 0xB0, 1, 2, 0xC0, 3 };
    const auto sysExNoFrame = Bytes { 0xF0, 0x11, 0xF7 };
    quiet.device.feed (concat ({ channelMessages, frame (64, 1, 1), sysExNoFrame, f }));
    const auto [quietQueues, quietCalls] = quiet.drain();
    EXPECT_EQ ((Queues { { 5, { f } } }), quietQueues);
    EXPECT_EQ (Calls {}, quietCalls);

    constexpr size_t bound = JwDevice::kMaxPendingBytes;
    std::mt19937 rng (0x5eed0101u);

    // Bytes that complete no message.
    const auto garbage = [&rng] (size_t n, const Bytes& extra = { 0x00 })
    {
        Bytes out (n);

        for (auto& b : out)
            b = rng() % 32 == 0 ? extra[rng() % extra.size()] : (uint8_t) (rng() & 0x7F);

        return out;
    };

    const Bytes streams[] = {
        garbage (1 << 20),
        concat ({ { 0xF0 }, garbage (300 * 1024) }),
        garbage (1 << 20, { 0xF0, 0xF0, 0xF0, 0xFE, 0xB1, 0xF8 }),
    };

    for (const auto& stream : streams)
    {
        SCOPED_TRACE ("stream " + std::to_string (&stream - streams));
        FullDevice full;

        for (size_t from = 0; from < stream.size(); from += 4096)
        {
            full.device.feed (stream, from, from + 4096);
            ASSERT_LE (full.pending(), bound) << "after " << from + 4096 << " bytes";
        }

        // A start byte that went with the trimmed bytes must not let a late F7 end anything.
        full.device.feed (concat ({ { 0x11, 0x22, 0xF7 }, f }));
        EXPECT_EQ ((Queues { { 5, { f } } }), full.drain().first);
        EXPECT_EQ (0u, full.pending());
    }

    // Trimming after a routed message, none below the bound, and keeping a message in
    // progress under the bound.
    const auto big = frame (11, 1, 2, garbage (50000));
    FullDevice full;
    full.device.feed (concat ({ f, garbage (3 * bound) }));
    EXPECT_LE (full.pending(), bound);
    full.device.feed (garbage (bound - 100));   // up to the bound nothing goes
    EXPECT_EQ (bound - 100, full.pending());
    const Bytes bigStart (big.begin(), big.begin() + 40000);
    full.device.feed (concat ({ garbage (bound + 5000), bigStart }));
    EXPECT_EQ (40000u, full.pending());
    full.device.feed (big, 40000);
    EXPECT_EQ ((Queues { { 5, { f } }, { 11, { big } } }), full.drain().first);

    // At the bound exactly, the message's last byte coming on its own: up to the bound its
    // start is kept, one byte more and it is dropped, alone or after bytes that complete
    // nothing. The message after it is taken either way. The bound is written out here, so
    // that one moved in the product fails instead of moving the rows with it.
    constexpr size_t ownBound = 64 * 1024;
    const struct
    {
        size_t garbageBefore;
        size_t bytesBeforeEnd;
        bool taken;
    } atTheBound[] = {
        { 0, ownBound, true },
        { 5000, ownBound, true },
        { 0, ownBound + 1, false },
        { 5000, ownBound + 1, false },
    };

    for (const auto& row : atTheBound)
    {
        SCOPED_TRACE ("garbage " + std::to_string (row.garbageBefore) + ", "
                      + std::to_string (row.bytesBeforeEnd) + " bytes before the end");
        const auto largest = frame (11, 1, 2, Bytes (row.bytesBeforeEnd - 6, 0x33));
        ASSERT_EQ (row.bytesBeforeEnd + 1, largest.size());

        FullDevice device;
        device.device.feed (garbage (row.garbageBefore));
        device.device.feed (largest, 0, largest.size() - 1);
        device.device.feed (largest, largest.size() - 1);
        device.device.feed (f);
        auto expected = Queues { { 5, { f } } };

        if (row.taken)
            expected[11] = { largest };

        EXPECT_EQ (expected, device.drain().first);
    }
}

TEST (VocabularyMaps, NamesAndNumbersMapBothWays)
{
    const auto m = JwSysEx::vocabularyMaps();

    const struct
    {
        const char* what;
        const std::map<std::string, int>& byName;
        const std::map<int, std::string>& byNumber;
        size_t names;
        size_t numbers;
        std::pair<const int, std::string> first;
        std::pair<const int, std::string> last;
    } rows[] = {
        { "effects", m.fxStringId, m.fxIdString,
          48, 50, { 0, "vexa.preamp" }, { 50, "vexa.cab2celestion" } },
        { "amplifier types", m.ampUiTypeStringId, m.ampUiTypeIdString,
          32, 32, { 0, "none" }, { 31, "Tweed Lux" } },
        { "knobs", m.knobStringId, m.knobIdString,
          11, 11, { 0, "Acoustic360" }, { 10, "TS909" } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        EXPECT_EQ (row.names, row.byName.size());
        EXPECT_EQ (row.numbers, row.byNumber.size());
        EXPECT_EQ (row.first, *row.byNumber.begin());
        EXPECT_EQ (row.last, *row.byNumber.rbegin());

        for (const auto& [name, number] : row.byName)
            EXPECT_EQ (name, row.byNumber.at (number));
    }

    // Two effect names repeat (as 17 and 18) and keep their first number; 31 names none.
    EXPECT_EQ (4, m.fxStringId.at ("vexa.eq1"));
    EXPECT_EQ (5, m.fxStringId.at ("vexa.eq2"));
    EXPECT_EQ ("vexa.eq1", m.fxIdString.at (17));
    EXPECT_EQ ("vexa.eq2", m.fxIdString.at (18));
    EXPECT_EQ (0u, m.fxIdString.count (31));
}

// These machines have no MIDI service: the JUCE backend says so with empty lists, refuses
// to open anything, and keeps the platform's complaints off standard error.
TEST (JuceBackend, WithoutAMidiServiceListsAndOpensNothingSilently)
{
    struct : midi::InputCallback
    {
        void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override
        {
        }
    } callback;

    testing::internal::CaptureStderr();
    auto backend = midi::createJuceBackend();
    const auto inputs = backend->getInputNames().size();
    const auto outputs = backend->getOutputNames().size();

    for (const int index : { -1, 0, inputs })
        EXPECT_EQ (nullptr, backend->openInput (index, index == 0 ? nullptr : &callback)) << index;

    EXPECT_EQ (nullptr, backend->openOutput (-1));
    EXPECT_EQ (nullptr, backend->openOutput (outputs));

    // A second attempt stays silent too.
    for (int i = 0; i < 2 && ! juce::File ("/dev/snd/seq").exists(); ++i)
    {
        SCOPED_TRACE ("attempt " + std::to_string (i));
        EXPECT_EQ (0, inputs);
        EXPECT_EQ (0, outputs);
        EXPECT_EQ (nullptr, backend->openInput (0, &callback));
        EXPECT_EQ (nullptr, backend->openOutput (0));
    }

    EXPECT_EQ ("", testing::internal::GetCapturedStderr());
}

// A worker's call waits for a busy message thread as long as it takes, when no quit is asked.
TEST (MessageThread, ACallWaitsForABusyMessageThreadAndReturnsItsResult)
{
    std::atomic<bool> ran { false };

    const auto callFromAWorker = [&]
    {
        return jw::callOnMessageThread ([&] { return ran = true; });
    };

    auto call = std::async (std::launch::async, callFromAWorker);
    std::this_thread::sleep_for (std::chrono::milliseconds (200));   // busy: nothing dispatched

    const auto returned = [&]
    {
        return call.wait_for (std::chrono::seconds (0)) == std::future_status::ready;
    };

    ASSERT_TRUE (testing_support::pumpUntil (returned)) << "the call never returned";
    EXPECT_TRUE (call.get());
    EXPECT_TRUE (ran);
}

// A worker's call that the message thread has not run when the quit is asked for ends
// instead of waiting forever (the shut-down waits for that worker). It stops the loop, so it
// stands last.
TEST (MessageThread, ACallNotRunBeforeTheQuitEndsUnrun)
{
    std::atomic<bool> ran { false };

    const auto callFromAWorker = [&]
    {
        return jw::callOnMessageThread ([&] { return ran = true; });
    };

    auto call = std::async (std::launch::async, callFromAWorker);
    std::this_thread::sleep_for (std::chrono::milliseconds (100));   // posted, never dispatched
    juce::MessageManager::getInstance()->stopDispatchLoop();
    ASSERT_EQ (std::future_status::ready, call.wait_for (std::chrono::seconds (30)));
    EXPECT_FALSE (call.get());
    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    EXPECT_FALSE (ran);
}
