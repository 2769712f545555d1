#include "SuiteRunner.h"

// The window's connect, read and update flow with each fault knob turned on at each
// phase: the window must settle in the state the row names, stay usable, and update the
// amplifier cleanly once it is plugged back in.

TEST (FaultMatrix, WindowEveryKnobAtEveryPhase)
{
    reliability::runSuite ("matrix-window", "Fault matrix: window");
}

TEST (WindowClicks, EachButtonClickedTwiceActsOnce)
{
    reliability::runSuite ("window-clicks", "Window buttons clicked twice in a row");
}
