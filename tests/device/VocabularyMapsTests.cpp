#include "JwSysEx.h"

#include <gtest/gtest.h>

TEST (VocabularyMaps, CountsAndDuplicates)
{
    const auto maps = JwSysEx::vocabularyMaps();
    EXPECT_EQ (maps.fxStringId.size(), 48u);
    EXPECT_EQ (maps.ampUiTypeStringId.size(), 32u);
    EXPECT_EQ (maps.knobStringId.size(), 11u);
    EXPECT_EQ (maps.fxIdString.size(), 50u);
    EXPECT_EQ (maps.ampUiTypeIdString.size(), 32u);
    EXPECT_EQ (maps.knobIdString.size(), 11u);

    // Repeated effect names keep their first number; 31 is no effect.
    EXPECT_EQ (maps.fxStringId.at ("vexa.eq1"), 4);
    EXPECT_EQ (maps.fxStringId.at ("vexa.eq2"), 5);
    EXPECT_EQ (maps.fxIdString.at (17), "vexa.eq1");
    EXPECT_EQ (maps.fxIdString.at (18), "vexa.eq2");
    EXPECT_EQ (maps.fxIdString.count (31), 0u);
    EXPECT_EQ (maps.fxIdString.rbegin()->first, 50);
}

TEST (VocabularyMaps, EveryNameMapsBackToANumberNamingIt)
{
    const auto maps = JwSysEx::vocabularyMaps();

    for (const auto& [name, number] : maps.fxStringId)
        EXPECT_EQ (maps.fxIdString.at (number), name);

    for (const auto& [name, number] : maps.ampUiTypeStringId)
        EXPECT_EQ (maps.ampUiTypeIdString.at (number), name);

    for (const auto& [name, number] : maps.knobStringId)
        EXPECT_EQ (maps.knobIdString.at (number), name);

    EXPECT_EQ (maps.ampUiTypeIdString.at (31), "Tweed Lux");
    EXPECT_EQ (maps.knobStringId.at ("TS909"), 10);
    EXPECT_EQ (maps.fxIdString.at (50), "vexa.cab2celestion");
}
