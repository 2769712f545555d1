#pragma once

#include <cstdint>
#include <string>
#include <vector>

/*  The amplifier's own byte handling: seven-bit packing and the application frame, written
    separately from the host's codecs so that a fault there is not mirrored here. */
namespace sim::wire
{

using Bytes = std::vector<uint8_t>;

/** Groups of 7 bytes become a header byte (bit i = bit 7 of byte i) and the 7 low parts. */
Bytes pack (const uint8_t* data, size_t size);
Bytes pack (const Bytes& data);

/** The inverse: groups of 8 bytes; a trailing group of a single byte gives nothing. */
Bytes unpack (const uint8_t* data, size_t size);

/** XOR of the payload bytes, masked to seven bits. */
uint8_t checksum (const uint8_t* data, size_t size);

/** F0 01 sid cks op1 op2 <packed body> F7. */
Bytes frame (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& body);

/** At least 7 bytes, F0 ... F7 and byte 3 = checksum of bytes 6 to n - 2. */
bool isValidFrame (const Bytes& message);

/** True when the bytes from position 1 on begin with name. */
bool hasName (const Bytes& message, const char* name);

/** F0 name <data> F7. */
Bytes named (const char* name, const Bytes& data);

} // namespace sim::wire
