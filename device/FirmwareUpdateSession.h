#pragma once

#include "Bootloader.h"
#include "DeviceSession.h"

#include <cstdint>
#include <string>
#include <vector>

/** Writes a firmware image into the amplifier over the firmware-transfer dialect.

    One Perform runs the whole update on the device's own id, on the calling thread:
    load the image from fw_path_ if load_from_file_ is set and check it, before anything is
    sent; ask the firmware status and, when it is 1, set it to 0 and let the caller reconnect
    (status_reset_cb_); read and print the firmware description; send the image in blocks of
    256 bytes, each acknowledged and resent once when refused; set the status to 1; let the
    caller reconnect again (finish_cb_).

    Set the fields, then call Perform once. Failures return false with error_code_:

        8   no device                     12  sending a "SetFwStatus" failed
        10  the device has no own id      13  status_reset_cb_ returned false
        11  no firmware status            14  no firmware description
        15  no usable image, found before anything is sent: the file is not a regular
            file that can be opened and read whole (a missing file, a directory, a FIFO,
            a device), or the image is empty or 2^28 bytes or more, or fw_data_ is null
        16  a block could not be sent, got no answer, or was refused on its resend too

    A failure sends no final "SetFwStatus" 1 and calls no finish_cb_. An image that
    Perform loaded is released before it returns, on every path, leaving fw_data_ null
    and fw_size_ 0; an image the caller gave is only read.
*/
class FirmwareUpdateSession : public JwDeviceSession
{
public:
    using ProgressCallback = void (*) (JwDevice*, FirmwareUpdateSession*, int percent, void* user);
    using StatusCallback = bool (*) (JwDevice*, FirmwareUpdateSession*, void* user);

    enum UpdateErrorCode
    {
        errorNoFwStatus     = 11,
        errorSetFwStatus    = 12,
        errorReconnect      = 13,
        errorNoFwInfo       = 14,
        errorImage          = 15,
        errorWriteFlash     = 16
    };

    FirmwareUpdateSession() = default;
    ~FirmwareUpdateSession() override = default;

    bool Perform (JwDevice* device) override;

    std::string fw_path_;
    uint8_t send_buf_[bootloader::transferBufferSize] {};
    uint8_t recv_buf_[bootloader::transferBufferSize] {};
    ProgressCallback progress_cb_ = nullptr;
    void* progress_user_data_ = nullptr;
    const uint8_t* fw_data_ = nullptr;
    int fw_size_ = 0;
    bool load_from_file_ = false;
    uint32_t settle_delay_ms_ = 0;
    uint32_t block_delay_ms_ = 0;
    StatusCallback status_reset_cb_ = nullptr;
    void* cb_user_data_ = nullptr;
    StatusCallback finish_cb_ = nullptr;

protected:
    bool do_perform (JwDevice*, int) override { return true; }

private:
    bool fail (int code);
    bool loadImage();
    void releaseLoadedImage();
    bool sendBlock (JwDevice* device, int sid, size_t length);

    std::vector<uint8_t> loaded_image_;
    bool owns_image_ = false;
};
