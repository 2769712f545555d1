#include "CorvelFwUpgradeLauncherApplication.h"

#include "FirmwareUpgradeTool.h"
#include "JwDeviceManager.h"
#include "MainComponent.h"

#include <csignal>
#include <iostream>

namespace
{
// Before the framework shuts down its MIDI and message machinery, the open device goes.
void closeCurrentDevice()
{
    auto* manager = jw::DeviceManager::instance();
    manager->stopPolling();

    if (auto* device = manager->currentDevice())
    {
        device->Close();
        manager->setCurrentDevice (nullptr);
    }
}
} // namespace

CorvelFwUpgradeLauncherApplication::~CorvelFwUpgradeLauncherApplication()
{
    mainWindow.reset();
}

const juce::String CorvelFwUpgradeLauncherApplication::getApplicationName()    { return "Tarvo Firmware Updater"; }
const juce::String CorvelFwUpgradeLauncherApplication::getApplicationVersion() { return "1.0.0"; }
bool CorvelFwUpgradeLauncherApplication::moreThanOneInstanceAllowed()          { return true; }
void CorvelFwUpgradeLauncherApplication::anotherInstanceStarted (const juce::String&) {}
void CorvelFwUpgradeLauncherApplication::systemRequestedQuit()                 { quit(); }

juce::StringArray CorvelFwUpgradeLauncherApplication::getArguments()
{
    juce::StringArray arguments;

    for (int i = 1; i < juce::juce_argc; ++i)
    {
        const auto* arg = juce::juce_argv[i];
        arguments.add (arg == nullptr ? juce::String() : juce::String::fromUTF8 (arg));
    }

    return arguments;
}

void CorvelFwUpgradeLauncherApplication::initialise (const juce::String&)
{
    // A reader of the output that goes away (a pager quit early, `head`) must not end the
    // program, least of all halfway through writing the amplifier's flash: what cannot be
    // written is dropped, and the exit status still tells the outcome.
    std::signal (SIGPIPE, SIG_IGN);

    const auto arguments = getArguments();

    if (arguments[0] == "--path")
    {
        const auto path = arguments[1].isEmpty() ? juce::String()
                                                 : juce::File::getCurrentWorkingDirectory()
                                                       .getChildFile (arguments[1]).getFullPathName();
        const console::FirmwareUpgradeTool tool (path);
        setApplicationReturnValue (tool.execute());
        quit();
        return;
    }

    // With no display to open (a terminal over ssh, a service) the framework has no screen to
    // place the window on; the command-line update still works there.
    if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() == nullptr)
    {
        std::cerr << "The window needs a display; to update from the command line run: "
                     "TarvoFirmwareUpdater --path FILE" << std::endl;
        setApplicationReturnValue (1);
        quit();
        return;
    }

    mainWindow = std::make_unique<MainWindow> (getApplicationName());
}

void CorvelFwUpgradeLauncherApplication::shutdown()
{
    mainWindow.reset();
    closeCurrentDevice();
}

//==============================================================================
CorvelFwUpgradeLauncherApplication::MainWindow::MainWindow (const juce::String& name)
    : juce::DocumentWindow (name,
                            juce::Desktop::getInstance().getDefaultLookAndFeel()
                                .findColour (juce::ResizableWindow::backgroundColourId),
                            juce::DocumentWindow::allButtons)
{
    setUsingNativeTitleBar (true);

    auto* content = new MainComponent();
    content->onQuitReady = [this] { quitNow(); };
    setContentOwned (content, true);
    setResizable (true, true);
    centreWithSize (getWidth(), getHeight());
    setName ("Tarvo Firmware Updater");
    setVisible (true);
}

CorvelFwUpgradeLauncherApplication::MainWindow::~MainWindow() = default;

void CorvelFwUpgradeLauncherApplication::MainWindow::closeButtonPressed()
{
    // An update writing to the amplifier is never cut off: the quit waits for its end.
    if (auto* content = dynamic_cast<MainComponent*> (getContentComponent()))
        if (! content->requestQuit())
            return;

    quitNow();
}

void CorvelFwUpgradeLauncherApplication::MainWindow::quitNow()
{
    setVisible (false);
    closeCurrentDevice();
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}

//==============================================================================
juce::JUCEApplicationBase* juce_CreateApplication()
{
    return new CorvelFwUpgradeLauncherApplication();
}
