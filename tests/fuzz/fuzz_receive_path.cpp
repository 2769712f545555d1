// Arbitrary received bytes, cut at points taken from the input, through the receive path
// of a device whose every session id is in use.
//
// Input: flags, a count k, k piece lengths, then the stream.
//   flags bit 0: replace the control start bytes B0 and C0 in the stream, so that only
//                SysEx messages form; the result must then equal a reference cut of the
//                whole stream, whatever the pieces.
//   flags bit 1: install a listener and check what it receives.

#include "FuzzCheck.h"
#include "JwDeviceTestAccess.h"
#include "TestDevice.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

struct Call
{
    bool sysex;
    Bytes message;
};

class Listener : public JwDeviceListener
{
public:
    int OnMessage (const uint8_t* data, int len) override
    {
        calls.push_back ({ false, Bytes (data, data + len) });
        return 0;
    }

    int OnSysExMessage (const uint8_t* data, int len) override
    {
        calls.push_back ({ true, Bytes (data, data + len) });
        return 0;
    }

    std::vector<Call> calls;
};

bool hasName (const Bytes& m, const char* name)
{
    const auto len = std::strlen (name);
    return m.size() >= len + 2 && std::equal (name, name + len, m.begin() + 1);
}

bool isFirmwareReply (const Bytes& m)
{
    return hasName (m, "RetFwStatus") || hasName (m, "RetFwInfo") || hasName (m, "RetWriteFlash");
}

/** The frame check written out again, apart from the device's own. */
bool checksumOk (const Bytes& m)
{
    if (m.size() < 7 || m.front() != 0xF0 || m.back() != 0xF7)
        return false;

    uint8_t sum = 0;

    for (size_t i = 6; i + 1 < m.size(); ++i)
        sum ^= m[i];

    return (sum & 0x7F) == m[3];
}

bool contains (const Bytes& haystack, const Bytes& needle)
{
    return std::search (haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

struct Outcome
{
    std::map<int, std::vector<Bytes>> queues;
    std::vector<Call> listenerCalls;
    size_t pending = 0;
};

/** Where each SysEx message of a stream without control start bytes must end up: a
    message runs from the last F0 before an F7 to that F7. */
Outcome reference (const Bytes& stream, bool withListener)
{
    Outcome out;
    long start = -1;
    size_t consumed = 0;

    for (size_t i = 0; i < stream.size(); ++i)
    {
        if (stream[i] == 0xF0)
        {
            start = (long) i;
        }
        else if (stream[i] == 0xF7 && start >= 0)
        {
            const Bytes m (stream.begin() + start, stream.begin() + (long) i + 1);
            start = -1;
            consumed = i + 1;

            if (isFirmwareReply (m))
                out.queues[0].push_back (m);
            else if (checksumOk (m) && m[2] < JwDevice::kNumSessions)
                out.queues[m[2]].push_back (m);
            else if (withListener && checksumOk (m))
                out.listenerCalls.push_back ({ false, m });
            else if (withListener)
            {
                out.listenerCalls.push_back ({ true, m });
                out.listenerCalls.push_back ({ false, m });
            }
        }
    }

    out.pending = stream.size() - consumed;
    return out;
}

bool sameCalls (const std::vector<Call>& a, const std::vector<Call>& b)
{
    return std::equal (a.begin(), a.end(), b.begin(), b.end(),
                       [] (const Call& x, const Call& y) { return x.sysex == y.sysex && x.message == y.message; });
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const uint8_t flags = size > 0 ? data[0] : 0;
    const size_t pieceCount = size > 1 ? data[1] % 16 : 0;
    const size_t headerSize = std::min (size, 2 + pieceCount);
    const Bytes pieceLengths (data + std::min<size_t> (size, 2), data + headerSize);
    Bytes stream (data + headerSize, data + size);

    const bool sysexOnly = (flags & 1) != 0;
    const bool withListener = (flags & 2) != 0;

    if (sysexOnly)
        for (auto& b : stream)
            if (b == 0xB0 || b == 0xC0)
                b = (uint8_t) (b + 1);

    TestDevice device;
    Listener listener;

    if (withListener)
        JwDeviceTestAccess::setListener (device, &listener);

    for (int i = 1; i < JwDevice::kNumSessions; ++i)
        FUZZ_CHECK (device.AllocateSid() == i);

    // Feed in pieces of the given lengths, in turn, and the rest at the end.
    size_t offset = 0;

    for (size_t p = 0; offset < stream.size() && ! pieceLengths.empty(); ++p)
    {
        const auto len = std::min<size_t> (pieceLengths[p % pieceLengths.size()], stream.size() - offset);
        device.OnReadNext (stream.data() + offset, (int) len);
        offset += len;
        FUZZ_CHECK (JwDeviceTestAccess::pendingBytes (device) <= JwDevice::kMaxPendingBytes);

        if (p > stream.size())
            break;   // only zero lengths: the rest goes below
    }

    device.OnReadNext (stream.data() + offset, (int) (stream.size() - offset));
    FUZZ_CHECK (JwDeviceTestAccess::pendingBytes (device) <= JwDevice::kMaxPendingBytes);

    Outcome outcome;
    outcome.pending = JwDeviceTestAccess::pendingBytes (device);
    outcome.listenerCalls = listener.calls;
    std::vector<uint8_t> buf (stream.size() + 1);

    for (int sid = 0; sid < JwDevice::kNumSessions; ++sid)
    {
        for (;;)
        {
            const auto n = device.ReadNext (sid, buf.data(), buf.size(), -1);

            if (n < 0)
                break;

            const Bytes m (buf.begin(), buf.begin() + n);
            FUZZ_CHECK (contains (stream, m));

            // Only a frame with a correct checksum for this id reaches a session queue,
            // or a firmware-transfer reply the own id's queue.
            const bool frameForThisId = checksumOk (m) && m[2] == sid;
            FUZZ_CHECK (frameForThisId || (sid == device.own_sid_ && isFirmwareReply (m)));
            outcome.queues[sid].push_back (m);
        }
    }

    for (size_t i = 0; i < listener.calls.size(); ++i)
    {
        const auto& call = listener.calls[i];
        FUZZ_CHECK (contains (stream, call.message));
        FUZZ_CHECK (! isFirmwareReply (call.message));
        FUZZ_CHECK (! (checksumOk (call.message) && call.message[2] < JwDevice::kNumSessions));

        // A SysEx call is always followed by the message call for the same bytes.
        if (call.sysex)
        {
            FUZZ_CHECK (call.message.front() == 0xF0);
            FUZZ_CHECK (i + 1 < listener.calls.size());
            FUZZ_CHECK (! listener.calls[i + 1].sysex && listener.calls[i + 1].message == call.message);
        }
    }

    if (sysexOnly && stream.size() <= JwDevice::kMaxPendingBytes)
    {
        const auto expected = reference (stream, withListener);
        FUZZ_CHECK (outcome.queues == expected.queues);
        FUZZ_CHECK (sameCalls (outcome.listenerCalls, expected.listenerCalls));
        FUZZ_CHECK (outcome.pending == expected.pending);
    }

    JwDeviceTestAccess::setListener (device, nullptr);
    return 0;
}
