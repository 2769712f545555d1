#include "TestDevice.h"

#include <gtest/gtest.h>

#include <numeric>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes countingBytes (size_t n)
{
    Bytes out (n);
    std::iota (out.begin(), out.end(), (uint8_t) 0);
    return out;
}
} // namespace

TEST (Send, WholeMessageWithoutPacketSize)
{
    TestDevice device;
    const auto message = countingBytes (300);

    EXPECT_EQ (device.Send (message.data(), (int) message.size()), 300);
    EXPECT_EQ (device.sentPieces(), std::vector<Bytes> { message });

    device.failPiece (1);
    EXPECT_EQ (device.Send (message.data(), 10), -1);
}

TEST (Send, SplitsIntoPiecesOfThePacketSize)
{
    for (const int packet : { 1, 3, 7, 64, 299, 300, 301, 1000 })
    {
        for (const int len : { 1, 2, 63, 64, 65, 300 })
        {
            TestDevice device;
            device.setMaxPacketSize (packet);
            const auto message = countingBytes ((size_t) len);

            EXPECT_EQ (device.Send (message.data(), len), len);

            const auto pieces = device.sentPieces();
            ASSERT_EQ (pieces.size(), (size_t) ((len + packet - 1) / packet)) << packet << " " << len;

            Bytes joined;
            for (size_t i = 0; i < pieces.size(); ++i)
            {
                const auto expectedSize = std::min (packet, len - (int) i * packet);
                EXPECT_EQ (pieces[i].size(), (size_t) expectedSize);
                joined.insert (joined.end(), pieces[i].begin(), pieces[i].end());
            }

            EXPECT_EQ (joined, message);
        }
    }
}

TEST (Send, AFailedPieceFailsTheSendButAllPiecesGo)
{
    TestDevice device;
    device.setMaxPacketSize (4);
    device.failPiece (1);
    const auto message = countingBytes (14);

    EXPECT_EQ (device.Send (message.data(), 14), -1);
    EXPECT_EQ (device.sentPieces().size(), 4u);
}

TEST (Send, NothingToSend)
{
    TestDevice device;
    device.setMaxPacketSize (8);
    const uint8_t byte = 0;

    EXPECT_EQ (device.Send (&byte, 0), 0);
    EXPECT_EQ (device.Send (&byte, -5), 0);
    EXPECT_TRUE (device.sentPieces().empty());
}
