// Guards the simulator build of the updater run as a person would, as a process of its own
// under the test run's X display: the window opens, the poll connects the emulated amplifier,
// "Check to update" is clicked and the update runs to its toast; a screenshot of each moment
// goes to the screenshot folder. Then the window is asked to close the way a window manager's
// close button does (WM_PROTOCOLS carrying WM_DELETE_WINDOW: a bare X server has no window
// manager to send it), and the program must end with status 0.
//
// JUCE only looks the close protocol's atoms up, never creates them, and a bare X server keeps
// them only while a client that created them stays connected. So they are created on this
// program's own connection, which stays open until the end, before the program starts.
//
// One thread: the program is forked, xdotool and import run through popen and system.
//
// Usage: tarvo_window_process <program> <screenshot folder>. Exit 77 (skipped) with no display.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static Display* display = nullptr;
static Window window = 0;
static pid_t program = 0;

static int fail (const std::string& why)
{
    std::printf ("FAILED: %s\n", why.c_str());

    if (program > 0)
        kill (program, SIGKILL);

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

static int destroyImage (XImage* image)
{
    return XDestroyImage (image);
}

// With no window manager the content starts at the window's origin. Windows of other tests may
// lie over ours, so it is raised before every look.
static unsigned long pixel (int x, int y)
{
    XRaiseWindow (display, window);
    auto* taken = XGetImage (display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    const std::unique_ptr<XImage, int (*) (XImage*)> image (taken, destroyImage);

    if (image == nullptr)
        return 0;

    return XGetPixel (image.get(), 0, 0) & 0xffffff;
}

int main (int, char** argv)
{
    // An X server that resets when its last client leaves refuses connections meanwhile, which
    // with other tests coming and going is a moment: the connection is tried again. Once it is
    // open the server cannot reset, so the program's own connection cannot meet a reset.
    const auto opened = []
    {
        display = XOpenDisplay (nullptr);
        return display != nullptr;
    };

    if (std::getenv ("DISPLAY") == nullptr || ! waitFor (opened, 5))
    {
        std::puts ("no X display could be opened: skipped (scripts/with-display.sh provides one)");
        return 77;
    }

    // A window that goes meanwhile is no error.
    XSetErrorHandler ([] (Display*, XErrorEvent*) { return 0; });

    XClientMessageEvent close {};
    close.type = ClientMessage;
    close.send_event = False;
    close.display = display;
    close.message_type = XInternAtom (display, "WM_PROTOCOLS", False);
    close.format = 32;
    close.data.l[0] = (long) XInternAtom (display, "WM_DELETE_WINDOW", False);
    XSync (display, False);

    program = fork();

    if (program == 0)
        _exit (execl (argv[1], argv[1], nullptr));

    const auto search = "xdotool search --sync --onlyvisible --pid " + std::to_string (program);
    auto* found = popen (search.c_str(), "r");

    if (std::fscanf (found, "%lu", &window) != 1)
        return fail ("no window of 375 x 667 appeared: the search found none");

    if (pclose (found) != 0)
        return fail ("no window of 375 x 667 appeared: the search failed");

    XWindowAttributes a {};
    const auto mainSize = [&]
    {
        if (! XGetWindowAttributes (display, window, &a))
            return false;

        return a.width == 375 && a.height == 667;
    };

    if (! waitFor (mainSize))
    {
        const auto seen = std::to_string (a.width) + " x " + std::to_string (a.height);
        return fail ("no window of 375 x 667 appeared: the last size seen was " + seen);
    }

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

    close.window = window;
    XSendEvent (display, window, False, NoEventMask, reinterpret_cast<XEvent*> (&close));
    XSync (display, False);

    int status = -1;
    const auto ended = [&]
    {
        return waitpid (program, &status, WNOHANG) == program;
    };

    if (! waitFor (ended, 30))
        return fail ("the program did not end after the close request");

    program = 0;

    if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        return fail ("the program ended with status " + std::to_string (status));

    std::printf ("screenshots in %s\n", argv[2]);
    return 0;
}
