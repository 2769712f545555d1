#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace juce
{
// The process arguments, which the framework keeps without declaring them in its headers.
extern const char* const* juce_argv;
extern int juce_argc;
} // namespace juce

/** The application: chooses between the window and the command-line update on the exact
    first argument "--path". */
class CorvelFwUpgradeLauncherApplication : public juce::JUCEApplication
{
public:
    CorvelFwUpgradeLauncherApplication() = default;
    ~CorvelFwUpgradeLauncherApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;

    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;

    /** The process arguments after the program name. */
    static juce::StringArray getArguments();

    class MainWindow : public juce::DocumentWindow
    {
    public:
        explicit MainWindow (const juce::String& name);
        ~MainWindow() override;

        void closeButtonPressed() override;

    private:
        void quitNow();

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
    };

    std::unique_ptr<MainWindow> mainWindow;
};

/** The framework's hook for creating the application object. */
juce::JUCEApplicationBase* juce_CreateApplication();
