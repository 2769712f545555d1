#include "DeviceTestKit.h"

#include "DeviceSession.h"
#include "MidiPorts.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>

namespace
{
Bytes concat (std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert (out.end(), p.begin(), p.end());
    return out;
}

Bytes named (const std::string& name, const Bytes& data = {}) { return concat ({ { 0xF0 }, Bytes (name.begin(), name.end()), data, { 0xF7 } }); }
} // namespace

// Arbitrary inputs go through the fuzz target; these are the worked examples.
TEST (Codecs, KnownVectorsBothWays)
{
    jw::MessageStackCodec empty, stacked;
    stacked.addCodec (std::make_unique<jw::SevenBitsCodec>());
    stacked.addCodec (std::make_unique<jw::SysExCommandCodec> (3, 4, 5));
    const jw::SevenBitsCodec seven;
    const jw::SysExCommandCodec framing (7, 1, 2);
    jw::VexaSeriesStackCodec serial (5, 2, 35), probe (0, 2, 18);
    const Bytes eight { 0x80, 1, 2, 3, 4, 5, 6, 0x87 }, eightPacked { 0x01, 0, 1, 2, 3, 4, 5, 6, 0x01, 0x07 };
    const struct { const jw::MessageCodec& codec; Bytes body, encoded; } rows[] = {
        { empty, { 0x01, 0xFF, 0x80 }, { 0x01, 0xFF, 0x80 } },
        { seven, { 0x81, 0x02, 0xFF }, { 0x05, 0x01, 0x02, 0x7F } },
        { seven, eight, eightPacked },
        { framing, { 0x11, 0x22 }, { 0xF0, 0x01, 0x07, 0x33, 0x01, 0x02, 0x11, 0x22, 0xF7 } },
        { framing, { 0x80, 0xF7 }, { 0xF0, 0x01, 0x07, 0x77, 0x01, 0x02, 0x80, 0xF7, 0xF7 } },   // the sum masked to 7 bits
        { serial, {}, { 0xF0, 0x01, 0x05, 0x00, 0x02, 0x23, 0xF7 } },
        { probe, {}, { 0xF0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xF7 } },
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
    EXPECT_EQ (serial.encode ({ 0x42 }), frame (5, 2, 35, { 0x00, 0x42 }));
    EXPECT_FALSE (jw::isValidFrame (nullptr, 7));
}

TEST (SessionTable, IdsRoundRobinReadsAndSends)
{
    TestDevice device;
    EXPECT_EQ (device.own_sid_, 0);
    for (int i = 1; i < 2 * JwDevice::kNumSessions - 1; ++i)
    {
        EXPECT_EQ (device.AllocateSid(), 1 + (i - 1) % (JwDevice::kNumSessions - 1));
        device.ReleaseSid (1 + (i - 1) % (JwDevice::kNumSessions - 1));
    }
    // A full table: the own id is never handed out, and the next search starts where it
    // would have before; out-of-range releases are ignored.
    device.ReleaseSid (device.AllocateSid());   // hands out 1
    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        EXPECT_NE (device.AllocateSid(), -1);
    EXPECT_EQ (device.AllocateSid(), -1);
    EXPECT_EQ (JwDeviceTestAccess::lastSid (device), 1);
    SerialNumberSession session;
    EXPECT_FALSE (session.Perform (&device));
    EXPECT_EQ (session.error_code_, JwDeviceSession::errorNoSessionId);
    for (const int sid : { 40, -1, 64 })
        device.ReleaseSid (sid);
    EXPECT_EQ (device.AllocateSid(), 40);
    EXPECT_FALSE (session.Perform (nullptr));
    EXPECT_EQ (session.error_code_, JwDeviceSession::errorNoDevice);

    // Pieces of the packet size (0: whole); a failed piece fails the send, but all go.
    for (const int packet : { 0, 1, 7, 64, 299, 300, 301 })
    {
        device.pieces.clear();
        device.setMaxPacketSize (packet);
        device.failingPiece = packet == 7 ? 5 : -1;
        Bytes message (300);
        std::iota (message.begin(), message.end(), (uint8_t) 0);
        EXPECT_EQ (device.Send (message.data(), 300), packet == 7 ? -1 : 300);
        const auto piece = (size_t) (packet > 0 ? packet : 300);
        ASSERT_EQ (device.pieces.size(), (300 + piece - 1) / piece) << packet;
        for (size_t i = 0; i < device.pieces.size(); ++i)
            EXPECT_EQ (device.pieces[i], Bytes (message.begin() + (long) (i * piece), message.begin() + (long) std::min<size_t> (300, (i + 1) * piece)));
        EXPECT_EQ (device.Send (message.data(), 0) + device.Send (message.data(), -5), 0);
        EXPECT_EQ (device.pieces.size(), (300 + piece - 1) / piece + (packet > 0 ? 0 : 2));
    }
}

TEST (SessionTable, ReadNextIdsCapacityOrderAndWaits)
{
    TestDevice device;
    Bytes buf (64, 0xAA);
    for (const int bad : { -1, 64, 5 })   // 5 is not in use
        EXPECT_EQ (device.ReadNext (bad, buf.data(), buf.size(), 0), -1);
    const auto sid = device.AllocateSid();
    EXPECT_EQ (device.ReadNext (sid, buf.data(), buf.size(), -1), -1);   // nothing queued: no wait
    const auto exact = frame ((uint8_t) sid, 1, 2, Bytes (9, 0x16));
    device.feed (frame ((uint8_t) sid, 1, 1, Bytes (40, 0x15)));
    device.feed (exact);
    EXPECT_EQ (device.ReadNext (sid, nullptr, 0, 0), 0);   // neither waits nor takes

    // A message longer than the room is taken and dropped, nothing written.
    EXPECT_EQ (device.ReadNext (sid, buf.data(), exact.size(), -1), -1);
    EXPECT_EQ (buf, Bytes (64, 0xAA));
    EXPECT_EQ (device.ReadNext (sid, buf.data(), exact.size(), 50), (int) exact.size());
    EXPECT_EQ (buf, concat ({ exact, Bytes (64 - exact.size(), 0xAA) }));

    // Entries are copies, in order; an empty one fits in no room at all.
    uint8_t bytes[] = { 1, 2, 3 };
    const auto queue = JwDeviceTestAccess::queueOf (device, sid);
    queue->PushBack (bytes, 3);
    queue->PushBack (nullptr, 0);
    queue->PushBack (bytes + 1, 1);
    bytes[1] = 99;
    EXPECT_EQ (device.ReadNext (sid, buf.data(), 3, -1) + device.ReadNext (sid, buf.data() + 3, 0, -1) + device.ReadNext (sid, buf.data() + 3, 1, -1), 4);
    EXPECT_EQ (Bytes (buf.begin(), buf.begin() + 4), (Bytes { 1, 2, 3, 2 }));

    // A timed read ends after its time; a message from another thread wakes a long timed
    // read and one with time-out 0.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (device.ReadNext (sid, buf.data(), buf.size(), 50), -1);
    EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (50));
    for (const int timeoutMs : { 600000, 0 })
    {
        int n = -1;
        std::thread reader ([&] { n = device.ReadNext (sid, buf.data(), buf.size(), timeoutMs); });
        std::this_thread::sleep_for (std::chrono::milliseconds (30));
        device.feed (exact);
        reader.join();
        EXPECT_EQ (Bytes (buf.begin(), buf.begin() + std::max (n, 0)), exact) << timeoutMs;
    }

    // A released id loses its messages (freed with the queue: the leak sanitizer checks)
    // and takes none while free.
    device.feed (exact);
    device.ReleaseSid (sid);
    device.feed (exact);
    EXPECT_EQ (device.AllocateSid(), 2);
    EXPECT_EQ (device.ReadNext (sid, buf.data(), buf.size(), -1), -1);
}

