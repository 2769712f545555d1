#pragma once

#include "Bootloader.h"
#include "JwDevice.h"
#include "JwSysEx.h"
#include "MessageCodec.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sessiontest
{

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf (const std::string& s) { return Bytes (s.begin(), s.end()); }

/** F0, the name, the given tail bytes, F7. */
inline Bytes namedMessage (const std::string& name, const Bytes& tail = {})
{
    Bytes m (name.size() + tail.size() + 2, 0xF0);
    std::copy (name.begin(), name.end(), m.begin() + 1);
    std::copy (tail.begin(), tail.end(), m.begin() + 1 + (std::ptrdiff_t) name.size());
    m.back() = 0xF7;
    return m;
}

inline bool hasName (const Bytes& m, const std::string& name)
{
    return m.size() > name.size() && m[0] == 0xF0 && std::memcmp (m.data() + 1, name.data(), name.size()) == 0;
}

/** The block offset of a "WriteFlash", seven bits per byte, low first. */
inline size_t writeOffset (const Bytes& m)
{
    return (size_t) m[11] | ((size_t) m[12] << 7) | ((size_t) m[13] << 14) | ((size_t) m[14] << 21);
}

inline Bytes pack7 (const Bytes& data)
{
    Bytes out (data.size() + (data.size() + 6) / 7);
    out.resize (JwSysEx::SetupMidiDataFromGeneralData (out.data(), data.data(), (unsigned int) data.size()));
    return out;
}

inline Bytes unpack7 (const uint8_t* data, size_t len)
{
    Bytes out (len);
    out.resize (jw::unpackSevenBits (out.data(), data, len));
    return out;
}

/** A firmware description with every field distinct; the sector sums print negative. */
inline tagFirmwareInfo sampleInfo()
{
    tagFirmwareInfo info {};
    std::memcpy (info.device_name, "EVT", 4);   // the fourth byte is a NUL
    const uint8_t boot[4] = { 0, 9, 200, 255 }, fw[4] = { 1, 2, 3, 37 };
    std::memcpy (info.bootloader_version, boot, 4);
    std::memcpy (info.fw_version, fw, 4);
    info.fw_length = 177214;
    info.checksum = 0x618D2F40;
    const uint32_t lens[8] = { 4096, 4096, 16384, 32768, 32768, 32768, 32768, 32768 };

    for (uint32_t i = 0; i < 8; ++i)
        info.sectors[i] = { lens[i], 0x80000000u + i * 0x01010101u };

    return info;
}

/** A deterministic image of the given size with the sample record at its place. */
inline Bytes makeImage (size_t size, uint32_t seed = 12345)
{
    Bytes image (size);

    for (auto& b : image)
        b = (uint8_t) ((seed = seed * 1664525u + 1013904223u) >> 24);

    if (size >= bootloader::firmwareInfoOffset + 84)
        bootloader::writeFirmwareInfo (sampleInfo(), image.data() + bootloader::firmwareInfoOffset);

    return image;
}

//==============================================================================
/** A device whose transport is the test: every message sent is recorded and handed to
    an optional responder, which may answer through OnReadNext (from any thread) and
    decides what the send returns. */
class FakeDevice : public JwDevice
{
public:
    using Responder = std::function<int (FakeDevice&, const Bytes&)>;

    bool Open() override  { const std::lock_guard<std::mutex> lock (mutex); ++opens; return true; }
    void Close() override { const std::lock_guard<std::mutex> lock (mutex); ++closes; }

    /** One delivery at a time, as the transport does, whichever thread calls. */
    void deliver (const Bytes& bytes)
    {
        const std::lock_guard<std::mutex> lock (deliveryMutex);
        OnReadNext (bytes.data(), (int) bytes.size());
    }

    std::vector<Bytes> sent() const   { const std::lock_guard<std::mutex> lock (mutex); return sent_; }
    size_t sentCount() const          { const std::lock_guard<std::mutex> lock (mutex); return sent_.size(); }

    Responder responder;
    int opens = 0, closes = 0;

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        const Bytes message (data, data + len);
        {
            const std::lock_guard<std::mutex> lock (mutex);
            sent_.push_back (message);
        }
        return responder ? responder (*this, message) : (int) len;
    }

private:
    mutable std::mutex mutex;
    std::mutex deliveryMutex;
    std::vector<Bytes> sent_;
};

