#pragma once

#include <functional>
#include <string>
#include <vector>

namespace reliability
{

/** What one row found. */
struct RowResult
{
    bool asExpected = false;   // the interrupted run ended as the row says it must
    bool recovered = false;    // a clean update afterwards made the amplifier whole again
    std::string actual;        // the outcome in the row's own terms
    std::string note;          // what differed, when something did
};

/** One interruption or fault case: a fault, where in the update it strikes, and the
    outcome that the row expects; run() plays it and then tries to recover. */
struct Row
{
    std::string id;          // unique; names the row on a child's command line
    std::string suite;
    std::string knob;
    std::string phase;
    std::string expected;
    std::function<RowResult()> run;
};

/** Suites: "sweep-small-vanish", "sweep-small-drop", "sweep-full", "matrix-tool",
    "matrix-window", "window-clicks". stride > 1 keeps every stride-th position of a sweep (and its last);
    matrices are always whole. */
std::vector<Row> rowsOfSuite (const std::string& suite, int stride = 1);

/** The row with that id, from any suite; nullptr when there is none. */
const Row* findRow (const std::string& id);

// The rows of each kind, defined in their own files.
std::vector<Row> toolSweepRows (bool fullImage, bool dropInsteadOfVanish, int stride);
std::vector<Row> toolMatrixRows();
std::vector<Row> windowMatrixRows();
std::vector<Row> windowClickRows();

} // namespace reliability
