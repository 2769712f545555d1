#include "BinaryData.h"
#include "SimulatorResources.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <cstring>

// What the program carries is what the generators make when run again (a rebuild changes
// nothing), the image the process tests flash is the embedded one, and the fonts are the
// installed Roboto files.
TEST (Resources, EmbeddedFilesAreWhatTheGeneratorsMake)
{
    const juce::TemporaryFile current (".bin"), older (".bin"), picture (".png");
    const juce::File fonts (TARVO_ROBOTO_DIR);
    struct Embedded { juce::StringArray command; juce::File file; const unsigned char* data; int size; };
    const Embedded embedded[] = {
        { { TARVO_MAKE_FIRMWARE_IMAGE, "current", current.getFile().getFullPathName() }, current.getFile(),
          BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2Size },
        { { TARVO_MAKE_FIRMWARE_IMAGE, "older", older.getFile().getFullPathName() }, older.getFile(),
          simresources::olderFirmwareImage, simresources::olderFirmwareImageSize },
        { { TARVO_MAKE_AMP_PICTURE, picture.getFile().getFullPathName(), fonts.getChildFile ("Roboto-Bold.ttf").getFullPathName() },
          picture.getFile(), BinaryData::temp_binary_data_3, BinaryData::temp_binary_data_3Size },
        { {}, juce::File (TARVO_FIRMWARE_IMAGE_FILE), BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2Size },
        { {}, fonts.getChildFile ("Roboto-Bold.ttf"), BinaryData::temp_binary_data_4, BinaryData::temp_binary_data_4Size },
        { {}, fonts.getChildFile ("Roboto-Medium.ttf"), BinaryData::temp_binary_data_5, BinaryData::temp_binary_data_5Size },
        { {}, fonts.getChildFile ("Roboto-Regular.ttf"), BinaryData::temp_binary_data_6, BinaryData::temp_binary_data_6Size },
    };

    for (const auto& e : embedded)
    {
        SCOPED_TRACE (e.command.joinIntoString (" ") + " " + e.file.getFileName());
        juce::ChildProcess generator;

        // The bound is generous: it only guards against a hang.
        ASSERT_TRUE (e.command.isEmpty() || (generator.start (e.command, 0) && generator.waitForProcessToFinish (120000)
                                             && generator.getExitCode() == 0));
        juce::MemoryBlock bytes;
        ASSERT_TRUE (e.file.loadFileAsData (bytes));
        EXPECT_TRUE (bytes == juce::MemoryBlock (e.data, (size_t) e.size));
    }

    // The carried firmware is newer than the emulated amplifier's, so the window offers it.
    EXPECT_GT (std::memcmp (BinaryData::temp_binary_data_2 + 0x408, simresources::olderFirmwareImage + 0x408, 4), 0);
}
