#include "ApplicationMain.h"
#include "CorvelFwUpgradeLauncherApplication.h"
#include "SimulatorInstall.h"
#include "SimulatorResources.h"

// The application with the simulator as its MIDI service and one emulated amplifier plugged
// in, running the older firmware, so that the window and the command-line tool can be tried
// without an amplifier.
int main (int argc, char* argv[])
{
    sim::installSimulatorWithDefaultAmplifier (
        { simresources::olderFirmwareImage,
          simresources::olderFirmwareImage + simresources::olderFirmwareImageSize });

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return runApplication (argc, argv);
}
