#include "Harness.h"
#include "Knobs.h"
#include "Rows.h"

#include "JwDeviceManager.h"

#include <sstream>

namespace reliability
{

namespace
{
#if TARVO_RELIABILITY_SANITIZED
constexpr double slowdown = 4.0;
#else
constexpr double slowdown = 1.0;
#endif

constexpr const char* serialNumber = "TV40-2026-000731";

/** What a command-line run must end with. */
struct ToolExpectation
{
    int status = 0;
    std::string lastLine;
    std::string serialLine;   // empty: the run ends before the serial query
};

ToolExpectation expectationFor (const std::string& code)
{
    ToolExpectation e;

    if (code == "none")
    {
        e.status = 1;
        e.lastLine = "No device found";
        return e;
    }

    const bool emptySerial = code.size() > 2 && code.compare (code.size() - 2, 2, "''") == 0;
    const auto outcome = emptySerial ? code.substr (0, code.size() - 2) : code;

    e.serialLine = std::string ("Get device SN:'") + (emptySerial ? "" : serialNumber) + "'";

    if (outcome == "ok")
    {
        e.status = 0;
        e.lastLine = "Firmware upgraded!";
    }
    else
    {
        e.status = 1;
        e.lastLine = "Firmware upgrade failed! Error code is " + outcome;
    }

    return e;
}

std::string serialLineOf (const ToolRun& run)
{
    for (const auto& line : run.lines)
        if (line.rfind ("Get device SN:", 0) == 0)
            return line;

    return {};
}

std::string describe (const ToolRun& run)
{
    std::ostringstream out;
    out << "status " << run.status << ", '" << run.lastLine() << "'";

    const auto serial = serialLineOf (run);

    if (! serial.empty() && serial != std::string ("Get device SN:'") + serialNumber + "'")
        out << ", " << serial;

    return out.str();
}

bool portsAllClosed()
{
    return service().getNumOpenInputs() == 0 && service().getNumOpenOutputs() == 0
        && jw::DeviceManager::instance()->currentDevice() == nullptr;
}

/** Plays one interrupted command-line update, then the clean one that must recover the
    amplifier. arm turns the fault on. */
RowResult playToolRow (const Bytes& image,
                       const std::function<void (sim::EmulatedAmplifier&)>& arm,
                       const ToolExpectation& expected)
{
    backend().clear();
    const ImageFile file (image);
    sim::EmulatedAmplifier amplifier (service(), fieldAmplifier());
    arm (amplifier);

    const auto first = runTool (file.getPath());
    backend().clear();

    RowResult result;
    result.actual = describe (first);
    std::ostringstream note;

    const auto bound = 60.0 * slowdown;

    if (first.status != expected.status || first.lastLine() != expected.lastLine)
        note << "expected status " << expected.status << " and '" << expected.lastLine << "'; ";

    if (! expected.serialLine.empty() && serialLineOf (first) != expected.serialLine)
        note << "expected the line " << expected.serialLine << "; ";

    if (first.seconds > bound)
        note << "took " << first.seconds << " s (bound " << bound << " s); ";

    if (! portsAllClosed())
        note << "ports or device left open; ";

    result.asExpected = note.str().empty();

    // The user plugs the amplifier back in and runs the same update again.
    amplifier.clearFaults();
    service().refuseOpensAfter (amplifier.getDeviceId(), -1);
    amplifier.plug();

    if (! amplifier.waitUntilPlugged (true, 5000))
        note << "the amplifier did not come back; ";

    const auto second = runTool (file.getPath());

    result.recovered = second.status == 0
                    && second.lastLine() == "Firmware upgraded!"
                    && amplifier.flashEquals (image)
                    && amplifier.getFirmwareStatus() == 1
                    && ! amplifier.isInBootloaderMode()
                    && portsAllClosed();

    if (! result.recovered)
        note << "recovery: " << describe (second) << ", flash "
             << (amplifier.flashEquals (image) ? "equal" : "differs")
             << ", status " << (int) amplifier.getFirmwareStatus()
             << (amplifier.isInBootloaderMode() ? " (bootloader)" : "") << "; ";

    result.note = note.str();
    return result;
}

std::string expectationText (const ToolExpectation& e)
{
    return e.lastLine + (e.serialLine == "Get device SN:''" ? " (SN '')" : "");
}

/** The outcome of an update interrupted at message k: the amplifier gone (vanish) or its
    reply lost (drop). Messages: 0 probe, 1 serial query, 2 status read, 3 status reset,
    4 description, then one per block, then the final status. */
std::string sweepOutcome (size_t k, size_t numBlocks, bool drop)
{
    const auto finalIndex = 5 + numBlocks;

    if (k == 0)               return "none";
    if (k == 1)               return drop ? "ok''" : "11''";
    if (k == 2)               return "11";
    if (k == 3)               return drop ? "ok" : "13";   // no reply to lose
    if (k == 4)               return "14";
    if (k < finalIndex)       return "16";
    return "ok";                                          // the final status has no reply
}

std::string phaseOfMessage (size_t k, size_t numBlocks)
{
    static const char* names[] = { "probe", "serial query", "status read", "status reset", "fw info" };

    if (k < 5)
        return names[k];

    if (k < 5 + numBlocks)
        return "block " + std::to_string (k - 5);

    return "final status";
}
} // namespace

//==============================================================================
std::vector<Row> toolSweepRows (bool fullImage, bool drop, int stride)
{
    // Small: four blocks, the last one partial. Full: the firmware image the window writes.
    const auto imageSize = fullImage ? embeddedImage().size() : size_t (3 * 256 + 200);
    const auto numBlocks = (imageSize + 255) / 256;
    const auto numMessages = 6 + numBlocks;

    std::vector<size_t> positions;

    if (fullImage)
    {
        // Every step before the transfer, the first blocks, one in the middle, the last
        // two, and the final status.
        for (size_t k = 0; k < 8; ++k)
            positions.push_back (k);

        positions.push_back (5 + numBlocks / 2);
        positions.push_back (5 + numBlocks - 2);
        positions.push_back (5 + numBlocks - 1);
        positions.push_back (5 + numBlocks);
    }
    else
    {
        for (size_t k = 0; k < numMessages; ++k)
            positions.push_back (k);
    }

    if (stride > 1)
    {
        std::vector<size_t> sampled;

        for (size_t i = 0; i < positions.size(); ++i)
            if (i % (size_t) stride == 0 || i + 1 == positions.size())
                sampled.push_back (positions[i]);

        positions = sampled;
    }

    std::vector<Row> rows;

    for (const auto k : positions)
    {
        const auto expected = expectationFor (sweepOutcome (k, numBlocks, drop));

        Row row;
        row.suite = fullImage ? "sweep-full" : (drop ? "sweep-small-drop" : "sweep-small-vanish");
        row.id = row.suite + (fullImage ? (drop ? "/drop/" : "/vanish/") : "/") + std::to_string (k);
        row.knob = drop ? "drop reply" : "vanish";
        row.phase = "message " + std::to_string (k) + " (" + phaseOfMessage (k, numBlocks) + ")";
        row.expected = expectationText (expected);
        row.run = [fullImage, drop, k, expected]
        {
            const auto image = fullImage ? embeddedImage() : makeImage (3 * 256 + 200, 37);
            return playToolRow (image, [drop, k] (sim::EmulatedAmplifier& amplifier)
            {
                if (drop)
                    amplifier.dropReplyToMessage (k);
                else
                    amplifier.vanishOnMessage (k);
            }, expected);
        };

        rows.push_back (std::move (row));
    }

    return rows;
}

std::vector<Row> toolMatrixRows()
{
    const size_t numBlocks = 4;
    const auto phases = toolPhases (numBlocks);
    std::vector<Row> rows;

    for (size_t knobIndex = 0; knobIndex < knobs().size(); ++knobIndex)
    {
        const auto& knob = knobs()[knobIndex];

        for (size_t p = 0; p < numPhases; ++p)
        {
            const auto expected = expectationFor (knob.tool[p]);
            const auto phase = phases[p];

            Row row;
            row.suite = "matrix-tool";
            row.id = "matrix-tool/" + std::to_string (knobIndex) + "/" + std::to_string (p);
            row.knob = knob.name;
            row.phase = phase.name;
            row.expected = expectationText (expected);
            row.run = [knobIndex, phase, expected]
            {
                const auto& k = knobs()[knobIndex];

                return playToolRow (makeImage (3 * 256 + 200, 37), [&k, phase] (sim::EmulatedAmplifier& amplifier)
                {
                    if (k.aimsAtMessage || phase.index == 0)
                    {
                        k.turnOn (amplifier, phase.index, false);
                        return;
                    }

                    auto* target = &amplifier;
                    backend().armBefore (phase.kind, phase.occurrence, [&k, target] { k.turnOn (*target, 0, false); });
                }, expected);
            };

            rows.push_back (std::move (row));
        }
    }

    return rows;
}

} // namespace reliability
