#include "Rows.h"

namespace reliability
{

std::vector<Row> rowsOfSuite (const std::string& suite, int stride)
{
    if (suite == "sweep-small-vanish")  return toolSweepRows (false, false, stride);
    if (suite == "sweep-small-drop")    return toolSweepRows (false, true, stride);

    if (suite == "sweep-full")
    {
        auto rows = toolSweepRows (true, false, stride);
        auto drops = toolSweepRows (true, true, stride);
        rows.insert (rows.end(), drops.begin(), drops.end());
        return rows;
    }

    if (suite == "matrix-tool")         return toolMatrixRows();
    if (suite == "matrix-window")       return windowMatrixRows();
    if (suite == "window-clicks")       return windowClickRows();
    return {};
}

const Row* findRow (const std::string& id)
{
    static const std::vector<Row> all = []
    {
        std::vector<Row> rows;

        for (const auto* suite : { "sweep-small-vanish", "sweep-small-drop", "sweep-full", "matrix-tool", "matrix-window", "window-clicks" })
        {
            auto more = rowsOfSuite (suite);
            rows.insert (rows.end(), more.begin(), more.end());
        }

        return rows;
    }();

    for (const auto& row : all)
        if (row.id == id)
            return &row;

    return nullptr;
}

} // namespace reliability
