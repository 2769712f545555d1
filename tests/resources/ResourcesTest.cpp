// What the program carries is what the generators make when run again (a rebuild changes
// nothing), the image the process tests flash is the embedded one, and the fonts are the
// installed Roboto files. Against the built generators, each run as a process of its own,
// and the installed font files.

#include "BinaryData.h"
#include "ChildRun.h"
#include "SimulatorResources.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <cstring>

TEST (Resources, EmbeddedFilesAreWhatTheGeneratorsMake)
{
    const juce::TemporaryFile current (".bin");
    const juce::TemporaryFile older (".bin");
    const juce::TemporaryFile picture (".png");
    const juce::File fonts (TARVO_ROBOTO_DIR);
    const auto path = [] (const juce::File& file)
    {
        return file.getFullPathName().toStdString();
    };

    // command: the generator that makes the file, none for a file carried as installed.
    struct Embedded
    {
        std::vector<std::string> command;
        juce::File file;
        const unsigned char* data;
        int size;
    };

    const Embedded embedded[] = {
        { { TARVO_MAKE_FIRMWARE_IMAGE, "current", path (current.getFile()) },
          current.getFile(),
          BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2Size },
        { { TARVO_MAKE_FIRMWARE_IMAGE, "older", path (older.getFile()) },
          older.getFile(),
          simresources::olderFirmwareImage, simresources::olderFirmwareImageSize },
        { { TARVO_MAKE_AMP_PICTURE, path (picture.getFile()),
            path (fonts.getChildFile ("Roboto-Bold.ttf")) },
          picture.getFile(),
          BinaryData::temp_binary_data_3, BinaryData::temp_binary_data_3Size },
        { {}, juce::File (TARVO_FIRMWARE_IMAGE_FILE),
          BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2Size },
        { {}, fonts.getChildFile ("Roboto-Bold.ttf"),
          BinaryData::temp_binary_data_4, BinaryData::temp_binary_data_4Size },
        { {}, fonts.getChildFile ("Roboto-Medium.ttf"),
          BinaryData::temp_binary_data_5, BinaryData::temp_binary_data_5Size },
        { {}, fonts.getChildFile ("Roboto-Regular.ttf"),
          BinaryData::temp_binary_data_6, BinaryData::temp_binary_data_6Size },
    };

    for (const auto& e : embedded)
    {
        std::string command;

        for (const auto& word : e.command)
            command += word + " ";

        SCOPED_TRACE (command + e.file.getFileName().toStdString());

        if (! e.command.empty())
        {
            // The bound is generous: it only guards against a hang.
            const auto run = testing_support::runChild (e.command, {}, 120000);
            ASSERT_EQ ("exit code 0", run.ending) << run.output;
        }

        juce::MemoryBlock bytes;
        ASSERT_TRUE (e.file.loadFileAsData (bytes));
        EXPECT_TRUE (bytes == juce::MemoryBlock (e.data, (size_t) e.size)) << "the bytes differ";
    }

    // The carried firmware is newer than the emulated amplifier's, so the window offers it.
    const auto* carriedVersion = BinaryData::temp_binary_data_2 + 0x408;
    const auto* amplifierVersion = simresources::olderFirmwareImage + 0x408;
    EXPECT_GT (std::memcmp (carriedVersion, amplifierVersion, 4), 0);
}
