// Guards the command-line tool (console::FirmwareUpgradeTool) run in the test's own process
// against emulated amplifiers on the simulator's virtual MIDI service: one row an outcome, with
// the lines it prints in order, its exit status, what each amplifier received and whether the
// device is closed afterwards; and the program started as a process of its own whose output's
// reader goes away. RunAsUser.cmake runs both builds as processes of their own.
#include "CorvelFwUpgradeLauncherApplication.h"
#include "EmulatedAmplifier.h"
#include "FirmwareUpgradeTool.h"
#include "JwDeviceManager.h"
#include "Reconnect.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
using Bytes = std::vector<uint8_t>;
using Amp = sim::EmulatedAmplifier;

/** A small image with a firmware description at 0x400: a few blocks keep the runs short. */
Bytes makeImage (size_t size, uint8_t versionLast)
{
    Bytes image (size);

    for (size_t i = 0; i < size; ++i)
        image[i] = i >= 0x400 && i < 0x454 ? 0 : (uint8_t) ((i * 131 + 7) & 0xFF);

    const uint8_t record[12] = { 'E', 'V', 'T', 0, 0, 0, 0, 0, 1, 2, 3, versionLast };
    std::copy (std::begin (record), std::end (record), image.begin() + 0x400);
    return image;
}

enum class Path { image, missing, empty, directory, fifo, none };

struct Outcome
{
    const char* name;
    int amplifiers;                       // the second one must never be touched
    std::function<void (Amp::Config&)> configure;                 // of both amplifiers
    std::function<void (sim::VirtualMidiService&, Amp&)> fault;   // on the first one
    Path path;                            // the file given to the tool
    int status;                           // its exit status
    std::vector<std::string> lines;       // printed in this order, the last one last
    bool wholeOutput;                     // and nothing else around them
    size_t blocksSent;                    // "WriteFlash" messages the amplifier got
    bool flashed;                         // holds the image and was told it is good
    bool untouched;                       // got no firmware message: status and flash as they were
};

// A run with a 1224-byte image: five blocks, each progress line what was written so far.
const std::vector<std::string> wholeUpdate {
    "Found MIDI IN device:Midi Through Port-0",
    "Found MIDI IN device:Tarvo 40",
    "Start this MIDI input device",
    "Found MIDI OUT device:Midi Through Port-0",
    "Found MIDI OUT device:Tarvo 40",
    "This MIDI Out device is available",
    "1 device(s) found",
    "Get device SN:'TV40-2026-000731'",
    "Get FW SID: 0",
    "Get FW Status: 1",
    "Set FW Status as 0",
    "Will sleep for 0 ms",
    "Sending GetFwInfo command",
    "Sent GetFwInfo command",
    "Got FW Info:",
    std::string ("Device Name: EVT") + '\0',
    "Bootloader Version: 0.0.0.0",
    "FW Version: 1.2.3.30",
    "FW Length: 0",
    "Checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Sector len: 0 & checksum: 0",
    "Updating: 20%",
    "Updating: 41%",
    "Updating: 62%",
    "Updating: 83%",
    "Updating: 100%",
    "Firmware upgraded!",
};

const std::string failed = "Firmware upgrade failed! Error code is ";

// The tool's own reconnect wait, before the rows shorten it for amplifiers that restart fast.
const auto ownReopenDelay = reopenDelay;

// A file that cannot be flashed is refused before the amplifier hears of the update.
const std::vector<std::string> refusedFile = []
{
    std::vector<std::string> lines (wholeUpdate.begin(), wholeUpdate.begin() + 8);
    lines.push_back (failed + "15");
    return lines;
}();

