// The firmware-transfer reply wait and the reading of "RetFwInfo": fuzzer-made messages
// queued on a device's own session id, then GetFwInfo (and a status wait) reading them.
//
// Input: byte 0 selects the wait: even = GetFwInfo, odd = a wait for "RetWriteFlash"
// with the status read at byte 18. Then messages, each as a length byte (0-255, times
// the multiplier in byte 1's low 4 bits + 1, so that long messages occur) and its bytes.
// An empty entry after the last message ends every wait at once instead of in 3 s.
//
// Checks: the wait takes the first message that bears the awaited name, provided no
// empty or over-long (above 512 bytes) message comes before it; GetFwInfo fills the
// record from that reply's payload (up to its first F7) and leaves it untouched
// otherwise; nothing reads or writes past a buffer (the sanitizers watch that).

#include "FuzzCheck.h"
#include "ReferenceUnpack.h"
#include "JwDeviceTestAccess.h"
#include "TestDevice.h"

#include "Bootloader.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

bool bearsName (const Bytes& m, const char* name)
{
    const auto len = std::strlen (name);
    return m.size() > len && std::memcmp (m.data() + 1, name, len) == 0;
}

/** Which queued message the wait must take: its index, or -1 for a failed wait. */
int expectedReply (const std::vector<Bytes>& messages, const char* name)
{
    for (size_t i = 0; i < messages.size(); ++i)
    {
        if (messages[i].empty() || messages[i].size() > bootloader::transferBufferSize)
            return -1;

        if (bearsName (messages[i], name))
            return (int) i;
    }

    return -1;
}

struct Quiet
{
    // GetFwInfo reports its steps on standard output; a fuzzer run would drown in them.
    Quiet()  { std::fflush (stdout); saved = std::freopen ("/dev/null", "w", stdout) != nullptr; }
    bool saved = false;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static Quiet quiet;

    if (size < 2)
        return 0;

    const bool infoWait = (data[0] & 1) == 0;
    const size_t multiplier = (size_t) (data[1] & 0x0F) + 1;

    std::vector<Bytes> messages;

    for (size_t pos = 2; pos < size && messages.size() < 64;)
    {
        const auto wanted = (size_t) data[pos++] * multiplier;
        const auto length = std::min (wanted, size - pos);
        messages.emplace_back (data + pos, data + pos + length);
        pos += length;
    }

    TestDevice device;
    const auto sid = device.own_sid_;
    auto queue = JwDeviceTestAccess::queueOf (device, sid);
    FUZZ_CHECK (queue != nullptr);

    for (const auto& m : messages)
        queue->PushBack (m.data(), (int) m.size());

    queue->PushBack (nullptr, 0);

    if (infoWait)
    {
        uint8_t sendBuf[bootloader::transferBufferSize] {};
        uint8_t recvBuf[bootloader::transferBufferSize] {};
        tagFirmwareInfo info;
        std::memset (&info, 0xA5, sizeof (info));
        const auto before = info;

        const bool ok = GetFwInfo (&device, sid, sendBuf, recvBuf, info);
        const auto index = expectedReply (messages, "RetFwInfo");
        FUZZ_CHECK (ok == (index >= 0));

        // The request went out whole, whatever came back.
        const auto sent = device.sentPieces();
        FUZZ_CHECK (sent.size() == 1 && sent[0].size() == bootloader::getFwInfoSize);

        if (! ok)
        {
            FUZZ_CHECK (std::memcmp (&info, &before, sizeof (info)) == 0);
            return 0;
        }

        const auto& reply = messages[(size_t) index];
        size_t end = 10;

        while (end < reply.size() && reply[end] != 0xF7)
            ++end;

        auto record = end > 10 ? fuzzing::referenceUnpack (reply.data() + 10, end - 10) : Bytes();
        record.resize (84, 0);

        uint8_t written[84];
        bootloader::writeFirmwareInfo (info, written);
        FUZZ_CHECK (std::memcmp (written, record.data(), 84) == 0);
        return 0;
    }

    uint8_t recvBuf[bootloader::transferBufferSize] {};
    const auto n = bootloader::waitForReply (&device, sid, "RetWriteFlash", recvBuf, sizeof (recvBuf));
    const auto index = expectedReply (messages, "RetWriteFlash");
    FUZZ_CHECK ((n > 0) == (index >= 0));

    if (index >= 0)
    {
        const auto& reply = messages[(size_t) index];
        FUZZ_CHECK ((size_t) n == reply.size());
        FUZZ_CHECK (std::memcmp (recvBuf, reply.data(), reply.size()) == 0);

        uint8_t status = 0xEE;
        const bool hasStatus = bootloader::replyStatus (recvBuf, n, bootloader::writeFlashStatusPosition, status);
        FUZZ_CHECK (hasStatus == (reply.size() >= bootloader::writeFlashStatusPosition + 2));

        if (hasStatus)
            FUZZ_CHECK (status == reply[bootloader::writeFlashStatusPosition]);
    }

    return 0;
}
