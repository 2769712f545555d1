// The generic session's reply decoding: a serial-number query on a device that answers
// the request at once with fuzzer-made bytes, through the whole receive path.
//
// Input: byte 0 bit 0 set: the rest is framed as a reply on the request's session id
// (correct checksum; operation bytes from bytes 1 and 2 of the input; bit 1 set cuts the
// frame's last byte off); clear: the rest goes to the receive path as it is.
//
// Checks: the query succeeds exactly when a valid frame for its id, no longer than the
// session's buffer, is the first message routed to that id, and then its serial is the
// frame's unpacked payload; otherwise it ends with "Device reading timeout". Its id is
// free again afterwards either way.

#include "FuzzCheck.h"
#include "ReferenceUnpack.h"
#include "JwDeviceTestAccess.h"

#include "DeviceSession.h"

#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

/** Answers every request with the reply made for it. */
class AnsweringDevice : public JwDevice
{
public:
    bool Open() override { return true; }
    void Close() override {}

    std::function<Bytes (const Bytes& request)> answer;
    Bytes request;

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        request.assign (data, data + len);
        const auto reply = answer (request);

        if (! reply.empty())
            OnReadNext (reply.data(), (int) reply.size());

        return (int) len;
    }
};

/** The messages that the receive path cuts from a stream, in order: a start byte B0
    takes 3 bytes, C0 2 bytes, F0 runs to the next F7 (a later F0 restarting it). */
std::vector<Bytes> cut (const Bytes& stream)
{
    std::vector<Bytes> messages;
    size_t i = 0;

    while (i < stream.size())
    {
        const auto b = stream[i];

        if (b == 0xB0 || b == 0xC0)
        {
            const size_t len = b == 0xB0 ? 3 : 2;

            if (i + len > stream.size())
                break;

            messages.emplace_back (stream.begin() + (long) i, stream.begin() + (long) (i + len));
            i += len - 1;   // the last byte is looked at again as a start
            continue;
        }

        if (b == 0xF0)
        {
            size_t start = i, j = i + 1;

            for (; j < stream.size() && stream[j] != 0xF7; ++j)
                if (stream[j] == 0xF0)
                    start = j;

            if (j >= stream.size())
                break;

            messages.emplace_back (stream.begin() + (long) start, stream.begin() + (long) j + 1);
            i = j;
            continue;
        }

        ++i;
    }

    return messages;
}

bool isFirmwareReply (const Bytes& m)
{
    auto named = [&m] (const char* name)
    {
        const auto len = std::strlen (name);
        return m.size() >= len + 2 && std::memcmp (m.data() + 1, name, len) == 0;
    };

    return named ("RetFwStatus") || named ("RetFwInfo") || named ("RetWriteFlash");
}

bool isFrame (const Bytes& m)
{
    if (m.size() < 7 || m.front() != 0xF0 || m.back() != 0xF7)
        return false;

    uint8_t sum = 0;

    for (size_t i = 6; i + 1 < m.size(); ++i)
        sum ^= m[i];

    return (sum & 0x7F) == m[3];
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;

    const bool framed = (data[0] & 1) != 0;
    const bool cutShort = (data[0] & 2) != 0;
    const uint8_t op1 = data[1], op2 = data[2];
    const Bytes rest (data + 3, data + size);

    AnsweringDevice device;
    Bytes stream;

    device.answer = [&] (const Bytes& request) -> Bytes
    {
        if (! framed)
            return stream = rest;

        // A frame on the request's id, its checksum right; the body as it is, 7-bit or not.
        Bytes reply { 0xF0, 0x01, request.size() > 2 ? request[2] : (uint8_t) 0, 0, op1, op2 };
        uint8_t sum = 0;

        for (auto b : rest)
        {
            reply.push_back (b);
            sum ^= b;
        }

        reply[3] = (uint8_t) (sum & 0x7F);
        reply.push_back (0xF7);

        if (cutShort)
            reply.pop_back();

        return stream = reply;
    };

    SerialNumberSession session;
    session.timeout_ms_ = 1;   // no answer must not cost seconds per input

    bool ok = false, timedOut = false;

    try
    {
        ok = session.Perform (&device);
    }
    catch (const std::runtime_error& e)
    {
        timedOut = std::strcmp (e.what(), "Device reading timeout") == 0;
        FUZZ_CHECK (timedOut);
    }

    const int sid = device.request.size() > 2 ? device.request[2] : -1;
    FUZZ_CHECK (sid == 1);   // the first id after the device's own
    FUZZ_CHECK (JwDeviceTestAccess::queueOf (device, sid) == nullptr);

    // What the receive path hands to the session's id: frames on it that are not
    // firmware-transfer replies; the first of them is the answer.
    const auto routed = cut (stream);
    const Bytes* answer = nullptr;

    for (const auto& m : routed)
    {
        if (! isFirmwareReply (m) && isFrame (m) && m[2] == sid)
        {
            answer = &m;
            break;
        }
    }

    const bool fits = answer != nullptr && answer->size() <= SerialNumberSession::bufferSize;
    FUZZ_CHECK (ok == fits);
    FUZZ_CHECK (timedOut == ! fits);

    if (ok)
    {
        const auto payload = fuzzing::referenceUnpack (answer->data() + 6, answer->size() - 7);
        FUZZ_CHECK (session.reply_.value_ == std::string (payload.begin(), payload.end()));
    }

    return 0;
}
