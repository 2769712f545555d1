#include "Bootloader.h"

#include "JwSysEx.h"
#include "MessageCodec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace bootloader
{

namespace
{
uint32_t readLe32 (const uint8_t* p)
{
    return (uint32_t) p[0] | ((uint32_t) p[1] << 8) | ((uint32_t) p[2] << 16) | ((uint32_t) p[3] << 24);
}

void writeLe32 (uint32_t v, uint8_t* p)
{
    p[0] = (uint8_t) (v & 0xFF);
    p[1] = (uint8_t) ((v >> 8) & 0xFF);
    p[2] = (uint8_t) ((v >> 16) & 0xFF);
    p[3] = (uint8_t) ((v >> 24) & 0xFF);
}

size_t buildCommand (uint8_t* buf, const char* name)
{
    const auto nameLen = std::strlen (name);
    buf[0] = 0xF0;
    std::memcpy (buf + 1, name, nameLen);
    return 1 + nameLen;
}

// The four fields as the printout shows them: the 32-bit ones as signed numbers.
int asSigned (uint32_t v)
{
    return (int) (int32_t) v;
}
} // namespace

//==============================================================================
tagFirmwareInfo readFirmwareInfo (const uint8_t* bytes)
{
    tagFirmwareInfo info {};
    std::memcpy (info.device_name, bytes, 4);
    std::memcpy (info.bootloader_version, bytes + 4, 4);
    std::memcpy (info.fw_version, bytes + 8, 4);
    info.fw_length = readLe32 (bytes + 12);
    info.checksum = readLe32 (bytes + 16);

    for (size_t i = 0; i < 8; ++i)
    {
        info.sectors[i].len = readLe32 (bytes + 20 + i * 8);
        info.sectors[i].checksum = readLe32 (bytes + 24 + i * 8);
    }

    return info;
}

void writeFirmwareInfo (const tagFirmwareInfo& info, uint8_t* bytes)
{
    std::memcpy (bytes, info.device_name, 4);
    std::memcpy (bytes + 4, info.bootloader_version, 4);
    std::memcpy (bytes + 8, info.fw_version, 4);
    writeLe32 (info.fw_length, bytes + 12);
    writeLe32 (info.checksum, bytes + 16);

    for (size_t i = 0; i < 8; ++i)
    {
        writeLe32 (info.sectors[i].len, bytes + 20 + i * 8);
        writeLe32 (info.sectors[i].checksum, bytes + 24 + i * 8);
    }
}

//==============================================================================
size_t buildGetFwStatus (uint8_t* buf)
{
    auto n = buildCommand (buf, "GetFwStatus");
    buf[n++] = 0xF7;
    return n;
}

size_t buildSetFwStatus (uint8_t* buf, uint8_t status)
{
    auto n = buildCommand (buf, "SetFwStatus");
    buf[n++] = status;
    buf[n++] = 0xF7;
    return n;
}

size_t buildGetFwInfo (uint8_t* buf)
{
    auto n = buildCommand (buf, "GetFwInfo");
    buf[n++] = 0xF7;
    return n;
}

size_t buildWriteFlash (uint8_t* buf, const uint8_t* image, size_t imageSize,
                        size_t offset, size_t* blockBytes)
{
    auto n = buildCommand (buf, "WriteFlash");

    buf[n++] = (uint8_t) (offset & 0x7F);
    buf[n++] = (uint8_t) ((offset >> 7) & 0x7F);
    buf[n++] = (uint8_t) ((offset >> 14) & 0x7F);
    buf[n++] = (uint8_t) ((offset >> 21) & 0x7F);

    uint8_t block[flashBlockSize + 1] {};
    const auto count = offset < imageSize ? std::min (flashBlockSize, imageSize - offset) : size_t (0);

    if (count > 0)
        std::memcpy (block, image + offset, count);

    uint8_t sum = 0;

    for (size_t i = 0; i < count; ++i)
        sum = (uint8_t) (sum + block[i]);

    block[flashBlockSize] = sum;

    n += JwSysEx::SetupMidiDataFromGeneralData (buf + n, block, (unsigned int) sizeof (block));
    buf[n++] = 0xF7;

    if (blockBytes != nullptr)
        *blockBytes = count;

    return n;
}

//==============================================================================
int waitForReply (JwDevice* device, int sid, const char* name, uint8_t* buf, size_t capacity)
{
    using Clock = std::chrono::steady_clock;

    const auto nameLen = std::strlen (name);

    // Other replies are dropped while waiting, but they do not buy more time: an amplifier
    // that keeps talking without ever answering must not hold the update forever.
    const auto deadline = Clock::now() + std::chrono::milliseconds (replyTimeoutMs);

    for (;;)
    {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds> (deadline - Clock::now()).count();

        if (remaining <= 0)
            return -1;

        const auto n = device->ReadNext (sid, buf, capacity, (int) remaining);

        if (n < 1)
            return -1;

        if ((size_t) n > nameLen && std::memcmp (buf + 1, name, nameLen) == 0)
            return n;

        // Another reply (a late one of an earlier wait, say): dropped, and wait on.
    }
}

bool replyStatus (const uint8_t* reply, int len, size_t position, uint8_t& status)
{
    // The last byte is the message's terminator, never a status.
    if (len < 0 || (size_t) len < position + 2)
        return false;

    status = reply[position];
    return true;
}

void printFirmwareInfo (const tagFirmwareInfo& info)
{
    std::fflush (stdout);
    std::printf ("Got FW Info:\n");
    std::printf ("Device Name: %c%c%c%c\n",
                 info.device_name[0], info.device_name[1], info.device_name[2], info.device_name[3]);
    std::printf ("Bootloader Version: %d.%d.%d.%d\n",
                 info.bootloader_version[0], info.bootloader_version[1],
                 info.bootloader_version[2], info.bootloader_version[3]);
    std::printf ("FW Version: %d.%d.%d.%d\n",
                 info.fw_version[0], info.fw_version[1], info.fw_version[2], info.fw_version[3]);
    std::printf ("FW Length: %d\n", asSigned (info.fw_length));
    std::printf ("Checksum: %d\n", asSigned (info.checksum));

    for (const auto& sector : info.sectors)
        std::printf ("Sector len: %d & checksum: %d\n", asSigned (sector.len), asSigned (sector.checksum));

    std::fflush (stdout);
}

//==============================================================================
bool DownloadFirmwareVersionSession::do_perform (JwDevice* device, int)
{
    // The bootloader answers on the device's own id, not on the one Perform took.
    if (device == nullptr)
    {
        error_code_ = errorNoDevice;
        return false;
    }

    if (device->own_sid_ == -1)
    {
        error_code_ = errorNoSessionId;
        return false;
    }

    if (! GetFwInfo (device, device->own_sid_, send_buf_, recv_buf_, fw_info_))
        return false;

    fw_info_valid_ = true;
    return true;
}

} // namespace bootloader

