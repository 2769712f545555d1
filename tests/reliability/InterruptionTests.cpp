#include "SuiteRunner.h"

// An update cut off at every message: the amplifier gone, or its reply lost. Each run
// must end in time with the line and status that fit the moment, and a clean update on
// the same amplifier afterwards must succeed.

TEST (InterruptionSweep, SmallImageAmplifierVanishesAtEveryMessage)
{
    reliability::runSuite ("sweep-small-vanish", "Interruption sweep: amplifier vanishes at message k (small image)");
}

TEST (InterruptionSweep, SmallImageReplyLostAtEveryMessage)
{
    reliability::runSuite ("sweep-small-drop", "Interruption sweep: reply to message k lost (small image)");
}

TEST (InterruptionSweep, FullImageSampledMessages)
{
    reliability::runSuite ("sweep-full", "Interruption sweep: sampled k over the full image");
}

TEST (FaultMatrix, CommandLineToolEveryKnobAtEveryPhase)
{
    reliability::runSuite ("matrix-tool", "Fault matrix: command-line update");
}
