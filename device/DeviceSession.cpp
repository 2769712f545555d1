#include "DeviceSession.h"

//==============================================================================
bool JwDeviceSession::Perform (JwDevice* device)
{
    if (device == nullptr)
    {
        error_code_ = errorNoDevice;
        return false;
    }

    const auto sid = device->AllocateSid();

    if (sid == -1)
    {
        error_code_ = errorNoSessionId;
        return false;
    }

    // The id goes back whatever happens, so that a thrown time-out leaks nothing.
    struct SidRelease
    {
        JwDevice* device;
        int sid;
        ~SidRelease() { device->ReleaseSid (sid); }
    } release { device, sid };

    return do_perform (device, sid);
}

//==============================================================================
namespace bootloader
{

bool StdStringPacker::pack (uint8_t* buf, size_t cap, uint8_t** out, size_t* outLen)
{
    if (value_.size() > cap || (buf == nullptr && ! value_.empty()))
        return false;

    if (! value_.empty())
        std::memcpy (buf, value_.data(), value_.size());

    if (out != nullptr)
        *out = buf;

    if (outLen != nullptr)
        *outLen = value_.size();

    return true;
}

bool StdStringPacker::unpack (const uint8_t* data, size_t len)
{
    if (data == nullptr || len == 0)
        value_.clear();
    else
        value_.assign (reinterpret_cast<const char*> (data), len);

    return true;
}

} // namespace bootloader
