// Guards everything that parses bytes from the amplifier, on arbitrary bytes, against a fake
// device without a transport (DeviceTestKit.h) and the reference formats written out there:
// the first input byte modulo 5 picks the parser, the rest is its input as described at each.
// A failed check aborts, in every build type; the sanitizers watch the memory. Built with
// libFuzzer in the fuzz build, and with CorpusRunner.cpp otherwise.

#include "DeviceTestKit.h"

#include "Bootloader.h"
#include "DeviceSession.h"
#include "JwUsbMidiDeviceFinder.h"

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(c)                                                                   \
    do                                                                                  \
    {                                                                                   \
        if (! (c))                                                                      \
        {                                                                               \
            std::fprintf (stderr, "fuzz check failed: %s (line %d)\n", #c, __LINE__);   \
            std::abort();                                                               \
        }                                                                               \
    } while (false)

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
        size_t start = i;
        size_t end = i;   // no message starts at i

        if (s[i] == 0xB0)
            end = i + 2;
        else if (s[i] == 0xC0 || s[i] == 0xF0)
            end = i + 1;

        if (s[i] == 0xF0)
        {
            for (; end < s.size() && s[end] != 0xF7; ++end)
            {
                if (s[end] == 0xF0)
                    start = end;
            }
        }

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

    const bool onlySysEx = (data[0] & 1) != 0;
    Bytes stream (data + 2, data + size);

    for (auto& b : stream)
    {
        if (onlySysEx && (b == 0xB0 || b == 0xC0))
            b = (uint8_t) (b + 1);
    }

    FullDevice full;
    const size_t piece = data[1] == 0 ? stream.size() : data[1];

    for (size_t from = 0; from < stream.size(); from += piece)
    {
        full.device.feed (stream, from, from + piece);
        FUZZ_CHECK (full.pending() <= JwDevice::kMaxPendingBytes);
    }

    const auto pending = full.pending();
    const auto [queues, calls] = full.drain();

    // With channel messages fed in pieces the outcome may depend on the cuts, and over the
    // bound bytes are trimmed: then only the bound above is checked.
    const bool cutsMayMatter = ! onlySysEx && data[1] != 0;

    if (cutsMayMatter || stream.size() > JwDevice::kMaxPendingBytes)
        return;

    // Firmware-transfer replies go to the own id, frames to the id they carry, the rest to
    // the listener, a SysEx message that is no frame also as such.
    Queues q;
    Calls c;
    const auto [messages, consumed] = cut (stream);

    for (const auto& m : messages)
    {
        if (isFirmwareReply (m))
            q[0].push_back (m);
        else if (isFrame (m) && m[2] < JwDevice::kNumSessions)
            q[m[2]].push_back (m);
        else if (! isFrame (m) && m[0] == 0xF0)
            c.insert (c.end(), { { true, m }, { false, m } });
        else
            c.push_back ({ false, m });
    }

    FUZZ_CHECK (queues == q);
    FUZZ_CHECK (calls == c);
    FUZZ_CHECK (pending == stream.size() - consumed);
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
        FUZZ_CHECK (checksumOk);
        FUZZ_CHECK (body == referenceUnpack (in.data() + 6, in.size() - 7));
    }
    catch (const std::length_error&)
    {
        FUZZ_CHECK (in.size() < 7);
    }
    catch (const std::runtime_error&)
    {
        FUZZ_CHECK (in.size() >= 7);
        FUZZ_CHECK (! checksumOk);
    }

    // The raw routines get exactly the room that they may use, and a guard byte.
    Bytes unpacked (in.size() - (in.size() + 7) / 8 + 1, 0xEE);
    Bytes packed (in.size() + (in.size() + 6) / 7 + 1, 0xEE);

    const auto unpackedSize = jw::unpackSevenBits (unpacked.data(), in.data(), in.size());
    FUZZ_CHECK (unpackedSize == unpacked.size() - 1);
    FUZZ_CHECK (unpacked.back() == 0xEE);
    FUZZ_CHECK (Bytes (unpacked.begin(), unpacked.end() - 1) == referenceUnpack (in.data(), in.size()));
    FUZZ_CHECK (jw::SevenBitsCodec().decode (in) == referenceUnpack (in.data(), in.size()));

    const auto packedSize = JwSysEx::SetupMidiDataFromGeneralData (packed.data(), in.data(), (unsigned) in.size());
    FUZZ_CHECK (packedSize == packed.size() - 1);
    FUZZ_CHECK (packed.back() == 0xEE);
    packed.pop_back();
    FUZZ_CHECK (std::all_of (packed.begin(), packed.end(), [] (uint8_t b) { return b < 0x80; }));
    FUZZ_CHECK (referenceUnpack (packed.data(), packed.size()) == in);
    FUZZ_CHECK (jw::SevenBitsCodec().encode (in) == packed);

    const auto encoded = codec.encode (in);
    FUZZ_CHECK (encoded == frame (data[0], data[1], data[2], packed));
    FUZZ_CHECK (jw::VexaSeriesStackCodec (1, 2, 3).decode (encoded) == in);
    FUZZ_CHECK (codec.expectedEncodedSize (in.size()) == encoded.size());
    FUZZ_CHECK (codec.expectedDecodedSize (encoded.size()) == in.size());
}

