#pragma once

/** The process's start-up: the framework's own, except that on Linux the window's message
    loop also handles the X events that Xlib has already read (see ApplicationMain.cpp).
    Returns the exit status. */
int runApplication (int argc, char* argv[]);

/** One turn of that loop, on Linux: handles the X events already read, then dispatches what
    is ready or blocks until something is. */
void dispatchNextEvent();
