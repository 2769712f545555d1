#pragma once

#include "JwDevice.h"

#include <cstddef>
#include <memory>

/** Reaches the device's private state from tests and fuzz targets. Defined here, once,
    so that every file of one executable sees the same definition. */
struct JwDeviceTestAccess
{
    /** Bytes held for a message that has not completed yet (0 before the first bytes). */
    static size_t pendingBytes (const JwDevice& device)
    {
        return device.rx_buffer_ == nullptr ? 0 : device.rx_buffer_->size();
    }

    /** The queue in the slot of sid, or null when the id is free. */
    static std::shared_ptr<JwQueue> queueOf (JwDevice& device, int sid)
    {
        return device.queueFor (sid);
    }

    static int lastSid (const JwDevice& device) { return device.last_sid_; }

    static void setListener (JwDevice& device, JwDeviceListener* listener)
    {
        device.listener_ = listener;
    }
};