//==============================================================================
bool GetFwInfo (JwDevice* device, int sid, uint8_t* sendBuf, uint8_t* recvBuf, tagFirmwareInfo& info)
{
    using namespace bootloader;

    const auto commandLen = buildGetFwInfo (sendBuf);

    std::cout << "Sending GetFwInfo command" << std::endl;

    if (device->Send (sendBuf, (int) commandLen) == -1)
        return false;

    std::cout << "Sent GetFwInfo command" << std::endl;

    const auto n = waitForReply (device, sid, "RetFwInfo", recvBuf, transferBufferSize);

    if (n < 0)
    {
        std::cout << "Cannot read RetFwInfo data!" << std::endl;
        return false;
    }

    // The packed record runs from just after the name to the first F7 of this reply;
    // bytes beyond its length are left over from earlier, longer messages.
    constexpr size_t payloadStart = 10;
    const auto length = (size_t) n;
    auto end = payloadStart;

    while (end < length && recvBuf[end] != 0xF7)
        ++end;

    const auto payloadLen = end > payloadStart ? end - payloadStart : size_t (0);

    // 512 packed bytes unpack to at most 448; the record takes the first 84, zero where
    // a short payload did not reach.
    uint8_t scratch[transferBufferSize] {};
    jw::unpackSevenBits (scratch, recvBuf + payloadStart, payloadLen);

    info = readFirmwareInfo (scratch);
    return true;
}