const Outcome outcomes[] = {
    { "NoDevice", 0, {}, {}, Path::image, 1, { "No device found" }, false, 0, false, false },
    { "WholeUpdate", 1, {}, {}, Path::image, 0, wholeUpdate, true, 5, true, false },
    // The probe and its check open the two ports twice; the tool's own open then fails.
    { "CannotConnect", 1, {}, [] (auto& s, Amp& a) { s.refuseOpensAfter (a.getDeviceId(), 4); },
      Path::image, 1,
      { "1 device(s) found", "Cannot connect to device!" }, false, 0, false, false },
    { "OnlyTheFirstOfTwo", 2, {}, {}, Path::image, 0,
      { "2 device(s) found", "Firmware upgraded!" }, false, 5, true, false },
    { "MissingFile", 1, {}, {}, Path::missing, 1, refusedFile, true, 0, false, true },
    { "EmptyFile", 1, {}, {}, Path::empty, 1, refusedFile, true, 0, false, true },
    { "Directory", 1, {}, {}, Path::directory, 1, refusedFile, true, 0, false, true },
    { "FifoWithoutWriter", 1, {}, {}, Path::fifo, 1, refusedFile, true, 0, false, true },
    { "NoPath", 1, {}, {}, Path::none, 1, refusedFile, true, 0, false, true },
    { "NoReconnectAfterReset", 1, {}, [] (auto&, Amp& a) { a.setNeverComeBackAfterRestart (true); },
      Path::image, 1,
      { "Set FW Status as 0", failed + "13" }, false, 0, false, false },
    { "RefusedBlock", 1, {}, [] (auto&, Amp& a) { a.setRefuseAllBlocks (true); }, Path::image, 1,
      { "Got FW Info:", failed + "16" }, false, 2, false, false },
    // Gone for good on the final status write (message 10): the image is in, which is success.
    { "NoReconnectAtTheEnd", 1, {}, [] (auto&, Amp& a) { a.vanishOnMessage (10); }, Path::image, 0,
      { "Updating: 100%", "Firmware upgraded!" }, false, 5, true, false },
    // As slow to restart as a real amplifier: the tool's own wait lets it come back both times.
    { "SlowRestartWithTheToolsOwnWait", 1,
      [] (Amp::Config& c)
      {
          c.restartTimeMs = 3000;
          reopenDelay = ownReopenDelay;
      },
      {}, Path::image, 0,
      { "Set FW Status as 0", "Got FW Info:", "Updating: 100%", "Firmware upgraded!" },
      false, 5, true, false },
    // Left in its bootloader by an interrupted update: the serial query times out, no reset.
    { "SilentBootloader", 1,
      [] (Amp::Config& c)
      {
          c.bootloaderMode = true;
          c.firmwareStatus = 0;
      },
      {}, Path::image, 0,
      { "Get device SN:''", "Get FW Status: 0", "Will sleep for 0 ms", "Firmware upgraded!" },
      false, 5, true, false },
};

void PrintTo (const Outcome& o, std::ostream* os)
{
    *os << o.name;
}

/** Messages received whose name (and first byte after it) starts with prefix. */
size_t countNamed (const std::vector<Bytes>& messages, const std::string& prefix)
{
    return (size_t) std::count_if (messages.begin(), messages.end(), [&prefix] (const Bytes& m)
    {
        return m.size() > prefix.size() && std::equal (prefix.begin(), prefix.end(), m.begin() + 1);
    });
}

class CommandLineTool : public testing::TestWithParam<Outcome> {};

