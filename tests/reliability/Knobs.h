#pragma once

#include "MessageKinds.h"

#include "EmulatedAmplifier.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace reliability
{

constexpr size_t numPhases = 7;

/** A point of the update where a fault is turned on: just before the occurrence-th
    message of kind goes out, which is message number index of a clean run. */
struct Phase
{
    std::string name;
    MessageKind kind;
    int occurrence;
    size_t index;
};

/** The phases of a command-line update of an image of numBlocks blocks: probe, serial
    query, status read, status reset with its restart, firmware description, transfer,
    final status with its restart. */
std::array<Phase, numPhases> toolPhases (size_t numBlocks);

/** The same for the window: connect (probe), read (the information queries), then the
    update's status read, status reset, firmware description, transfer and final status. */
std::array<Phase, numPhases> windowPhases (size_t numBlocks);

/** One fault knob of the emulated amplifier and what it does to an update when it is
    turned on at each phase and stays on.

    Command-line outcomes: "none" (no device found), "ok" (upgraded), or an error code;
    a trailing '' says the serial line is empty. Window outcomes: "connect" (back on the
    connect view), "ok" (the success toast), "failed" (the failure toast).
*/
struct Knob
{
    std::string name;
    bool aimsAtMessage;   // turned on for the phase's message index rather than at the phase
    std::function<void (sim::EmulatedAmplifier&, size_t index, bool window)> turnOn;
    std::array<const char*, numPhases> tool;
    std::array<const char*, numPhases> window;
};

const std::vector<Knob>& knobs();

} // namespace reliability
