#pragma once

#include "DeviceSession.h"

#include <cstddef>
#include <cstdint>

/*  The firmware-transfer dialect: plain SysEx messages whose first data bytes are an
    ASCII command word, without session id, checksum or operation bytes.

        to the amplifier             reply
        F0 "GetFwStatus" F7          F0 "RetFwStatus" <status> ... F7
        F0 "SetFwStatus" <s> F7      (none)
        F0 "GetFwInfo" F7            F0 "RetFwInfo" <tagFirmwareInfo, seven-bit packed> F7
        F0 "WriteFlash" <offset: 4 x 7 bits, LSB first> <257-byte block packed to 294> F7
                                     F0 "RetWriteFlash" <4 bytes> <status at byte 18> ... F7

    The replies carry no session id, so the device queues all of them on its own id, and
    every reader of this dialect reads there, one exchange at a time.
*/

//==============================================================================
#if defined (__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
 #error "tagFirmwareInfo is laid out for a little-endian host"
#endif

#pragma pack (push, 1)

/** One flash sector of the firmware description. */
struct tagFirmwareSector
{
    uint32_t len;        // in 32-bit words
    uint32_t checksum;
};

/** The firmware description carried by "RetFwInfo" and found at offset 0x400 of a
    firmware image: 84 bytes, no padding, little-endian. */
struct tagFirmwareInfo
{
    char device_name[4];
    uint8_t bootloader_version[4];
    uint8_t fw_version[4];
    uint32_t fw_length;          // in 32-bit words
    uint32_t checksum;
    tagFirmwareSector sectors[8];
};

#pragma pack (pop)

static_assert (sizeof (tagFirmwareSector) == 8, "a sector is two 32-bit words");
static_assert (sizeof (tagFirmwareInfo) == 84, "the firmware description is 84 bytes on the wire");

//==============================================================================
namespace bootloader
{

/** Every buffer of this dialect holds this many bytes; every reply must fit in it. */
constexpr size_t transferBufferSize = 512;

/** A firmware-transfer read waits this long, whatever the session's time-out. */
constexpr int replyTimeoutMs = 3000;

constexpr size_t getFwStatusSize = 13;
constexpr size_t setFwStatusSize = 14;
constexpr size_t getFwInfoSize = 11;
constexpr size_t writeFlashSize = 310;

/** Image bytes per "WriteFlash" block; the block adds a sum byte. */
constexpr size_t flashBlockSize = 256;

/** "WriteFlash" offsets are 28 bits wide: an image must be smaller than this. */
constexpr int64_t maxImageSize = int64_t (1) << 28;

/** The position of the firmware description in an image. */
constexpr size_t firmwareInfoOffset = 0x400;

/** The record from its 84 wire bytes, field by field. */
tagFirmwareInfo readFirmwareInfo (const uint8_t* bytes);

/** The record's 84 wire bytes. */
void writeFirmwareInfo (const tagFirmwareInfo& info, uint8_t* bytes);

/** Message builders: each writes one whole message into buf and returns its length.
    buf must hold that many bytes. */
size_t buildGetFwStatus (uint8_t* buf);
size_t buildSetFwStatus (uint8_t* buf, uint8_t status);
size_t buildGetFwInfo (uint8_t* buf);

/** The "WriteFlash" of the block at offset: up to 256 image bytes from there, zero beyond
    the image's end, then their sum modulo 256. *blockBytes (if not null) receives the
    number of image bytes carried. offset must lie inside the image and below 2^28. */
size_t buildWriteFlash (uint8_t* buf, const uint8_t* image, size_t imageSize,
                        size_t offset, size_t* blockBytes);

/** Reads on sid until a message whose bytes from position 1 on are the given name
    arrives, dropping others. Returns the message's length, or -1 when a read brought
    nothing within replyTimeoutMs, found an empty entry or a message longer than
    capacity. */
int waitForReply (JwDevice* device, int sid, const char* name, uint8_t* buf, size_t capacity);

/** The status of a "RetFwStatus" (byte 12) or "RetWriteFlash" (byte 18). A reply too
    short to hold it before its closing byte has none: false. */
bool replyStatus (const uint8_t* reply, int len, size_t position, uint8_t& status);

constexpr size_t fwStatusPosition = 12;
constexpr size_t writeFlashStatusPosition = 18;

/** Prints the record: "Got FW Info:" and its fields, one line each. */
void printFirmwareInfo (const tagFirmwareInfo& info);

//==============================================================================
/** Reads the amplifier's firmware description on the device's own id.

    fw_info_ starts zeroed; hasFwInfo() tells a record that was read from one that was not.
*/
class DownloadFirmwareVersionSession : public JwDeviceSession
{
public:
    DownloadFirmwareVersionSession() = default;
    ~DownloadFirmwareVersionSession() override = default;

    /** True once a Perform has filled fw_info_. */
    bool hasFwInfo() const noexcept { return fw_info_valid_; }

    uint8_t send_buf_[transferBufferSize] {};
    uint8_t recv_buf_[transferBufferSize] {};
    tagFirmwareInfo fw_info_ {};

protected:
    bool do_perform (JwDevice* device, int sid) override;

private:
    bool fw_info_valid_ = false;
};

} // namespace bootloader

//==============================================================================
/** Asks for the firmware description and waits for it on sid. Both buffers hold
    bootloader::transferBufferSize bytes. Prints its progress; on failure returns false
    and leaves info as it was. */
bool GetFwInfo (JwDevice* device, int sid, uint8_t* sendBuf, uint8_t* recvBuf, tagFirmwareInfo& info);