TEST_P (CommandLineTool, PrintsEachStepAndEndsWithItsStatus)
{
    const auto& row = GetParam();
    auto& service = sim::installSimulator();
    const juce::TemporaryFile imageFile (".bin"), emptyFile (".bin");
    const auto image = makeImage (4 * 256 + 200, 37);

    // The emulated amplifier restarts in 200 ms: no need to wait the real 5 s.
    reopenDelay = std::chrono::milliseconds (600);
    Amp::Config config;
    config.restartTimeMs = 200;
    config.flash = makeImage (0x600, 30);

    if (row.configure)
        row.configure (config);

    auto second = config;
    second.portName = "Tarvo 40 #2";
    second.deviceId[7] = 0x32;
    std::vector<std::unique_ptr<Amp>> amps;

    for (auto* c : { &config, &second })
        if ((int) amps.size() < row.amplifiers)
            amps.push_back (std::make_unique<Amp> (service, *c));

    if (row.fault)
        row.fault (service, *amps.front());

    ASSERT_TRUE (imageFile.getFile().replaceWithData (image.data(), image.size()));
    ASSERT_TRUE (emptyFile.getFile().create());
    const auto path = imageFile.getFile().getFullPathName();
    const juce::TemporaryFile fifo;
    ASSERT_EQ (mkfifo (fifo.getFile().getFullPathName().toRawUTF8(), 0600), 0);
    const auto directory = juce::File::getSpecialLocation (juce::File::tempDirectory).getFullPathName();
    const juce::String paths[] = { path, path + ".missing", emptyFile.getFile().getFullPathName(),
                                   directory, fifo.getFile().getFullPathName(), {} };

    testing::internal::CaptureStdout();
    EXPECT_EQ (console::FirmwareUpgradeTool (paths[(int) row.path]).execute(), row.status);
    const auto printed = "\n" + testing::internal::GetCapturedStdout();
    size_t end = 0;

    for (const auto& line : row.lines)
    {
        const auto at = printed.find ("\n" + line + "\n", end);
        ASSERT_NE (at, std::string::npos) << "missing or out of order: " << line << printed;

        if (row.wholeOutput)
        {
            EXPECT_EQ (at, end) << "not next: " << line << printed;
        }

        end = at + line.size() + 1;
    }

    EXPECT_EQ (end + 1, printed.size()) << "not the last line: " << row.lines.back() << printed;

    // Whatever the outcome the device is closed and dropped.
    EXPECT_EQ (jw::DeviceManager::instance()->currentDevice(), nullptr);
    EXPECT_EQ (service.getNumOpenInputs(), 0);
    EXPECT_EQ (service.getNumOpenOutputs(), 0);

    for (size_t i = 0; i < amps.size(); ++i)
    {
        SCOPED_TRACE (i == 0 ? "first amplifier" : "second amplifier");
        const auto received = amps[i]->getReceivedMessages();
        const auto good = i == 0 && row.flashed;
        EXPECT_EQ (countNamed (received, "WriteFlash"), i == 0 ? row.blocksSent : 0);
        EXPECT_EQ (countNamed (received, "SetFwStatus\x01"), good ? 1u : 0u);
        EXPECT_EQ (amps[i]->flashEquals (image), good);

        if (row.untouched)
        {
            EXPECT_EQ (countNamed (received, "GetFwStatus"), 0u);
            EXPECT_EQ (countNamed (received, "SetFwStatus"), 0u);
            EXPECT_EQ (amps[i]->getFirmwareStatus(), 1);
            EXPECT_TRUE (amps[i]->flashEquals (config.flash));
        }
    }
}

INSTANTIATE_TEST_SUITE_P (Outcomes, CommandLineTool, testing::ValuesIn (outcomes),
                          [] (const testing::TestParamInfo<Outcome>& info)
                          {
                              return std::string (info.param.name);
                          });

// A reader that goes away (a pager quit, `head`) must not stop an update halfway. In a process
// of its own, the program starts on an output pipe whose reader closes it after the first
// progress line: the update runs to its end all the same, and the status tells.
TEST (CommandLineToolProcess, UpdatesToTheEndWhenTheReaderGoesAway)
{
    GTEST_FLAG_SET (death_test_style, "threadsafe");
    const juce::TemporaryFile imageFile (".bin");
    const auto image = makeImage (4 * 256 + 200, 37);
    ASSERT_TRUE (imageFile.getFile().replaceWithData (image.data(), image.size()));
    const auto path = imageFile.getFile().getFullPathName().toStdString();

    const auto updateWithTheReaderGone = [&]
    {
        reopenDelay = std::chrono::milliseconds (600);
        Amp::Config config;
        config.restartTimeMs = 200;
        config.flash = makeImage (0x600, 30);
        Amp amp (sim::installSimulator(), config);

        int output[2];
        ASSERT_EQ (0, pipe (output));
        dup2 (output[1], STDOUT_FILENO);
        close (output[1]);
        std::signal (SIGPIPE, SIG_DFL);   // as a shell starts a program

        std::thread reader ([fd = output[0]]
        {
            std::string seen;
            char buffer[256];

            for (ssize_t n; seen.find ("Updating: ") == std::string::npos
                            && (n = read (fd, buffer, sizeof (buffer))) > 0;)
                seen.append (buffer, (size_t) n);

            close (fd);
        });

        const char* const argv[] = { "TarvoFirmwareUpdaterSim", "--path", path.c_str(), nullptr };
        juce::juce_argv = argv;
        juce::juce_argc = 3;
        CorvelFwUpgradeLauncherApplication app;
        app.initialise ({});

        // The reader that saw no progress line reads to the end of the output.
        dup2 (open ("/dev/null", O_WRONLY), STDOUT_FILENO);
        reader.join();
        std::cerr << "the flash holds the image: " << (amp.flashEquals (image) ? "yes" : "no")
                  << std::endl;
        std::_Exit (app.getApplicationReturnValue());
    };

    EXPECT_EXIT (updateWithTheReaderGone(),
                 testing::ExitedWithCode (0),
                 "the flash holds the image: yes");
}
} // namespace