//==============================================================================
/** A scripted bootloader answering the firmware-transfer dialect on a FakeDevice,
    synchronously from the send, with fault knobs. A "WriteFlash" of the wrong form or
    with a wrong sum is refused. */
class FakeBootloader
{
public:
    enum class Fault
    {
        none,
        missing,    // no reply: the read times out
        overlong,   // a reply longer than any receive buffer: the read fails at once
        truncated   // the reply ends right after its name
    };

    explicit FakeBootloader (FakeDevice& d) : device (d)
    {
        bootloader::writeFirmwareInfo (sampleInfo(), infoRecord);
        device.responder = [this] (FakeDevice&, const Bytes& m) { return respond (m); };
    }

    ~FakeBootloader() { device.responder = nullptr; }

    Bytes flash;   // as long as the last block written
    uint8_t status = 1;
    std::vector<uint8_t> statusesSet;
    uint8_t infoRecord[84] {};

    std::map<std::string, Fault> replyFaults;      // by command name; for "WriteFlash" ...
    size_t faultyWriteOffset = SIZE_MAX;           // ... only the block at this offset

    std::set<std::string> failingSends;            // these sends return -1 ...
    int failingSetStatusValue = -1;                // ... "SetFwStatus" only with this value, if set

    std::set<size_t> refuseOnce, refuseAlways;     // block offsets
    bool otherNamesFirst = false;                  // each reply preceded by the two other names

private:
    int respond (const Bytes& m)
    {
        const auto len = (int) m.size();

        const bool failing = std::any_of (failingSends.begin(), failingSends.end(), [&] (const std::string& n) { return hasName (m, n); });
        const bool valueMatches = failingSetStatusValue < 0 || ! hasName (m, "SetFwStatus")
                                   || (m.size() > 12 && m[12] == failingSetStatusValue);

        if (failing && valueMatches)
            return -1;

        if (hasName (m, "GetFwStatus"))
        {
            reply ("GetFwStatus", "RetFwStatus", namedMessage ("RetFwStatus", { status }));
        }
        else if (hasName (m, "SetFwStatus"))
        {
            if (m.size() > 12)
                statusesSet.push_back (m[12]);
        }
        else if (hasName (m, "GetFwInfo"))
        {
            reply ("GetFwInfo", "RetFwInfo", namedMessage ("RetFwInfo", pack7 (Bytes (infoRecord, infoRecord + 84))));
        }
        else if (hasName (m, "WriteFlash"))
        {
            handleWrite (m);
        }

        return len;
    }

    void handleWrite (const Bytes& m)
    {
        const auto offset = m.size() == 310 ? writeOffset (m) : SIZE_MAX;
        const auto block = m.size() == 310 ? unpack7 (m.data() + 15, 294) : Bytes();
        uint8_t sum = 0;

        for (size_t i = 0; i < 256 && block.size() == 257; ++i)
            sum = (uint8_t) (sum + block[i]);

        bool accept = m.back() == 0xF7 && block.size() == 257 && sum == block[256] && refuseAlways.count (offset) == 0;

        if (refuseOnce.erase (offset) != 0)
            accept = false;

        if (accept)
        {
            flash.resize (std::max (flash.size(), offset + 256), 0);
            std::copy (block.begin(), block.begin() + 256, flash.begin() + (std::ptrdiff_t) offset);
        }

        reply (offset == faultyWriteOffset ? "WriteFlash" : "", "RetWriteFlash",
               namedMessage ("RetWriteFlash", { 0, 0, 0, 0, (uint8_t) (accept ? 1 : 0) }));
    }

    void reply (const std::string& command, const std::string& name, const Bytes& message)
    {
        const auto it = replyFaults.find (command);
        const auto fault = it != replyFaults.end() ? it->second : Fault::none;

        if (otherNamesFirst)
        {
            if (name != "RetFwStatus")   device.deliver (namedMessage ("RetFwStatus", { 1 }));
            if (name != "RetFwInfo")     device.deliver (namedMessage ("RetFwInfo", Bytes (20, 3)));
            if (name != "RetWriteFlash") device.deliver (namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 0 }));
        }

        switch (fault)
        {
            case Fault::none:      device.deliver (message); break;
            case Fault::missing:   break;
            case Fault::overlong:  device.deliver (namedMessage (name, Bytes (600, 0x01))); break;
            case Fault::truncated: device.deliver (namedMessage (name)); break;
        }
    }

    FakeDevice& device;
};

} // namespace sessiontest
