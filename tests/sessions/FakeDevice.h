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

inline Bytes bytesOf (const std::string& s)
{
    return Bytes (s.begin(), s.end());
}

/** F0, the name, the given tail bytes, F7. */
inline Bytes namedMessage (const std::string& name, const Bytes& tail = {})
{
    Bytes m (name.size() + tail.size() + 2);
    m.front() = 0xF0;
    std::copy (name.begin(), name.end(), m.begin() + 1);
    std::copy (tail.begin(), tail.end(), m.begin() + 1 + (std::ptrdiff_t) name.size());
    m.back() = 0xF7;
    return m;
}

/** True when m is F0 followed by the name. */
inline bool hasName (const Bytes& m, const std::string& name)
{
    return m.size() > name.size() && m[0] == 0xF0 && std::memcmp (m.data() + 1, name.data(), name.size()) == 0;
}

/** The seven-bit packing of data. */
inline Bytes pack7 (const Bytes& data)
{
    Bytes out (data.size() + (data.size() + 6) / 7);
    const auto n = JwSysEx::SetupMidiDataFromGeneralData (out.data(), data.data(), (unsigned int) data.size());
    out.resize (n);
    return out;
}

inline Bytes unpack7 (const uint8_t* data, size_t len)
{
    Bytes out (len);
    out.resize (jw::unpackSevenBits (out.data(), data, len));
    return out;
}

//==============================================================================
/** A firmware description with every field distinct. */
inline tagFirmwareInfo sampleInfo()
{
    tagFirmwareInfo info {};
    std::memcpy (info.device_name, "EVT", 4);   // the fourth byte is a NUL
    info.bootloader_version[0] = 0;
    info.bootloader_version[1] = 9;
    info.bootloader_version[2] = 200;
    info.bootloader_version[3] = 255;
    info.fw_version[0] = 1;
    info.fw_version[1] = 2;
    info.fw_version[2] = 3;
    info.fw_version[3] = 37;
    info.fw_length = 177214;
    info.checksum = 0x618D2F40;

    const uint32_t lens[8] = { 4096, 4096, 16384, 32768, 32768, 32768, 32768, 32768 };

    for (uint32_t i = 0; i < 8; ++i)
    {
        info.sectors[i].len = lens[i];
        info.sectors[i].checksum = 0x80000000u + i * 0x01010101u;   // prints negative
    }

    return info;
}

/** A deterministic image of the given size with the sample record at 0x400. */
inline Bytes makeImage (size_t size, uint32_t seed = 12345)
{
    Bytes image (size);
    uint32_t x = seed;

    for (auto& b : image)
    {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t) (x >> 24);
    }

    if (size >= bootloader::firmwareInfoOffset + 84)
        bootloader::writeFirmwareInfo (sampleInfo(), image.data() + bootloader::firmwareInfoOffset);

    return image;
}

//==============================================================================
/** A device whose transport is the test: every message sent is recorded and handed to
    an optional responder, which may answer through OnReadNext (from this thread or
    another) and decides what the send returns. */
class FakeDevice : public JwDevice
{
public:
    using Responder = std::function<int (FakeDevice&, const Bytes&)>;

    bool Open() override
    {
        const std::lock_guard<std::mutex> lock (mutex);
        ++opens;
        return openResult;
    }

    void Close() override
    {
        const std::lock_guard<std::mutex> lock (mutex);
        ++closes;
    }

    /** Delivers bytes as the transport would: one delivery at a time, whichever
        thread calls. */
    void deliver (const Bytes& bytes)
    {
        const std::lock_guard<std::mutex> lock (deliveryMutex);
        OnReadNext (bytes.data(), (int) bytes.size());
    }

    std::vector<Bytes> sent() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return sent_;
    }

    size_t sentCount() const
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return sent_.size();
    }

    Responder responder;
    bool openResult = true;
    int opens = 0;
    int closes = 0;

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        const Bytes message (data, data + len);

        {
            const std::lock_guard<std::mutex> lock (mutex);
            sent_.push_back (message);
        }

        if (responder)
            return responder (*this, message);

        return (int) len;
    }

private:
    mutable std::mutex mutex;
    std::mutex deliveryMutex;
    std::vector<Bytes> sent_;
};

