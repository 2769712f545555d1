#include "Reconnect.h"

#include "JwDevice.h"

#include <thread>

std::chrono::milliseconds reopenDelay { 5000 };

bool reopenDevice (JwDevice* device, FirmwareUpdateSession*, void*)
{
    if (device == nullptr)
        return false;

    device->Close();
    std::this_thread::sleep_for (reopenDelay);
    return device->Open();
}
