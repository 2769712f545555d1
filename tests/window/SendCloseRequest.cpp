// Asks a top-level window to close the way a window manager's close button does: a
// WM_PROTOCOLS client message carrying WM_DELETE_WINDOW. Under a bare X server there is no
// window manager to send it, and `xdotool windowclose` destroys the window instead, which
// the program never gets to handle.
//
// A bare X server also has no WM_PROTOCOLS atom until some client creates it, and JUCE only
// looks atoms up (it never creates them): a program started before the atom exists never
// announces the protocol and ignores the message. So the atoms must exist before the
// program starts, and they only last while some client stays connected (the server resets
// when its last client leaves).
//
// Usage:
//   tarvo_send_close_request --hold-atoms   creates the atoms, prints "ready", then stays
//                                           connected until it is terminated
//   tarvo_send_close_request <window id>    sends the close request (decimal or 0x hex id)
// Exit status 0 on success, 1 otherwise.

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{
int holdAtoms (Display* display)
{
    XInternAtom (display, "WM_PROTOCOLS", False);
    XInternAtom (display, "WM_DELETE_WINDOW", False);
    XSync (display, False);

    std::puts ("ready");
    std::fflush (stdout);

    for (;;)
        pause();
}

int sendCloseRequest (Display* display, const char* windowId)
{
    char* end = nullptr;
    const auto window = (Window) std::strtoul (windowId, &end, 0);

    if (end == windowId || *end != '\0' || window == 0)
    {
        std::fprintf (stderr, "not a window id: %s\n", windowId);
        return 1;
    }

    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom (display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long) XInternAtom (display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;

    const auto sent = XSendEvent (display, window, False, NoEventMask, &event) != 0;
    XSync (display, False);
    return sent ? 0 : 1;
}
} // namespace

int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf (stderr, "usage: %s --hold-atoms | <window id>\n", argv[0]);
        return 1;
    }

    auto* display = XOpenDisplay (nullptr);

    if (display == nullptr)
    {
        std::fprintf (stderr, "cannot open the display\n");
        return 1;
    }

    const auto result = std::strcmp (argv[1], "--hold-atoms") == 0 ? holdAtoms (display)
                                                                    : sendCloseRequest (display, argv[1]);
    XCloseDisplay (display);
    return result;
}
