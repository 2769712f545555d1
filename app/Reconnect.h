#pragma once

#include <chrono>

class JwDevice;
class FirmwareUpdateSession;

/** The reconnection after the amplifier restarts: closes the device, waits reopenDelay
    (5 s, time for the amplifier to come back) and opens the same device again. False for
    a null device or when it cannot be opened. */
bool reopenDevice (JwDevice* device, FirmwareUpdateSession* session, void* user);

/** How long reopenDevice waits. Tests that drive an amplifier restarting faster shorten it. */
extern std::chrono::milliseconds reopenDelay;
