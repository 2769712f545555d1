#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace reliability
{

/** What a message that the host sends to the amplifier asks for. */
enum class MessageKind
{
    probe,            // frame, operation bytes 02 12
    extraInfoQuery,   // frame, 02 11
    serialQuery,      // frame, 02 23
    getFwStatus,
    setFwStatus0,
    setFwStatus1,
    getFwInfo,
    writeFlash,
    other
};

MessageKind classify (const uint8_t* data, size_t size);

std::string toString (MessageKind);

} // namespace reliability
