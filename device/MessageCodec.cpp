#include "MessageCodec.h"

#include "JwSysEx.h"

#include <algorithm>
#include <stdexcept>

namespace jw
{

//==============================================================================
std::vector<uint8_t> MessageCodec::prepareEncodeSpace (size_t n) const
{
    return std::vector<uint8_t> (expectedEncodedSize (n));
}

std::vector<uint8_t> MessageCodec::prepareDecodeSpace (size_t n) const
{
    // A size that wrapped below zero must fail rather than allocate: std::vector reports
    // sizes above its max_size() with std::length_error.
    return std::vector<uint8_t> (expectedDecodedSize (n));
}

//==============================================================================
MessageStackCodec::~MessageStackCodec()
{
    while (! codecs_.empty())
        codecs_.pop_back();
}

std::vector<uint8_t> MessageStackCodec::encode (const std::vector<uint8_t>& in) const
{
    auto result = in;

    for (const auto& codec : codecs_)
        result = codec->encode (result);

    return result;
}

std::vector<uint8_t> MessageStackCodec::decode (const std::vector<uint8_t>& in) const
{
    auto result = in;

    for (auto it = codecs_.rbegin(); it != codecs_.rend(); ++it)
        result = (*it)->decode (result);

    return result;
}

size_t MessageStackCodec::expectedEncodedSize (size_t n) const
{
    for (const auto& codec : codecs_)
        n = codec->expectedEncodedSize (n);

    return n;
}

size_t MessageStackCodec::expectedDecodedSize (size_t n) const
{
    for (auto it = codecs_.rbegin(); it != codecs_.rend(); ++it)
        n = (*it)->expectedDecodedSize (n);

    return n;
}

void MessageStackCodec::addCodec (std::unique_ptr<MessageCodec> codec)
{
    codecs_.push_back (std::move (codec));
}

//==============================================================================
VexaSeriesStackCodec::VexaSeriesStackCodec (uint8_t sid, uint8_t op1, uint8_t op2)
{
    codecs_.push_back (std::make_unique<SevenBitsCodec>());
    codecs_.push_back (std::make_unique<SysExCommandCodec> (sid, op1, op2));
}

void VexaSeriesStackCodec::addCodec (std::unique_ptr<MessageCodec>)
{
    throw std::logic_error ("VEXA series should not call this function");
}

//==============================================================================
std::vector<uint8_t> SevenBitsCodec::encode (const std::vector<uint8_t>& in) const
{
    auto out = prepareEncodeSpace (in.size());

    if (! in.empty())
        JwSysEx::SetupMidiDataFromGeneralData (out.data(), in.data(), (unsigned int) in.size());

    return out;
}

std::vector<uint8_t> SevenBitsCodec::decode (const std::vector<uint8_t>& in) const
{
    auto out = prepareDecodeSpace (in.size());
    unpackSevenBits (out.data(), in.data(), in.size());
    return out;
}

size_t SevenBitsCodec::expectedEncodedSize (size_t n) const
{
    return n + (n + 6) / 7;
}

size_t SevenBitsCodec::expectedDecodedSize (size_t n) const
{
    return n - (n + 7) / 8;
}

//==============================================================================
SysExCommandCodec::SysExCommandCodec (uint8_t sid, uint8_t op1, uint8_t op2)
    : header_ { 0xF0, 0x01, sid, 0x00, op1, op2 }
{
}

std::vector<uint8_t> SysExCommandCodec::encode (const std::vector<uint8_t>& in) const
{
    header_[3] = frameChecksum (in.data(), in.size());

    auto out = prepareEncodeSpace (in.size());
    std::copy (header_.begin(), header_.end(), out.begin());
    std::copy (in.begin(), in.end(), out.begin() + 6);
    out.back() = 0xF7;
    return out;
}

std::vector<uint8_t> SysExCommandCodec::decode (const std::vector<uint8_t>& in) const
{
    auto out = prepareDecodeSpace (in.size());   // throws for frames below 7 bytes
    std::copy (in.begin() + 6, in.end() - 1, out.begin());

    if (frameChecksum (out.data(), out.size()) != in[3])
        throw std::runtime_error ("checksum mismatched");

    return out;
}

size_t SysExCommandCodec::expectedEncodedSize (size_t n) const
{
    return n + 7;
}

size_t SysExCommandCodec::expectedDecodedSize (size_t n) const
{
    return n - 7;   // wraps for short frames, on purpose: see prepareDecodeSpace
}

//==============================================================================
uint8_t frameChecksum (const uint8_t* data, size_t len)
{
    uint8_t sum = 0;

    for (size_t i = 0; i < len; ++i)
        sum ^= data[i];

    return (uint8_t) (sum & 0x7F);
}

size_t unpackSevenBits (uint8_t* out, const uint8_t* in, size_t len)
{
    size_t written = 0;

    for (size_t pos = 0; len - pos >= 2; pos += 8)
    {
        const auto groupSize = std::min<size_t> (8, len - pos);
        const auto header = in[pos];

        for (size_t j = 0; j + 1 < groupSize; ++j)
            out[written++] = (uint8_t) (in[pos + 1 + j] | (((header >> j) & 1) << 7));

        if (groupSize < 8)
            break;
    }

    return written;
}

bool isValidFrame (const uint8_t* data, size_t len)
{
    return data != nullptr
        && len >= 7
        && data[0] == 0xF0
        && data[len - 1] == 0xF7
        && data[3] == frameChecksum (data + 6, len - 7);
}

} // namespace jw
