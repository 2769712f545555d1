#include "AmplifierWire.h"
#include "SimTestSupport.h"

using namespace simtest;
namespace wire = sim::wire;

TEST (AmplifierWire, PacksAndUnpacksGoldenVectors)
{
    EXPECT_EQ (wire::pack (Bytes { 0x81, 0x02, 0xff }), (Bytes { 0x05, 0x01, 0x02, 0x7f }));

    const Bytes body { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87 };
    const Bytes packed { 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01, 0x07 };
    EXPECT_EQ (wire::pack (body), packed);
    EXPECT_EQ (wire::unpack (packed.data(), packed.size()), body);

    // A single trailing header byte gives nothing; data bytes keep a stray bit 7.
    const Bytes nine { 0, 1, 2, 3, 4, 5, 6, 7, 0x7f };
    EXPECT_EQ (wire::unpack (nine.data(), nine.size()).size(), 7u);
    const Bytes stray { 0x00, 0x85 };
    EXPECT_EQ (wire::unpack (stray.data(), stray.size()), (Bytes { 0x85 }));
    EXPECT_TRUE (wire::unpack (stray.data(), 1).empty());
}

TEST (AmplifierWire, PackedSizesMatchTheRule)
{
    const size_t expected[] = { 0, 2, 3, 4, 5, 6, 7, 8, 10, 11 };

    for (size_t n = 0; n < 10; ++n)
        EXPECT_EQ (wire::pack (Bytes (n, 0xaa)).size(), expected[n]) << n;

    EXPECT_EQ (wire::pack (Bytes (257, 0x80)).size(), 294u);
}

TEST (AmplifierWire, FramesAndChecksFrames)
{
    EXPECT_EQ (wire::frame (0, 2, 0x12, {}), (Bytes { 0xf0, 0x01, 0x00, 0x00, 0x02, 0x12, 0xf7 }));
    const Bytes f { 0xf0, 0x01, 0x05, 0x79, 0x02, 0x23, 0x05, 0x01, 0x02, 0x7f, 0xf7 };
    EXPECT_EQ (wire::frame (5, 2, 0x23, { 0x81, 0x02, 0xff }), f);
    EXPECT_TRUE (wire::isValidFrame (f));

    auto bad = f;
    bad[3] = 0x78;
    EXPECT_FALSE (wire::isValidFrame (bad));
    bad = f;
    bad.back() = 0x00;
    EXPECT_FALSE (wire::isValidFrame (bad));
    EXPECT_FALSE (wire::isValidFrame (Bytes { 0xf0, 0x01, 0x00, 0x00, 0x02, 0xf7 }));
}

TEST (AmplifierWire, MatchesNames)
{
    EXPECT_TRUE (wire::hasName (named ("GetFwStatus"), "GetFwStatus"));
    EXPECT_FALSE (wire::hasName (named ("GetFw"), "GetFwStatus"));
    EXPECT_FALSE (wire::hasName (Bytes { 0xf0 }, "GetFwInfo"));
    EXPECT_EQ (wire::named ("Ab", { 1 }), (Bytes { 0xf0, 'A', 'b', 1, 0xf7 }));
}