//==============================================================================
/** A scripted bootloader answering the firmware-transfer dialect on a FakeDevice,
    synchronously from the send, with fault knobs. */
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

    ~FakeBootloader()
    {
        device.responder = nullptr;
    }

    /** The flash contents, as long as the last byte written. */
    Bytes flash;

    uint8_t status = 1;
    std::vector<uint8_t> statusesSet;
    uint8_t infoRecord[84] {};

    /** Faults of the replies to a command, by command name. */
    std::map<std::string, Fault> replyFaults;

    /** A reply fault for the "WriteFlash" of one offset only. */
    size_t faultyWriteOffset = SIZE_MAX;
    Fault writeFault = Fault::none;

    /** Sends of these command names return -1 (for "SetFwStatus", only with that value). */
    std::set<std::string> failingSends;
    int failingSetStatusValue = -1;

    /** Offsets refused on their first arrival, and offsets refused every time. */
    std::set<size_t> refuseOnce;
    std::set<size_t> refuseAlways;

    /** Before every reply, one message of each of the two other reply names. */
    bool otherNamesFirst = false;

    /** Messages queued right after the "RetFwInfo" reply. */
    std::vector<Bytes> afterInfoReply;

    /** Every "WriteFlash" whose form was wrong (length, end byte, sum). */
    int malformedWrites = 0;
    int sumMismatches = 0;

private:
    int respond (const Bytes& m)
    {
        const auto len = (int) m.size();

        if (hasName (m, "GetFwStatus"))
        {
            if (failingSends.count ("GetFwStatus") != 0)
                return -1;

            reply ("GetFwStatus", "RetFwStatus", namedMessage ("RetFwStatus", { status }));
            return len;
        }

        if (hasName (m, "SetFwStatus"))
        {
            const int value = m.size() > 12 ? m[12] : -1;

            if (failingSends.count ("SetFwStatus") != 0 && (failingSetStatusValue < 0 || failingSetStatusValue == value))
                return -1;

            if (value >= 0)
                statusesSet.push_back ((uint8_t) value);

            return len;
        }

        if (hasName (m, "GetFwInfo"))
        {
            if (failingSends.count ("GetFwInfo") != 0)
                return -1;

            const Bytes record (infoRecord, infoRecord + sizeof (infoRecord));
            reply ("GetFwInfo", "RetFwInfo", namedMessage ("RetFwInfo", pack7 (record)));

            for (const auto& extra : afterInfoReply)
                device.deliver (extra);

            return len;
        }

        if (hasName (m, "WriteFlash"))
        {
            if (failingSends.count ("WriteFlash") != 0)
                return -1;

            handleWrite (m);
            return len;
        }

        return len;
    }

    void handleWrite (const Bytes& m)
    {
        if (m.size() != 310 || m[309] != 0xF7)
        {
            ++malformedWrites;
            return;
        }

        const size_t offset = (size_t) m[11] | ((size_t) m[12] << 7) | ((size_t) m[13] << 14) | ((size_t) m[14] << 21);
        const auto block = unpack7 (m.data() + 15, 294);

        uint8_t sum = 0;

        for (size_t i = 0; i < 256; ++i)
            sum = (uint8_t) (sum + block[i]);

        bool accept = sum == block[256];

        if (! accept)
            ++sumMismatches;

        if (refuseAlways.count (offset) != 0)
            accept = false;

        if (refuseOnce.count (offset) != 0)
        {
            refuseOnce.erase (offset);
            accept = false;
        }

        if (accept)
        {
            if (flash.size() < offset + 256)
                flash.resize (offset + 256, 0);

            std::memcpy (flash.data() + offset, block.data(), 256);
        }

        const auto fault = offset == faultyWriteOffset ? writeFault : Fault::none;
        sendReply (fault, "RetWriteFlash", namedMessage ("RetWriteFlash", { 0, 0, 0, 0, (uint8_t) (accept ? 1 : 0) }));
    }

    void reply (const std::string& command, const std::string& replyName, const Bytes& message)
    {
        const auto it = replyFaults.find (command);
        sendReply (it != replyFaults.end() ? it->second : Fault::none, replyName, message);
    }

    void sendReply (Fault fault, const std::string& name, const Bytes& message)
    {
        if (otherNamesFirst)
        {
            if (name != "RetFwStatus")
                device.deliver (namedMessage ("RetFwStatus", { 1 }));

            if (name != "RetFwInfo")
                device.deliver (namedMessage ("RetFwInfo", Bytes (20, 3)));

            if (name != "RetWriteFlash")
                device.deliver (namedMessage ("RetWriteFlash", { 0, 0, 0, 0, 0 }));
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