// Byte 0: bit 0 set: from an input that the probe did not open; bits 1-3: the output
// being probed. Then the message. Only a probe reply (a frame with operation bytes 03 12)
// holding a whole 8-byte id, from an input of the probe, is recorded and stops the input.
void probeReply (const uint8_t* data, size_t size)
{
    using namespace JwUsbMidiDeviceFinder;

    struct FakeInput : midi::Input
    {
        void start() override {}

        void stop() override
        {
            ++stops;
        }

        int stops = 0;
    };

    FakeInput probed;
    FakeInput other;

    if (size < 2)
        return;

    Bytes m (data + 1, data + size);

    // A short channel message's status must fit its length.
    if (m.size() <= 3 && m[0] < 0xF0)
        m[0] = 0xF0;

    const bool fromProbedInput = (data[0] & 1) == 0;
    probe_map_ = { { &probed, 3 } };
    probe_out_ = (data[0] >> 1) & 7;
    descriptors_.clear();
    const juce::MidiMessage message (m.data(), (int) m.size(), 0.0);
    input_callback_.handleIncomingMidiMessage (fromProbedInput ? &probed : &other, message);

    const auto id = m.size() >= 7 ? referenceUnpack (m.data() + 6, m.size() - 7) : Bytes();
    const bool isProbeReply = isFrame (m) && m[4] == 0x03 && m[5] == 0x12;
    const bool recorded = fromProbedInput && isProbeReply && id.size() >= 8;
    FUZZ_CHECK (descriptors_.size() == (recorded ? 1u : 0u));
    FUZZ_CHECK (probed.stops == (recorded ? 1 : 0));
    FUZZ_CHECK (other.stops == 0);

    if (recorded)
    {
        FUZZ_CHECK (std::equal (id.begin(), id.begin() + 8, descriptors_[0].uuid));
        FUZZ_CHECK (descriptors_[0].input_index == 3);
        FUZZ_CHECK (descriptors_[0].output_index == probe_out_);
    }
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
    {
        const size_t length = std::min<size_t> (data[pos] * ((data[1] & 0x0Fu) + 1), size - pos - 1);
        messages.emplace_back (data + pos + 1, data + pos + 1 + length);
    }

    for (const auto& m : messages)
        JwDeviceTestAccess::queueOf (device, 0)->PushBack (m.data(), (int) m.size());

    JwDeviceTestAccess::queueOf (device, 0)->PushBack (nullptr, 0);

    const auto endsTheSearch = [] (const Bytes& m)
    {
        return m.empty() || m.size() > bootloader::transferBufferSize || bearsName (m, "RetFwInfo");
    };

    const auto reply = std::find_if (messages.begin(), messages.end(), endsTheSearch);
    const bool found = reply != messages.end()
                    && ! reply->empty()
                    && reply->size() <= bootloader::transferBufferSize;

    uint8_t sendBuf[bootloader::transferBufferSize] {};
    uint8_t recvBuf[bootloader::transferBufferSize] {};
    uint8_t status = 0xEE;
    tagFirmwareInfo record;
    std::memset (&record, 0xA5, sizeof (record));
    Bytes expected (84, 0xA5);
    Bytes written (84);

    if (found)   // a reply bearing the name holds at least 10 bytes
    {
        const auto payloadEnd = std::find (reply->begin() + 10, reply->end(), 0xF7);
        expected = referenceUnpack (reply->data() + 10, (size_t) (payloadEnd - reply->begin() - 10));
        expected.resize (84, 0);
    }

    FUZZ_CHECK (GetFwInfo (&device, 0, sendBuf, recvBuf, record) == found);
    bootloader::writeFirmwareInfo (record, written.data());
    FUZZ_CHECK (written == expected);
    FUZZ_CHECK (device.pieces.size() == 1);
    FUZZ_CHECK (device.pieces[0].size() == bootloader::getFwInfoSize);

    if (! found)
        return;

    // A reply holds a status when a byte follows the one at its position.
    const size_t at = size > 0 ? data[0] % 32 : bootloader::writeFlashStatusPosition;
    const bool holdsStatus = reply->size() >= at + 2;
    FUZZ_CHECK (bootloader::replyStatus (recvBuf, (int) reply->size(), at, status) == holdsStatus);

    if (holdsStatus)
        FUZZ_CHECK (status == (*reply)[at]);
}

