#include "SimTestSupport.h"

using namespace simtest;
namespace wire = sim::wire;

// The tests' own helpers pack with these, so they are pinned to hand-written vectors here.
TEST (AmplifierWire, PacksAndUnpacksGoldenVectors)
{
    const Bytes body { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87 };
    const Bytes packed { 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x01, 0x07 };
    EXPECT_EQ (wire::pack (body), packed);
    EXPECT_EQ (wire::unpack (packed.data(), packed.size()), body);
    EXPECT_EQ (wire::pack (Bytes (257, 0x80)).size(), 294u);

    // A single trailing header byte gives nothing; data bytes keep a stray bit 7.
    const Bytes nine { 0, 1, 2, 3, 4, 5, 6, 7, 0x7f };
    EXPECT_EQ (wire::unpack (nine.data(), nine.size()).size(), 7u);
    const Bytes stray { 0x00, 0x85 };
    EXPECT_EQ (wire::unpack (stray.data(), stray.size()), (Bytes { 0x85 }));
}