TEST (ReceiveRouting, EverySplitOfAMixedStreamRoutesTheSame)
{
    const auto f1 = frame (1, 2, 35, { 0x05, 0x01, 0x02, 0x7F }), f1b = frame (1, 2, 36, { 0x00, 0x7F, 0x7F }), f2 = frame (2, 0x10, 0x11, Bytes (20, 0x3C));
    const auto f3 = frame (3, 0, 0), f4 = frame (4, 1, 1, { 0x01, 0x02 }), high = frame (64, 1, 1, { 0x01 }), highest = frame (0xFF, 1, 2);
    const auto info = named ("RetFwInfo", { 0x00, 0x01, 0x02 }), status = named ("RetFwStatus", { 0x01 }), flash = named ("RetWriteFlash", { 0x7F });
    const auto shortName = named ("RetFwInf"), tooShort = Bytes { 0xF0, 0x01, 0x02, 0xF7 };
    auto bad = frame (3, 1, 1, { 0x11, 0x22 });
    bad[3] ^= 0x01;

    // A frame for a free id (60) is dropped; a broken one, one for an id out of range and
    // control messages go to the listener; a lost F7 lets the next F0 restart, a lost F0
    // skips on.
    const auto stream = concat ({ { 0xB0, 0x07, 0x64 }, f1, { 0xFE, 0x00, 0xB1, 0xC1, 0xF7 }, info, f2, bad, frame (60, 1, 1, { 3 }),
                                  Bytes (f4.begin(), f4.end() - 1), f3, { 0xC0, 0x05 }, status, high, shortName,
                                  Bytes (f4.begin() + 1, f4.end()), tooShort, highest, flash, f1b, { 0xF0, 0x01 } });
    const std::pair<Queues, Calls> expected {
        { { 0, { info, status, flash } }, { 1, { f1, f1b } }, { 2, { f2 } }, { 3, { f3 } } },
        { { false, { 0xB0, 0x07, 0x64 } }, { true, bad }, { false, bad }, { false, { 0xC0, 0x05 } }, { false, high },
          { true, shortName }, { false, shortName }, { true, tooShort }, { false, tooShort }, { false, highest } }
    };
    for (size_t first = 0; first <= stream.size(); ++first)
        for (size_t second = first; second <= stream.size(); ++second)
        {
            FullDevice full (60);
            full.device.feed (stream, 0, first);
            full.device.feed (stream, first, second);
            full.device.feed (stream, second);
            ASSERT_EQ (full.drain(), expected) << "cuts at " << first << ", " << second;
            ASSERT_EQ (full.pending(), 2u) << "cuts at " << first << ", " << second;
        }

    // Within one call a message's last byte is looked at again; nothing is no message;
    // without a listener the same input is routed alike.
    FullDevice full (60);
    full.device.OnReadNext (nullptr, 5);
    full.device.OnReadNext (stream.data(), -3);
    full.device.feed ({ 0xB0, 0x01, 0xC0, 0x05 });
    EXPECT_EQ (full.drain().second, (Calls { { false, { 0xB0, 0x01, 0xC0 } }, { false, { 0xC0, 0x05 } } }));
    JwDeviceTestAccess::setListener (full.device, nullptr);
    full.device.feed (stream);
    EXPECT_EQ (full.drain().first, expected.first);
}

