#pragma once

#include "JwDevice.h"
#include "MessageCodec.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

/*  Request/response exchanges with the amplifier.

    JwDeviceSession::Perform takes a free session id from the device, runs the exchange
    proper (do_perform) on it and gives the id back, also when the exchange throws.
    Failures are a false result with a code in error_code_:

        8   no device
        10  no session id (all in use, or the device has no own id)
        11..16  the steps of the flashing procedure (see FirmwareUpdateSession)

    The generic sessions throw std::runtime_error ("Device reading timeout") when no
    reply comes within timeout_ms_; callers must catch it.
*/
class JwDeviceSession
{
public:
    enum ErrorCode
    {
        errorNoDevice    = 8,
        errorNoSessionId = 10
    };

    JwDeviceSession() = default;
    virtual ~JwDeviceSession() = default;

    JwDeviceSession (const JwDeviceSession&) = delete;
    JwDeviceSession& operator= (const JwDeviceSession&) = delete;

    /** Runs one exchange on a session id of its own; false with error_code_ set when
        it could not be started, otherwise what do_perform returned. */
    virtual bool Perform (JwDevice* device);

    /** The longest wait for one reply, in milliseconds. */
    int timeout_ms_ = 3000;

    /** The last failure's code; nothing resets it to 0. */
    int error_code_ = 0;

protected:
    /** The exchange itself, on an id that is in use for this session. device is not null. */
    virtual bool do_perform (JwDevice* device, int sid) = 0;
};

//==============================================================================
namespace jw
{

/** The two operation bytes of a frame (frame bytes 4 and 5). */
template <uint8_t Op1, uint8_t Op2>
struct SessionOperationCode
{
    uint8_t op1 = Op1;
    uint8_t op2 = Op2;
};

} // namespace jw

//==============================================================================
namespace jwmsgpack
{

/** Root of the payload types. */
class CAbstractMessage
{
public:
    virtual ~CAbstractMessage() = default;
};

/** A payload holding one value that turns into bytes and back. */
template <typename T>
class CMessage : public CAbstractMessage
{
public:
    explicit CMessage (T value) : value_ (std::move (value)) {}
    ~CMessage() override = default;

    /** Writes the payload bytes into buf (room: cap bytes), pointing *out at them and
        setting *outLen to their number. */
    virtual bool pack (uint8_t* buf, size_t cap, uint8_t** out, size_t* outLen) = 0;

    /** Sets value_ from len payload bytes. */
    virtual bool unpack (const uint8_t* data, size_t len) = 0;

    T value_;
};

/** The empty payload: packs to nothing and accepts anything. */
class CNull : public CMessage<decltype (nullptr)>
{
public:
    CNull() : CMessage<decltype (nullptr)> (nullptr) {}

    bool pack (uint8_t*, size_t, uint8_t**, size_t*) override { return true; }
    bool unpack (const uint8_t*, size_t) override { return true; }
};

} // namespace jwmsgpack

//==============================================================================
namespace bootloader
{

/** A payload that is a string's raw bytes, without header, length or terminator. */
class StdStringPacker : public jwmsgpack::CMessage<std::string>
{
public:
    StdStringPacker() : jwmsgpack::CMessage<std::string> (std::string()) {}
    explicit StdStringPacker (std::string s) : jwmsgpack::CMessage<std::string> (std::move (s)) {}

    /** Copies the string's bytes to the start of buf. A string longer than cap (or a
        null buf for a non-empty string) is refused: false, nothing written, *out and
        *outLen left as they were, so a payload is never sent cut short. */
    bool pack (uint8_t* buf, size_t cap, uint8_t** out, size_t* outLen) override;

    /** Takes exactly len bytes, zero bytes included. */
    bool unpack (const uint8_t* data, size_t len) override;
};

} // namespace bootloader

//==============================================================================
namespace jw
{

/** One framed request and one framed reply on the same session id.

    The reply's operation bytes are not checked: any correctly framed message that
    arrives on the session's id within timeout_ms_ is the reply. After Perform returns
    true, the reply payload is in reply_.
*/
template <typename ReqCode, typename ReqMsg, typename RepCode, typename RepMsg, bool Flag>
class GenericDeviceSession : public JwDeviceSession,
                             public std::enable_shared_from_this<GenericDeviceSession<ReqCode, ReqMsg, RepCode, RepMsg, Flag>>
{
public:
    /** Room for one request payload and for one reply frame. */
    static constexpr size_t bufferSize = 1024;

    /** Any arguments build the request payload; the usual call passes none. */
    template <typename... Args,
              typename = std::enable_if_t<std::is_constructible_v<ReqMsg, Args&&...>>>
    explicit GenericDeviceSession (Args&&... args)
        : request_ (std::forward<Args> (args)...)
    {
    }

    ReqCode request_code_;
    ReqMsg request_;
    RepCode reply_code_;
    RepMsg reply_;

protected:
    bool do_perform (JwDevice* device, int sid) override
    {
        std::vector<uint8_t> payload (bufferSize, 0);
        uint8_t* packed = payload.data();
        size_t packedLen = 0;
        request_.pack (payload.data(), payload.size(), &packed, &packedLen);

        // pack points into the vector; anything else reported is not trusted.
        if (packed != payload.data() || packedLen > payload.size())
            packedLen = 0;

        payload.resize (packedLen);

        const auto id = (uint8_t) (sid & 0xFF);
        const auto request = VexaSeriesStackCodec (id, request_code_.op1, request_code_.op2).encode (payload);

        // A failed send shows only as a missing reply.
        device->Send (request.data(), (int) request.size());

        std::vector<uint8_t> reply (bufferSize, 0);
        const auto n = device->ReadNext (sid, reply.data(), reply.size(), timeout_ms_);

        if (n < 0)
            throw std::runtime_error ("Device reading timeout");

        reply.resize ((size_t) n);

        std::vector<uint8_t> body;

        try
        {
            body = VexaSeriesStackCodec (id, reply_code_.op1, reply_code_.op2).decode (reply);
        }
        catch (const std::exception&)
        {
            // Only well-framed messages reach a session's queue, so this is an empty
            // wake-up entry or worse; it is a failed exchange, not a crash.
            return false;
        }

        reply_.unpack (body.data(), body.size());
        return true;
    }
};

} // namespace jw

//==============================================================================
/** The amplifier's serial number as a string. */
using SerialNumberSession = jw::GenericDeviceSession<jw::SessionOperationCode<2, 35>,
                                                     jwmsgpack::CNull,
                                                     jw::SessionOperationCode<2, 35>,
                                                     bootloader::StdStringPacker,
                                                     true>;

/** A second information string (request 2,17; reply 3,17). */
using ExtraInfoSession = jw::GenericDeviceSession<jw::SessionOperationCode<2, 17>,
                                                  jwmsgpack::CNull,
                                                  jw::SessionOperationCode<3, 17>,
                                                  bootloader::StdStringPacker,
                                                  true>;
