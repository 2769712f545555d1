// Before the first JUCE header: it then declares JUCE's X11 layer, whose display this file asks.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1

#include "ApplicationMain.h"
#include "CorvelFwUpgradeLauncherApplication.h"

#include <juce_gui_basics/juce_gui_basics.h>

#if JUCE_LINUX || JUCE_BSD
 #include <juce_events/native/juce_linux_EventLoopInternal.h>

namespace juce
{
// The step of the framework's own loop: dispatches what is ready, or sleeps until something is.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

namespace
{
// The framework waits for X events by polling the X connection. An Xlib flush or round trip
// made outside its X callback reads every event that has arrived into Xlib's own queue (a
// paint does so when it frees its image), and the connection then has nothing more to read:
// such an event, a close request among them, would wait for the next one to arrive, a mouse
// move say. So before each wait, the events already read are handled.
void dispatchEventsXlibHasRead()
{
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return;

    auto* x11 = juce::X11Symbols::getInstance();
    int queued = 0;

    {
        const juce::XWindowSystemUtilities::ScopedXLock lock;
        queued = x11->xEventsQueued (display, QueuedAlready);
    }

    // The framework's own X callback takes every event queued, as when the connection wakes it.
    if (queued > 0)
    {
        const auto connection = x11->xConnectionNumber (display);
        juce::LinuxEventLoopInternal::invokeEventLoopCallbackForFd (connection);
    }
}

void runDispatchLoop()
{
    auto* messageManager = juce::MessageManager::getInstance();

    while (! messageManager->hasStopMessageBeenSent())
    {
        JUCE_TRY
        {
            dispatchNextEvent();
        }
        JUCE_CATCH_EXCEPTION
    }

    // The rest, up to the quit message itself, the framework's loop runs as it always does.
    messageManager->runDispatchLoop();
}
} // namespace

void dispatchNextEvent()
{
    dispatchEventsXlibHasRead();
    juce::dispatchNextMessageOnSystemQueue (false);
}

int runApplication (int argc, char* argv[])
{
    juce::juce_argc = argc;
    juce::juce_argv = const_cast<const char**> (argv);

    const juce::ScopedJuceInitialiser_GUI libraryInitialiser;
    const std::unique_ptr<juce::JUCEApplicationBase> app (
        juce::JUCEApplicationBase::createInstance());

    if (! app->initialiseApp())
        return app->shutdownApp();

    runDispatchLoop();
    return app->shutdownApp();
}

#else

int runApplication (int argc, char* argv[])
{
    return juce::JUCEApplicationBase::main (argc, const_cast<const char**> (argv));
}

#endif
