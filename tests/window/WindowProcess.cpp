// Runs the simulator build of the updater as a person would: the window opens, the poll connects
// the emulated amplifier, "Check to update" is clicked and the update runs to its toast; a
// screenshot of each moment goes to the screenshot folder. Then the window is asked to close
// the way a window manager's close button does (WM_PROTOCOLS carrying WM_DELETE_WINDOW: a bare
// X server has no window manager to send it), and the program must end with status 0.
//
// JUCE only looks the close protocol's atoms up, never creates them, and a bare X server keeps
// them only while a client that created them stays connected. So they are created on this
// program's own connection, which stays open until the end, before the program starts.
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
    if (program > 0) kill (program, SIGKILL);
    return 1;
}

// Tries every 50 ms; the bound is a guard against hangs only.
static bool waitFor (const std::function<bool()>& done, int seconds = 60)
{
    for (int i = 0; i < seconds * 20; ++i, usleep (50000))
        if (done())
            return true;
    return false;
}

// With no window manager the content starts at the window's origin. Windows of other tests may
// lie over ours, so it is raised before every look.
static unsigned long pixel (int x, int y)
{
    XRaiseWindow (display, window);
    const std::unique_ptr<XImage, int (*) (XImage*)> image (XGetImage (display, window, x, y, 1, 1, AllPlanes, ZPixmap), [] (XImage* i) { return XDestroyImage (i); });
    return image != nullptr ? XGetPixel (image.get(), 0, 0) & 0xffffff : 0;
}

int main (int, char** argv)
{
    // An X server that resets when its last client leaves refuses connections meanwhile, which
    // with other tests coming and going is a moment: the connection is tried again. Once it is
    // open the server cannot reset, so the program's own connection cannot meet a reset.
    if (std::getenv ("DISPLAY") == nullptr || ! waitFor ([] { return (display = XOpenDisplay (nullptr)) != nullptr; }, 5))
    {
        std::puts ("no X display could be opened: skipped (scripts/with-display.sh provides one)");
        return 77;
    }
    XSetErrorHandler ([] (Display*, XErrorEvent*) { return 0; });   // a window that goes meanwhile is no error
    XClientMessageEvent close { ClientMessage, 0, False, display, 0, XInternAtom (display, "WM_PROTOCOLS", False), 32, {} };
    close.data.l[0] = (long) XInternAtom (display, "WM_DELETE_WINDOW", False);
    XSync (display, False);

    if ((program = fork()) == 0)
        _exit (execl (argv[1], argv[1], nullptr));
    auto* found = popen (("xdotool search --sync --onlyvisible --pid " + std::to_string (program)).c_str(), "r");
    XWindowAttributes a {};
    if (std::fscanf (found, "%lu", &window) != 1 || pclose (found) != 0
        || ! waitFor ([&] { return XGetWindowAttributes (display, window, &a) && a.width == 375 && a.height == 667; }))
        return fail ("no window of 375 x 667 appeared");

    // Each moment: a pixel that shows it, then its screenshot. (75, 298) lies in the connect
    // button, (311, 244) in "Eject", (311, 384) in "Check to update", (52, 528) in the toast.
    mkdir (argv[2], 0755);
    const struct { std::string name; int x, y; unsigned long colour; } moments[] = {
        { "initial", 75, 298, 0xe4af09 }, { "connected", 311, 244, 0xff431d }, { "updating", 311, 384, 0x866b18 }, { "updated", 52, 528, 0x404040 } };
    for (const auto& m : moments)
    {
        if (! waitFor ([&] { return pixel (m.x, m.y) == m.colour; }))
            return fail ("no " + m.name + " window: pixel " + std::to_string (pixel (m.x, m.y)));
        if (std::system (("import -window " + std::to_string (window) + " " + argv[2] + "/window-" + m.name + ".png").c_str()) != 0
            || (m.name == "connected" && std::system (("xdotool mousemove --window " + std::to_string (window) + " 311 384 click 1").c_str()) != 0))
            return fail ("screenshot or click at the " + m.name + " window");
    }

    close.window = window;
    XSendEvent (display, window, False, NoEventMask, reinterpret_cast<XEvent*> (&close));
    XSync (display, False);
    int status = -1;
    if (! waitFor ([&] { return waitpid (program, &status, WNOHANG) == program; }, 30))
        return fail ("the program did not end after the close request");
    program = 0;
    if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
        return fail ("the program ended with status " + std::to_string (status));
    std::printf ("screenshots in %s\n", argv[2]);
    return 0;
}
