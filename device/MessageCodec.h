#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace jw
{

/** One stage of turning a message body into a SysEx frame and back. */
class MessageCodec
{
public:
    virtual ~MessageCodec() = default;

    virtual std::vector<uint8_t> encode (const std::vector<uint8_t>& in) const = 0;
    virtual std::vector<uint8_t> decode (const std::vector<uint8_t>& in) const = 0;
    virtual size_t expectedEncodedSize (size_t n) const = 0;
    virtual size_t expectedDecodedSize (size_t n) const = 0;

protected:
    /** Zero-filled output of the size that encode/decode gives for n input bytes. A size
        that wrapped below zero throws std::length_error. */
    std::vector<uint8_t> prepareEncodeSpace (size_t n) const;
    std::vector<uint8_t> prepareDecodeSpace (size_t n) const;
};

/** Stages applied in order on encode and in reverse order on decode. */
class MessageStackCodec : public MessageCodec
{
public:
    MessageStackCodec() = default;
    ~MessageStackCodec() override;

    std::vector<uint8_t> encode (const std::vector<uint8_t>& in) const override;
    std::vector<uint8_t> decode (const std::vector<uint8_t>& in) const override;
    size_t expectedEncodedSize (size_t n) const override;
    size_t expectedDecodedSize (size_t n) const override;

    virtual void addCodec (std::unique_ptr<MessageCodec> codec);

protected:
    std::vector<std::unique_ptr<MessageCodec>> codecs_;
};

/** The amplifier's frame: seven-bit packing, then the SysEx command frame. */
class VexaSeriesStackCodec : public MessageStackCodec
{
public:
    VexaSeriesStackCodec (uint8_t sid, uint8_t op1, uint8_t op2);

    /** The stack is fixed: always throws std::logic_error. */
    void addCodec (std::unique_ptr<MessageCodec> codec) override;
};

/** Seven-bit packing of the body (see JwSysEx::SetupMidiDataFromGeneralData). */
class SevenBitsCodec : public MessageCodec
{
public:
    SevenBitsCodec() = default;

    std::vector<uint8_t> encode (const std::vector<uint8_t>& in) const override;
    std::vector<uint8_t> decode (const std::vector<uint8_t>& in) const override;
    size_t expectedEncodedSize (size_t n) const override;
    size_t expectedDecodedSize (size_t n) const override;
};

/** F0 01 sid checksum op1 op2 payload... F7, the checksum being the XOR of the payload
    masked to seven bits. Decoding verifies the checksum and nothing else. */
class SysExCommandCodec : public MessageCodec
{
public:
    SysExCommandCodec (uint8_t sid, uint8_t op1, uint8_t op2);

    std::vector<uint8_t> encode (const std::vector<uint8_t>& in) const override;
    std::vector<uint8_t> decode (const std::vector<uint8_t>& in) const override;
    size_t expectedEncodedSize (size_t n) const override;
    size_t expectedDecodedSize (size_t n) const override;

private:
    mutable std::array<uint8_t, 6> header_;
};

/** The frame checksum: XOR of the bytes masked to seven bits, 0 for none. */
uint8_t frameChecksum (const uint8_t* data, size_t len);

/** Unpacks seven-bit packed bytes (the inverse of the packing): groups of up to 8 give
    one byte fewer each; a last group of one byte gives nothing; data bytes keep a bit 7
    that arrives set. out must hold len - ceil(len / 8) bytes; returns that count. */
size_t unpackSevenBits (uint8_t* out, const uint8_t* in, size_t len);

/** True for a well-formed frame: at least 7 bytes, F0 first, F7 last, and byte 3 equal
    to the checksum of bytes 6 to n - 2. */
bool isValidFrame (const uint8_t* data, size_t len);

} // namespace jw
