#include "BinaryData.h"
#include "SimulatorResources.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <cstring>

// The generators must make the same bytes on every run: a rebuild must not change what
// the program carries.
namespace
{
juce::MemoryBlock runTool (juce::StringArray arguments, const juce::File& output)
{
    juce::ChildProcess process;

    if (! process.start (arguments, 0))
    {
        ADD_FAILURE() << "cannot start " << arguments[0];
        return {};
    }

    // Generous: only guards against a hang.
    if (! process.waitForProcessToFinish (120000))
    {
        process.kill();
        ADD_FAILURE() << arguments[0] << " did not finish";
        return {};
    }

    EXPECT_EQ (process.getExitCode(), 0u);
    juce::MemoryBlock data;
    EXPECT_TRUE (output.loadFileAsData (data));
    return data;
}

void expectSameBytes (const juce::MemoryBlock& made, const unsigned char* embedded, int size)
{
    ASSERT_EQ (made.getSize(), size_t (size));
    EXPECT_EQ (std::memcmp (made.getData(), embedded, made.getSize()), 0);
}
} // namespace

TEST (ResourceGenerators, FirmwareImagesComeOutTheSameAgain)
{
    juce::TemporaryFile current (".bin"), older (".bin");

    expectSameBytes (runTool ({ TARVO_MAKE_FIRMWARE_IMAGE, "current", current.getFile().getFullPathName() },
                              current.getFile()),
                     BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2Size);
    expectSameBytes (runTool ({ TARVO_MAKE_FIRMWARE_IMAGE, "older", older.getFile().getFullPathName() },
                              older.getFile()),
                     simresources::olderFirmwareImage, simresources::olderFirmwareImageSize);
}

TEST (ResourceGenerators, FirmwareToolRejectsAnUnknownImage)
{
    juce::TemporaryFile out (".bin");
    juce::ChildProcess process;
    ASSERT_TRUE (process.start (juce::StringArray { TARVO_MAKE_FIRMWARE_IMAGE, "newest",
                                                    out.getFile().getFullPathName() }, 0));
    ASSERT_TRUE (process.waitForProcessToFinish (120000));
    EXPECT_NE (process.getExitCode(), 0u);
    EXPECT_FALSE (out.getFile().existsAsFile());
}

TEST (ResourceGenerators, PictureComesOutTheSameAgain)
{
    juce::TemporaryFile picture (".png");

    expectSameBytes (runTool ({ TARVO_MAKE_AMP_PICTURE, picture.getFile().getFullPathName(), TARVO_ROBOTO_BOLD_FILE },
                              picture.getFile()),
                     BinaryData::temp_binary_data_3, BinaryData::temp_binary_data_3Size);
}
