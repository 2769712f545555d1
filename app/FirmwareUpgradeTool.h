#pragma once

#include <juce_core/juce_core.h>

class JwDevice;
class FirmwareUpdateSession;

namespace console
{

/** The command-line update: finds the amplifier, prints its serial number and flashes
    the given file, writing its progress on standard output. */
class FirmwareUpgradeTool
{
public:
    explicit FirmwareUpgradeTool (const juce::String& firmwarePathToUse);

    /** Runs the update once. Returns the process exit status: 0 after "Firmware upgraded!",
        1 after any failure, so that a script is never told that a failed update worked. */
    int execute() const;

    /** Closes the device, waits for the amplifier to restart, and opens it again. */
    static bool reopenDevice (JwDevice* device, FirmwareUpdateSession* session, void* user);

    static void printProgress (JwDevice* device, FirmwareUpdateSession* session, int percentage, void* user);

    const juce::String firmwarePath;
};

} // namespace console
