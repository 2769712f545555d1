// Guards the simulator build of the updater run as a person would, as a process of its own
// on an X display of its own with a window manager (openbox), both from Debian:
//  1. The window is asked to close through the window manager (as its title bar's close button
//     or Alt+F4 does) while it connects to the emulated amplifier, when the message thread is
//     busy and painting: the program must end within seconds, not wait for the next X event.
//  2. The window opens, the poll connects the emulated amplifier, "Check to update" is clicked
//     and the update runs to its toast; a screenshot of each moment goes to the screenshot
//     folder. Then the window is closed through the window manager, and the program must end
//     with status 0.
//
// One thread: the programs are forked, xdotool, wmctrl and import run through popen and system.
//
// Usage: tarvo_window_process <program> <screenshot folder>. Exit 77 (skipped) with no display.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

static Display* display = nullptr;
static Window window = 0;
static pid_t program = 0;
static pid_t windowManager = 0;

static void endChild (pid_t& child)
{
    if (child <= 0)
        return;

    kill (child, SIGKILL);
    waitpid (child, nullptr, 0);
    child = 0;
}

static int fail (const std::string& why)
{
    std::printf ("FAILED: %s\n", why.c_str());
    endChild (program);
    endChild (windowManager);
    return 1;
}

// Tries every 50 ms; the bound is a guard against hangs only.
static bool waitFor (const std::function<bool()>& done, int seconds = 60)
{
    for (int i = 0; i < seconds * 20; ++i)
    {
        if (done())
            return true;

        usleep (50000);
    }

    return false;
}

static pid_t start (const char* path, const char* argument = nullptr)
{
    const auto child = fork();

    if (child == 0)
        _exit (execlp (path, path, argument, nullptr));

    return child;
}

static int destroyImage (XImage* image)
{
    return XDestroyImage (image);
}

// The display is this test's own: nothing lies over the window.
static unsigned long pixel (int x, int y)
{
    auto* taken = XGetImage (display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    const std::unique_ptr<XImage, int (*) (XImage*)> image (taken, destroyImage);

    if (image == nullptr)
        return 0;

    return XGetPixel (image.get(), 0, 0) & 0xffffff;
}

// A window manager that follows the standard says so on the root window.
static bool windowManagerRunning()
{
    const auto check = XInternAtom (display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty (display, DefaultRootWindow (display), check, 0, 1, False, XA_WINDOW,
                        &type, &format, &count, &after, &data);

    if (data != nullptr)
        XFree (data);

    return count == 1;
}

// Starts the program and waits for its window at the main component's size; "" or what failed.
static std::string startProgram (const char* path)
{
    program = start (path);
    const auto search = "xdotool search --sync --onlyvisible --pid " + std::to_string (program);
    auto* found = popen (search.c_str(), "r");

    if (std::fscanf (found, "%lu", &window) != 1)
        return "no window of 375 x 667 appeared: the search found none";

    if (pclose (found) != 0)
        return "no window of 375 x 667 appeared: the search failed";

    XWindowAttributes a {};
    const auto mainSize = [&]
    {
        if (! XGetWindowAttributes (display, window, &a))
            return false;

        return a.width == 375 && a.height == 667;
    };

    if (! waitFor (mainSize))
        return "no window of 375 x 667 appeared: the last size seen was "
             + std::to_string (a.width) + " x " + std::to_string (a.height);

    return {};
}

// What the window manager does for its close button: it asks the window to close.
static bool closeThroughWindowManager()
{
    const auto close = "wmctrl -i -c " + std::to_string (window);
    return std::system (close.c_str()) == 0;
}

// "" when the program ended with status 0 within the time.
static std::string programEnds (int seconds)
{
    int status = -1;
    const auto ended = [&]
    {
        return waitpid (program, &status, WNOHANG) == program;
    };

    if (! waitFor (ended, seconds))
        return "the program was still running " + std::to_string (seconds)
             + " s after the close request";

    program = 0;

    if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        return "the program ended with status " + std::to_string (status);

    return {};
}

int main (int, char** argv)
{
    const auto opened = []
    {
        display = XOpenDisplay (nullptr);
        return display != nullptr;
    };

    if (std::getenv ("DISPLAY") == nullptr || ! waitFor (opened, 5))
    {
        std::puts ("no X display could be opened: skipped (the test runs under xvfb-run)");
        return 77;
    }

    // A window that goes meanwhile is no error.
    XSetErrorHandler ([] (Display*, XErrorEvent*) { return 0; });

    windowManager = start ("openbox", "--sm-disable");

    if (! waitFor (windowManagerRunning, 30))
        return fail ("openbox did not start");

    // 1. The first poll, 2 s after the start, probes on the message thread for about a second
    // and then connects, painting: a close request asked for meanwhile must not wait for a next
    // X event, which may never come.
    const auto started = std::chrono::steady_clock::now();

    if (const auto why = startProgram (argv[1]); ! why.empty())
        return fail ("to close while connecting: " + why);

    std::this_thread::sleep_until (started + std::chrono::milliseconds (2500));

    if (! closeThroughWindowManager())
        return fail ("wmctrl could not ask the connecting window to close");

    // The quit waits for the worker that connects, about a second.
    if (const auto why = programEnds (10); ! why.empty())
        return fail ("closed while connecting: " + why);

    // 2. The whole update, a screenshot of each moment.
    if (const auto why = startProgram (argv[1]); ! why.empty())
        return fail (why);

    // Each moment: a pixel that shows it, then its screenshot. (75, 298) lies in the connect
    // button, (311, 244) in "Eject", (311, 384) in "Check to update", (52, 528) in the toast.
    mkdir (argv[2], 0755);

    struct Moment
    {
        std::string name;
        int x;
        int y;
        unsigned long colour;
    };

    const Moment moments[] = {
        { "initial", 75, 298, 0xe4af09 },
        { "connected", 311, 244, 0xff431d },
        { "updating", 311, 384, 0x866b18 },
        { "updated", 52, 528, 0x404040 },
    };

    for (const auto& m : moments)
    {
        if (! waitFor ([&] { return pixel (m.x, m.y) == m.colour; }))
            return fail ("no " + m.name + " window: pixel " + std::to_string (pixel (m.x, m.y)));

        const auto file = std::string (argv[2]) + "/window-" + m.name + ".png";
        const auto screenshot = "import -window " + std::to_string (window) + " " + file;

        if (std::system (screenshot.c_str()) != 0)
            return fail ("screenshot or click at the " + m.name + " window: the screenshot failed");

        if (m.name == "connected")
        {
            const auto click = "xdotool mousemove --window " + std::to_string (window)
                             + " 311 384 click 1";

            if (std::system (click.c_str()) != 0)
                return fail ("screenshot or click at the " + m.name + " window: the click failed");
        }
    }

    if (! closeThroughWindowManager())
        return fail ("wmctrl could not ask the updated window to close");

    if (const auto why = programEnds (30); ! why.empty())
        return fail ("closed after the update: " + why);

    endChild (windowManager);
    std::printf ("screenshots in %s\n", argv[2]);
    return 0;
}