// A serial-number query answered at once through the whole receive path. Byte 0 bit 0
// set: the rest framed as a reply on the request's id with operation bytes 1 and 2; clear:
// the rest as it is. The query succeeds exactly when the first frame routed to its id fits
// the session's buffer, and then the serial is that frame's unpacked payload; its id is free
// again either way.
void genericReply (const uint8_t* data, size_t size)
{
    if (size < 3)
        return;

    TestDevice device;
    device.answer.assign (data + 3, data + size);

    if ((data[0] & 1) != 0)
        device.answer = frame (1, data[1], data[2], device.answer);

    SerialNumberSession session;
    session.timeout_ms_ = 1;   // no answer must not cost seconds per input
    bool ok = false;
    bool timedOut = false;

    try
    {
        ok = session.Perform (&device);
    }
    catch (const std::runtime_error& e)
    {
        timedOut = std::string (e.what()) == "Device reading timeout";
        FUZZ_CHECK (timedOut);
    }

    FUZZ_CHECK (device.pieces.size() == 1);
    FUZZ_CHECK (device.pieces[0][2] == 1);
    FUZZ_CHECK (JwDeviceTestAccess::queueOf (device, 1) == nullptr);

    const auto messages = cut (device.answer).first;

    const auto isTheAnswer = [] (const Bytes& m)
    {
        return isFrame (m) && m[2] == 1 && ! isFirmwareReply (m);
    };

    const auto answer = std::find_if (messages.begin(), messages.end(), isTheAnswer);
    const bool fits = answer != messages.end() && answer->size() <= SerialNumberSession::bufferSize;
    FUZZ_CHECK (ok == fits);
    FUZZ_CHECK (timedOut == ! fits);

    if (ok)
    {
        const auto serial = referenceUnpack (answer->data() + 6, answer->size() - 7);
        FUZZ_CHECK (session.reply_.value_ == std::string (serial.begin(), serial.end()));
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static void (*const parsers[]) (const uint8_t*, size_t) = {
        receivePath,
        codecs,
        probeReply,
        firmwareReply,
        genericReply,
    };

    if (size > 0)
        parsers[data[0] % 5] (data + 1, size - 1);

    return 0;
}
