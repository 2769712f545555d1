#include "ApplicationMain.h"
#include "CorvelFwUpgradeLauncherApplication.h"
#include "MidiPorts.h"

// The product: the application on the platform's MIDI service.
int main (int argc, char* argv[])
{
    midi::installBackend (midi::createJuceBackend());
    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return runApplication (argc, argv);
}
