// Everything that parses bytes from the amplifier, on arbitrary bytes: the first input byte
// modulo 5 picks the parser, the rest is its input as described at each. A failed check
// aborts, in every build type; the sanitizers watch the memory.

#include "DeviceTestKit.h"

#include "Bootloader.h"
#include "DeviceSession.h"
#include "JwUsbMidiDeviceFinder.h"

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(c) do { if (! (c)) { std::fprintf (stderr, "fuzz check failed: %s (line %d)\n", #c, __LINE__); std::abort(); } } while (false)

namespace
{
// GetFwInfo reports its steps on standard output; a fuzzer run would drown in them.
[[maybe_unused]] const bool quietStdout = std::freopen ("/dev/null", "w", stdout) != nullptr;

// The messages that the receive path cuts from a stream fed at once: one starts at B0
// (3 bytes), C0 (2 bytes) or F0 (to the next F7, a later F0 restarting it), and the
// search goes on from its last byte. Also where the last message ends.
std::pair<std::vector<Bytes>, size_t> cut (const Bytes& s)
{
    std::vector<Bytes> out;
    size_t consumed = 0;
    for (size_t i = 0; i < s.size(); ++i)
    {
        size_t start = i, end = s[i] == 0xB0 ? i + 2 : s[i] == 0xC0 || s[i] == 0xF0 ? i + 1 : i;
        for (; s[i] == 0xF0 && end < s.size() && s[end] != 0xF7; ++end)
            start = s[end] == 0xF0 ? end : start;
        if (end >= s.size())
            break;
        if (end == i)
            continue;
        out.emplace_back (s.begin() + (long) start, s.begin() + (long) end + 1);
        consumed = end + 1;
        i = end - 1;
    }
    return { out, consumed };
}

// Byte 0 bit 0: B0 and C0 replaced, so that only SysEx messages form and the cuts must not
// matter; byte 1: the size of the pieces fed (0: all at once); then the stream, fed to a
// device whose every session id is in use. Below the bound nothing is trimmed, so the
// outcome must then be the reference's.
void receivePath (const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    Bytes stream (data + 2, data + size);
    for (auto& b : stream)
        b = (uint8_t) ((data[0] & 1) != 0 && (b == 0xB0 || b == 0xC0) ? b + 1 : b);
    FullDevice full;
    for (size_t from = 0, piece = data[1] == 0 ? stream.size() : data[1]; from < stream.size(); from += piece)
    {
        full.device.feed (stream, from, from + piece);
        FUZZ_CHECK (full.pending() <= JwDevice::kMaxPendingBytes);
    }
    const auto pending = full.pending();
    const auto [queues, calls] = full.drain();

    // Firmware-transfer replies go to the own id, frames to the id they carry, the rest to
    // the listener, a SysEx message that is no frame also as such.
    Queues q;
    Calls c;
    const auto [messages, consumed] = cut (stream);
    for (const auto& m : messages)
        if (isFirmwareReply (m) || (isFrame (m) && m[2] < JwDevice::kNumSessions))
            q[isFirmwareReply (m) ? 0 : m[2]].push_back (m);
        else if (! isFrame (m) && m[0] == 0xF0)
            c.insert (c.end(), { { true, m }, { false, m } });
        else
            c.push_back ({ false, m });
    FUZZ_CHECK (((data[0] & 1) == 0 && data[1] != 0) || stream.size() > JwDevice::kMaxPendingBytes
                || (queues == q && calls == c && pending == stream.size() - consumed));
}

// Session id, two operation bytes, then data: decoded as a received frame, unpacked as
// packed bytes and encoded as a body.
void codecs (const uint8_t* data, size_t size)
{
    if (size < 3)
        return;
    const Bytes in (data + 3, data + size);
    const jw::VexaSeriesStackCodec codec (data[0], data[1], data[2]);
    const bool checksumOk = in.size() >= 7 && xorSum (in.data() + 6, in.size() - 7) == in[3];
    FUZZ_CHECK (jw::isValidFrame (in.data(), in.size()) == isFrame (in));
    try
    {
        const auto body = codec.decode (in);
        FUZZ_CHECK (checksumOk && body == referenceUnpack (in.data() + 6, in.size() - 7));
    }
    catch (const std::length_error&) { FUZZ_CHECK (in.size() < 7); }
    catch (const std::runtime_error&) { FUZZ_CHECK (in.size() >= 7 && ! checksumOk); }

    // The raw routines get exactly the room that they may use, and a guard byte.
    Bytes unpacked (in.size() - (in.size() + 7) / 8 + 1, 0xEE), packed (in.size() + (in.size() + 6) / 7 + 1, 0xEE);
    FUZZ_CHECK (jw::unpackSevenBits (unpacked.data(), in.data(), in.size()) == unpacked.size() - 1 && unpacked.back() == 0xEE);
    FUZZ_CHECK (Bytes (unpacked.begin(), unpacked.end() - 1) == referenceUnpack (in.data(), in.size()));
    FUZZ_CHECK (jw::SevenBitsCodec().decode (in) == referenceUnpack (in.data(), in.size()));
    FUZZ_CHECK (JwSysEx::SetupMidiDataFromGeneralData (packed.data(), in.data(), (unsigned) in.size()) == packed.size() - 1 && packed.back() == 0xEE);
    packed.pop_back();
    FUZZ_CHECK (std::all_of (packed.begin(), packed.end(), [] (uint8_t b) { return b < 0x80; }) && referenceUnpack (packed.data(), packed.size()) == in
                && jw::SevenBitsCodec().encode (in) == packed);
    const auto encoded = codec.encode (in);
    FUZZ_CHECK (encoded == frame (data[0], data[1], data[2], packed) && jw::VexaSeriesStackCodec (1, 2, 3).decode (encoded) == in);
    FUZZ_CHECK (codec.expectedEncodedSize (in.size()) == encoded.size() && codec.expectedDecodedSize (encoded.size()) == in.size());
}

// Byte 0: bit 0 set: from an input that the probe did not open; bits 1-3: the output
// being probed. Then the message. Only a probe reply (a frame with operation bytes 03 12)
// holding a whole 8-byte id, from an input of the probe, is recorded and stops the input.
void probeReply (const uint8_t* data, size_t size)
{
    using namespace JwUsbMidiDeviceFinder;
    struct FakeInput : midi::Input { void start() override {} void stop() override { ++stops; } int stops = 0; } probed, other;
    if (size < 2)
        return;
    Bytes m (data + 1, data + size);
    m[0] = m.size() <= 3 && m[0] < 0xF0 ? 0xF0 : m[0];   // a short channel message's status must fit its length
    probe_map_ = { { &probed, 3 } };
    probe_out_ = (data[0] >> 1) & 7;
    descriptors_.clear();
    input_callback_.handleIncomingMidiMessage ((data[0] & 1) == 0 ? &probed : &other, juce::MidiMessage (m.data(), (int) m.size(), 0.0));

    const auto id = m.size() >= 7 ? referenceUnpack (m.data() + 6, m.size() - 7) : Bytes();
    const bool recorded = (data[0] & 1) == 0 && isFrame (m) && m[4] == 0x03 && m[5] == 0x12 && id.size() >= 8;
    FUZZ_CHECK (descriptors_.size() == (recorded ? 1u : 0u) && probed.stops == (recorded ? 1 : 0) && other.stops == 0);
    FUZZ_CHECK (! recorded || (std::equal (id.begin(), id.begin() + 8, descriptors_[0].uuid) && descriptors_[0].input_index == 3
                               && descriptors_[0].output_index == probe_out_));
}

// Byte 0: the position of a status to read from the reply; byte 1: a length multiplier
// (its low 4 bits + 1, so that long messages occur); then messages queued on the own id,
// each a length byte and its bytes, and after them an empty entry that ends any wait at
// once instead of in 3 s. GetFwInfo takes the first "RetFwInfo" unless an empty or
// over-long message comes first; the record is that reply's payload up to its first F7,
// unpacked and zero-filled; without a reply the record is left as it was.
void firmwareReply (const uint8_t* data, size_t size)
{
    TestDevice device;
    std::vector<Bytes> messages;
    for (size_t pos = 2; pos < size && messages.size() < 64; pos += messages.back().size() + 1)
        messages.emplace_back (data + pos + 1, data + pos + 1 + std::min<size_t> (data[pos] * ((data[1] & 0x0Fu) + 1), size - pos - 1));
    for (const auto& m : messages)
        JwDeviceTestAccess::queueOf (device, 0)->PushBack (m.data(), (int) m.size());
    JwDeviceTestAccess::queueOf (device, 0)->PushBack (nullptr, 0);
    const auto reply = std::find_if (messages.begin(), messages.end(), [] (const Bytes& m)
        { return m.empty() || m.size() > bootloader::transferBufferSize || bearsName (m, "RetFwInfo"); });
    const bool found = reply != messages.end() && ! reply->empty() && reply->size() <= bootloader::transferBufferSize;

    uint8_t sendBuf[bootloader::transferBufferSize] {}, recvBuf[bootloader::transferBufferSize] {}, status = 0xEE;
    tagFirmwareInfo record;
    std::memset (&record, 0xA5, sizeof (record));
    Bytes expected (84, 0xA5), written (84);
    if (found)   // a reply bearing the name holds at least 10 bytes
    {
        expected = referenceUnpack (reply->data() + 10, (size_t) (std::find (reply->begin() + 10, reply->end(), 0xF7) - reply->begin() - 10));
        expected.resize (84, 0);
    }
    FUZZ_CHECK (GetFwInfo (&device, 0, sendBuf, recvBuf, record) == found);
    bootloader::writeFirmwareInfo (record, written.data());
    FUZZ_CHECK (written == expected && device.pieces.size() == 1 && device.pieces[0].size() == bootloader::getFwInfoSize);

    // A reply holds a status when a byte follows the one at its position.
    const size_t at = size > 0 ? data[0] % 32 : bootloader::writeFlashStatusPosition;
    FUZZ_CHECK (! found || (bootloader::replyStatus (recvBuf, (int) reply->size(), at, status) == (reply->size() >= at + 2)
                            && (reply->size() < at + 2 || status == (*reply)[at])));
}

// A serial-number query answered at once through the whole receive path. Byte 0 bit 0
// set: the rest framed as a reply on the request's id with operation bytes 1 and 2; clear:
// the rest as it is. The query succeeds exactly when the
// first frame routed to its id fits the session's buffer, and then the serial is that
// frame's unpacked payload; its id is free again either way.
void genericReply (const uint8_t* data, size_t size)
{
    if (size < 3)
        return;
    TestDevice device;
    device.answer.assign (data + 3, data + size);
    device.answer = (data[0] & 1) != 0 ? frame (1, data[1], data[2], device.answer) : device.answer;

    SerialNumberSession session;
    session.timeout_ms_ = 1;   // no answer must not cost seconds per input
    bool ok = false, timedOut = false;
    try { ok = session.Perform (&device); }
    catch (const std::runtime_error& e) { FUZZ_CHECK ((timedOut = std::string (e.what()) == "Device reading timeout")); }
    FUZZ_CHECK (device.pieces.size() == 1 && device.pieces[0][2] == 1 && JwDeviceTestAccess::queueOf (device, 1) == nullptr);

    const auto messages = cut (device.answer).first;
    const auto answer = std::find_if (messages.begin(), messages.end(), [] (const Bytes& m) { return isFrame (m) && m[2] == 1 && ! isFirmwareReply (m); });
    const bool fits = answer != messages.end() && answer->size() <= SerialNumberSession::bufferSize;
    const auto serial = fits ? referenceUnpack (answer->data() + 6, answer->size() - 7) : Bytes();
    FUZZ_CHECK (ok == fits && timedOut == ! fits && (! ok || session.reply_.value_ == std::string (serial.begin(), serial.end())));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static void (*const parsers[]) (const uint8_t*, size_t) = { receivePath, codecs, probeReply, firmwareReply, genericReply };
    if (size > 0)
        parsers[data[0] % 5] (data + 1, size - 1);
    return 0;
}
