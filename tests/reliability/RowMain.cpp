// One row of the reliability suites, in a process of its own so that the parent can tell
// a crash or a hang of the updater from a row that merely ended differently.
//
//     reliability_row <row id> <result file>
//
// Exit status: 0 as expected and recovered, 10 not as expected, 11 amplifier not
// recovered, 2 bad arguments. The result file says what happened either way.

#include "Harness.h"
#include "HeadlessApplication.h"
#include "Rows.h"

#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <fstream>
#include <iostream>

namespace
{
std::string oneLine (std::string text)
{
    for (auto& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';

    return text;
}
} // namespace

int main (int argc, char** argv)
{
    if (argc < 3)
    {
        std::cerr << "usage: reliability_row <row id> <result file>" << std::endl;
        return 2;
    }

    const auto* row = reliability::findRow (argv[1]);

    if (row == nullptr)
    {
        std::cerr << "no row " << argv[1] << std::endl;
        return 2;
    }

    testing_support::installHeadlessApplication();
    juce::ScopedJuceInitialiser_GUI juce;
    juce::MessageManager::getInstance()->setCurrentThreadAsMessageThread();
    reliability::backend();

    std::cout << "row " << row->id << ": " << row->knob << " at " << row->phase
              << ", expected " << row->expected << std::endl;

    const auto result = row->run();

    std::ofstream out (argv[2], std::ios::trunc);
    out << "asExpected=" << (result.asExpected ? 1 : 0) << "\n"
        << "recovered=" << (result.recovered ? 1 : 0) << "\n"
        << "actual=" << oneLine (result.actual) << "\n"
        << "note=" << oneLine (result.note) << "\n";
    out.close();

    std::cout << "actual: " << result.actual << "\n" << "note: " << result.note << std::endl;

    if (! result.recovered)
        return 11;

    return result.asExpected ? 0 : 10;
}
