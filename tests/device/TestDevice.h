#pragma once

#include "JwDevice.h"

#include <cstdint>
#include <mutex>
#include <vector>

/** A device without a transport: what is sent is recorded, and a test feeds received
    bytes through OnReadNext itself. */
class TestDevice : public JwDevice
{
public:
    bool Open() override { return true; }
    void Close() override {}

    void setMaxPacketSize (int size) { max_packet_size_ = size; }

    /** The piece at this index (counting every Internal_Send call) reports failure. */
    void failPiece (int index) { failingPiece = index; }

    std::vector<std::vector<uint8_t>> sentPieces() const
    {
        const std::lock_guard<std::mutex> lock (sentMutex);
        return pieces;
    }

protected:
    int Internal_Send (const uint8_t* data, size_t len) override
    {
        const std::lock_guard<std::mutex> lock (sentMutex);
        const auto index = (int) pieces.size();
        pieces.emplace_back (data, data + len);
        return index == failingPiece ? -1 : (int) len;
    }

private:
    mutable std::mutex sentMutex;
    std::vector<std::vector<uint8_t>> pieces;
    int failingPiece = -1;
};
