#include "Harness.h"

#include "BinaryData.h"
#include "FirmwareUpgradeTool.h"
#include "Reconnect.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace reliability
{

ArmingBackend& backend()
{
    // Owned by the port layer once installed; it lives to the end of the process.
    static ArmingBackend* installed = []
    {
        auto owned = std::make_unique<ArmingBackend> (std::make_unique<sim::VirtualMidiService>());
        auto* raw = owned.get();
        midi::installBackend (std::move (owned));
        return raw;
    }();

    return *installed;
}

sim::VirtualMidiService& service()
{
    return backend().getService();
}

Bytes makeImage (size_t size, uint8_t versionLast)
{
    Bytes image (size);

    for (size_t i = 0; i < size; ++i)
        image[i] = (uint8_t) ((i * 131 + versionLast) & 0xFF);

    if (size >= 0x454)
    {
        std::fill (image.begin() + 0x400, image.begin() + 0x454, 0);
        const uint8_t record[12] = { 'E', 'V', 'T', 0, 0, 0, 0, 0, 1, 2, 3, versionLast };
        std::copy (std::begin (record), std::end (record), image.begin() + 0x400);
    }

    return image;
}

Bytes embeddedImage()
{
    const auto* data = reinterpret_cast<const uint8_t*> (BinaryData::temp_binary_data_2);
    return Bytes (data, data + BinaryData::temp_binary_data_2Size);
}

sim::EmulatedAmplifier::Config fieldAmplifier()
{
    sim::EmulatedAmplifier::Config config;
    config.restartTimeMs = restartTimeMs;
    config.firmwareStatus = 1;
    config.bootloaderMode = false;
    config.flash = makeImage (0x600, 30);
    return config;
}

//==============================================================================
ImageFile::ImageFile (const Bytes& image)
    : file (juce::File::createTempFile (".bin"))
{
    file.replaceWithData (image.data(), image.size());
}

ImageFile::~ImageFile()
{
    file.deleteFile();
}

//==============================================================================
StdoutCapture::StdoutCapture()
    : file (juce::File::createTempFile (".out"))
{
    std::cout.flush();
    std::fflush (stdout);
    savedFd = ::dup (STDOUT_FILENO);
    const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    if (fd >= 0)
    {
        ::dup2 (fd, STDOUT_FILENO);
        ::close (fd);
    }
}

StdoutCapture::~StdoutCapture()
{
    finish();
    file.deleteFile();
}

std::string StdoutCapture::finish()
{
    if (finished)
        return {};

    finished = true;
    std::cout.flush();
    std::fflush (stdout);

    if (savedFd >= 0)
    {
        ::dup2 (savedFd, STDOUT_FILENO);
        ::close (savedFd);
        savedFd = -1;
    }

    // Read as bytes: the firmware printout holds a NUL character.
    juce::MemoryBlock data;
    file.loadFileAsData (data);
    const std::string text (static_cast<const char*> (data.getData()), data.getSize());
    std::cout << text << std::flush;
    return text;
}

std::vector<std::string> linesOf (const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in (text);

    for (std::string line; std::getline (in, line);)
        lines.push_back (line);

    return lines;
}

bool ToolRun::hasLine (const std::string& line) const
{
    return std::find (lines.begin(), lines.end(), line) != lines.end();
}

ToolRun runTool (const juce::String& imagePath)
{
    backend();
    reopenDelay = fastReopenDelay;

    ToolRun run;
    const auto start = std::chrono::steady_clock::now();

    {
        StdoutCapture capture;
        run.status = console::FirmwareUpgradeTool (imagePath).execute();
        run.lines = linesOf (capture.finish());
    }

    run.seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
    return run;
}

} // namespace reliability