TEST (ReceiveRouting, PendingBytesStayBounded)
{
    constexpr size_t bound = JwDevice::kMaxPendingBytes;
    std::mt19937 rng (0x5eed0101u);
    const auto garbage = [&rng] (size_t n, const Bytes& extra = {})   // bytes that complete no message
    {
        Bytes out (n);
        for (auto& b : out)
            b = (uint8_t) (rng() % (0x80 + extra.size()));
        for (auto& b : out)
            b = b < 0x80 ? b : extra[b - 0x80];
        return out;
    };
    const auto good = frame (7, 1, 2, { 0x01, 0x02 });
    for (const auto& stream : { garbage (1 << 20), concat ({ { 0xF0 }, garbage (300 * 1024) }), garbage (1 << 20, { 0xF0, 0xF0, 0xF0, 0xFE, 0xB1, 0xF8 }) })
    {
        FullDevice full;
        for (size_t from = 0; from < stream.size(); from += 4096)
        {
            full.device.feed (stream, from, from + 4096);
            ASSERT_LE (full.pending(), bound) << "after " << from + 4096 << " bytes";
        }
        // A start byte that went with the trimmed bytes must not let a late F7 end anything.
        full.device.feed (concat ({ { 0x11, 0x22, 0xF7 }, good }));
        EXPECT_EQ (full.drain().first, (Queues { { 7, { good } } }));
        EXPECT_EQ (full.pending(), 0u);
    }

    // Trimming after a routed message, and keeping a message in progress under the bound.
    const auto big = frame (11, 1, 2, garbage (1000)), first = frame (12, 1, 2, { 0x12 });
    FullDevice full;
    full.device.feed (concat ({ first, garbage (3 * bound) }));
    EXPECT_LE (full.pending(), bound);
    full.device.feed (concat ({ garbage (bound + 5000), Bytes (big.begin(), big.begin() + 500) }));
    EXPECT_EQ (full.pending(), 500u);
    full.device.feed (big, 500);
    EXPECT_EQ (full.drain().first, (Queues { { 11, { big } }, { 12, { first } } }));
}

TEST (SessionTable, SessionsComeAndGoWhileTheReceivingThreadRoutes)
{
    // The receiving thread routes frames for every id, in two pieces cut at varying points,
    // while workers take ids, wait for a frame on each, and give them back.
    TestDevice device;
    std::atomic<bool> done { false };
    std::thread receiver ([&] {
        for (size_t i = 0; ! done; ++i)
        {
            const auto m = frame ((uint8_t) (1 + i % 63), 1, 2, Bytes (i % 40, (uint8_t) (i & 0x7F)));
            device.feed (m, 0, i % m.size());
            device.feed (m, i % m.size());
        }
    });
    std::atomic<int> failures { 0 };
    std::array<std::atomic<int>, JwDevice::kNumSessions> owner {};
    std::vector<std::thread> workers;
    for (int w = 1; w <= 6; ++w)
        workers.emplace_back ([&, w] {
            Bytes buf (64);
            for (int i = 0; i < 150; ++i)
            {
                const auto sid = device.AllocateSid();
                int noOwner = 0;   // an id out of range, or handed out twice, fails
                if (sid < 1 || sid >= JwDevice::kNumSessions || ! owner[(size_t) sid].compare_exchange_strong (noOwner, w))
                {
                    ++failures;
                    continue;
                }
                const auto n = device.ReadNext (sid, buf.data(), buf.size(), i % 2 == 0 ? 0 : 600000);
                failures += n < 7 || buf[2] != sid || ! isFrame (Bytes (buf.begin(), buf.begin() + n));
                owner[(size_t) sid] = 0;
                device.ReleaseSid (sid);
            }
        });
    for (auto& t : workers)
        t.join();
    done = true;
    receiver.join();
    EXPECT_EQ (failures.load(), 0);
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
    const bool hasService = juce::File ("/dev/snd/seq").exists();
    for (int i = 0; i < 2 && ! hasService; ++i)   // a second attempt stays silent too
        EXPECT_TRUE (inputs == 0 && outputs == 0 && backend->openInput (0, &callback) == nullptr && backend->openOutput (0) == nullptr);
    EXPECT_EQ (testing::internal::GetCapturedStderr(), "");
}
