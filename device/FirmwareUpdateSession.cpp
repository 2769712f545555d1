#include "FirmwareUpdateSession.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
void sleepMs (uint32_t ms)
{
    if (ms != 0)
        std::this_thread::sleep_for (std::chrono::milliseconds (ms));
}

struct FileDescriptor
{
    explicit FileDescriptor (int fdToUse) : fd (fdToUse) {}

    ~FileDescriptor()
    {
        if (fd != -1)
            ::close (fd);
    }

    FileDescriptor (const FileDescriptor&) = delete;
    FileDescriptor& operator= (const FileDescriptor&) = delete;

    const int fd;
};

/** Reads a regular file whole, or refuses it: anything else (a directory, a FIFO, a device)
    or a file that reads short gives false. */
bool readRegularFile (const std::string& path, std::vector<uint8_t>& contents)
{
    // Non-blocking, so that opening a FIFO with no writer does not wait for one; it is then
    // refused below, as a regular file never blocks on reading anyway.
    const FileDescriptor file (::open (path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));

    if (file.fd == -1)
        return false;

    struct stat info {};

    if (::fstat (file.fd, &info) != 0 || ! S_ISREG (info.st_mode))
        return false;

    // The offsets of "WriteFlash" reach 2^28 - 1, and the size must fit an int.
    if (info.st_size < 0 || (int64_t) info.st_size >= bootloader::maxImageSize)
        return false;

    std::vector<uint8_t> data ((size_t) info.st_size);
    size_t got = 0;

    while (got < data.size())
    {
        const auto n = ::read (file.fd, data.data() + got, data.size() - got);

        if (n < 0 && errno == EINTR)
            continue;

        // A file that reads short is refused rather than sent with a hole in it.
        if (n <= 0)
            return false;

        got += (size_t) n;
    }

    contents = std::move (data);
    return true;
}
} // namespace

//==============================================================================
bool FirmwareUpdateSession::Perform (JwDevice* device)
{
    using namespace bootloader;

    if (device == nullptr)
        return fail (errorNoDevice);

    const auto sid = device->own_sid_;

    if (sid == -1)
        return fail (errorNoSessionId);

    // From here on an image loaded from the file goes on every way out.
    struct ImageRelease
    {
        FirmwareUpdateSession& session;
        ~ImageRelease() { session.releaseLoadedImage(); }
    } imageRelease { *this };

    // The image is checked before anything reaches the amplifier: a mistyped path must not
    // leave it in its bootloader, waiting for an image that never comes. An image of no bytes
    // would write nothing and still end in "SetFwStatus" 1, a failure reported as success.
    if (load_from_file_ && ! loadImage())
        return fail (errorImage);

    if (fw_size_ <= 0 || fw_size_ >= maxImageSize || fw_data_ == nullptr)
        return fail (errorImage);

    std::cout << "Get FW SID: " << sid << std::endl;

    // Status check.
    auto length = buildGetFwStatus (send_buf_);

    if (device->Send (send_buf_, (int) length) == -1)
        return fail (errorNoFwStatus);

    const auto statusLen = waitForReply (device, sid, "RetFwStatus", recv_buf_, sizeof (recv_buf_));
    uint8_t status = 0;

    if (statusLen < 0 || ! replyStatus (recv_buf_, statusLen, fwStatusPosition, status))
        return fail (errorNoFwStatus);

    std::printf ("Get FW Status: %d\n", status);
    std::fflush (stdout);

    // Status 1 means the application runs: drop it to 0 and have the caller reconnect,
    // after which the bootloader answers.
    if (status == 1)
    {
        length = buildSetFwStatus (send_buf_, 0);

        if (device->Send (send_buf_, (int) length) == -1)
            return fail (errorSetFwStatus);

        std::cout << "Set FW Status as 0" << std::endl;

        if (status_reset_cb_ != nullptr && ! status_reset_cb_ (device, this, cb_user_data_))
            return fail (errorReconnect);
    }

    std::cout << "Will sleep for " << settle_delay_ms_ << " ms" << std::endl;
    sleepMs (settle_delay_ms_);

    tagFirmwareInfo info {};

    if (! GetFwInfo (device, sid, send_buf_, recv_buf_, info))
        return fail (errorNoFwInfo);

    printFirmwareInfo (info);
    sleepMs (settle_delay_ms_);

    // Transfer.
    const auto imageSize = (size_t) fw_size_;
    size_t offset = 0;

    while (offset < imageSize)
    {
        size_t carried = 0;
        length = buildWriteFlash (send_buf_, fw_data_, imageSize, offset, &carried);
        const auto written = offset + carried;

        if (! sendBlock (device, sid, length))
            return fail (errorWriteFlash);

        const auto percent = (int) std::min<int64_t> (100, (int64_t) written * 100 / (int64_t) imageSize);

        if (progress_cb_ != nullptr)
            progress_cb_ (device, this, percent, progress_user_data_);

        offset = written;
    }

    // Completion.
    length = buildSetFwStatus (send_buf_, 1);

    if (device->Send (send_buf_, (int) length) == -1)
        return fail (errorSetFwStatus);

    sleepMs (settle_delay_ms_);
    releaseLoadedImage();

    if (finish_cb_ != nullptr)
        finish_cb_ (device, this, cb_user_data_);

    return true;
}

bool FirmwareUpdateSession::sendBlock (JwDevice* device, int sid, size_t length)
{
    using namespace bootloader;

    // A refused block goes out once more, byte for byte the same.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        sleepMs (block_delay_ms_);

        if (device->Send (send_buf_, (int) length) == -1)
            return false;

        std::memset (recv_buf_, 0, sizeof (recv_buf_));
        const auto replyLen = waitForReply (device, sid, "RetWriteFlash", recv_buf_, sizeof (recv_buf_));

        if (replyLen < 0)
            return false;

        // A reply too short to carry a status counts as a refusal.
        uint8_t status = 0;

        if (replyStatus (recv_buf_, replyLen, writeFlashStatusPosition, status) && status == 1)
            return true;
    }

    return false;
}

//==============================================================================
bool FirmwareUpdateSession::fail (int code)
{
    error_code_ = code;
    releaseLoadedImage();
    return false;
}

bool FirmwareUpdateSession::loadImage()
{
    releaseLoadedImage();
    fw_data_ = nullptr;
    fw_size_ = 0;

    std::vector<uint8_t> image;

    if (! readRegularFile (fw_path_, image))
        return false;

    loaded_image_ = std::move (image);
    owns_image_ = true;
    fw_data_ = loaded_image_.data();
    fw_size_ = (int) loaded_image_.size();
    return true;
}

void FirmwareUpdateSession::releaseLoadedImage()
{
    if (! owns_image_)
        return;

    std::vector<uint8_t>().swap (loaded_image_);
    owns_image_ = false;
    fw_data_ = nullptr;
    fw_size_ = 0;
}
