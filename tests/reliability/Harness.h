#pragma once

#include "ArmingBackend.h"

#include "EmulatedAmplifier.h"

#include <juce_core/juce_core.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace reliability
{

using Bytes = std::vector<uint8_t>;

/** How fast the emulated amplifier restarts and how long the host waits before it opens
    the ports again: the real 5 s are shortened, with a margin for a loaded machine. */
constexpr int restartTimeMs = 100;
constexpr std::chrono::milliseconds fastReopenDelay { 500 };

/** The process's simulator: installed as the port backend on first use. */
ArmingBackend& backend();
sim::VirtualMidiService& service();

/** An image of size bytes whose firmware description (at 0x400, when it fits) carries
    the version 1.2.3.versionLast. */
Bytes makeImage (size_t size, uint8_t versionLast);

/** The firmware image that the window writes. */
Bytes embeddedImage();

/** An amplifier configuration as found in the field: running normally (status 1) with an
    older small image in its flash, restarting fast. */
sim::EmulatedAmplifier::Config fieldAmplifier();

/** A temporary file holding an image; deleted with the object. */
class ImageFile
{
public:
    explicit ImageFile (const Bytes& image);
    ~ImageFile();

    juce::String getPath() const { return file.getFullPathName(); }

private:
    juce::File file;
};

/** Standard output (stream and stdio alike) redirected into a file while it lives; what
    was written is read back by finish() and echoed to the real standard output. */
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();

    std::string finish();

private:
    int savedFd = -1;
    juce::File file;
    bool finished = false;
};

std::vector<std::string> linesOf (const std::string& text);

/** One command-line update, in-process. */
struct ToolRun
{
    int status = -1;
    std::vector<std::string> lines;
    double seconds = 0.0;

    std::string lastLine() const { return lines.empty() ? std::string() : lines.back(); }
    bool hasLine (const std::string& line) const;
};

ToolRun runTool (const juce::String& imagePath);

} // namespace reliability
