#pragma once

#include "VirtualMidiService.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

/*  sim::EmulatedAmplifier: a Tarvo amplifier behind one input and one output port of a
    sim::VirtualMidiService (both named config.portName, "Tarvo 40" by default). It is
    plugged in by its constructor (at the end of both lists unless config.positions says
    otherwise) and detached by its destructor.

    What it answers (all replies go out on the delivery thread, in order):
    - probe, a frame with operation bytes 02 12 (any session id):
          F0 01 sid cks 03 12 <seven-bit packed 8-byte device id> F7
    - serial query, operation bytes 02 23: reply 02 23 <packed serial string>
    - second information query, operation bytes 02 11: reply 03 11 <packed info string>
      Framed replies use the request's session id and cks = XOR of the packed payload & 0x7F.
      Frames with a wrong checksum are ignored.
    - "GetFwStatus"       -> F0 "RetFwStatus" <status> F7
    - "SetFwStatus" <s>   -> no reply; s becomes the pending status (see restart)
    - "GetFwInfo"         -> F0 "RetFwInfo" <84 bytes at flash offset 0x400, packed: 96> F7
                             (107 bytes; a flash shorter than 0x454 reads as zeros beyond it)
    - "WriteFlash" <4 offset bytes, 7 bits each, LSB first> <294 packed bytes> F7 (310 bytes)
                          -> F0 "RetWriteFlash" 00 00 00 00 <status> F7, status at byte 18:
                             1 = written; 0 = refused (sum byte wrong, malformed message,
                             not in bootloader mode, or a refusal knob). An accepted block at
                             offset 0 erases the old flash first, so after writing image X the
                             flash holds X followed by at most 255 zero bytes (flashEquals).
    - In bootloader mode the two string queries get no answer (everything else does).

    Restart: after a "SetFwStatus", once the host has closed BOTH of its ports to the
    amplifier, it leaves the port lists for config.restartTimeMs and comes back at the same
    positions: in bootloader mode after status 0, running normally after any other status
    (1 in practice); the status it reports afterwards is the one set. Status and mode change
    when the restart begins. getNumRestarts() counts the restarts begun. The host's old port
    objects stay dead: it must open the ports again.

    Fault knobs act on the replies as follows: a dropped reply sends nothing at all; a delay
    holds back the whole group (over-long message, other names, reply), which is not sent if
    the amplifier has left meanwhile; replies already sent reach the host even if the
    amplifier leaves before they are delivered.

    Message counts: "the k-th message" counts every message received since construction
    from 0 (getNumReceivedMessages() gives the current count), across restarts.

    All knobs and observers are thread-safe and may be used at any time from any thread.
    The amplifier must be destroyed before its service.
*/
namespace sim
{

class EmulatedAmplifier final : private VirtualMidiService::Device
{
public:
    using Bytes = std::vector<uint8_t>;

    struct Config
    {
        juce::String portName { "Tarvo 40" };
        std::array<uint8_t, 8> deviceId { { 0x54, 0x56, 0x34, 0x30, 0x00, 0x00, 0x07, 0x31 } };
        std::string serialNumber { "TV40-2026-000731" };
        std::string extraInfo { "H3-40" };
        uint8_t firmwareStatus = 1;
        bool bootloaderMode = false;
        Bytes flash;
        int restartTimeMs = 1000;
        VirtualMidiService::Positions positions;   // where to plug in first; -1 = at the end
    };

    /** What a long message sent before each reply looks like (2000 bytes). */
    enum class OverlongMessage
    {
        none,
        firmwareInfoNamed,   // F0 "RetFwInfo" <1989 bytes 0x55> F7
        frame                // F0 01 <request sid> cks 7F 7F <1993 bytes 0x55> F7, valid checksum
    };

    static constexpr int overlongMessageSize = 2000;

    EmulatedAmplifier (VirtualMidiService& service, Config config);
    explicit EmulatedAmplifier (VirtualMidiService& service);
    ~EmulatedAmplifier() override;

    //==============================================================================
    // Plugging, from a test
    void unplug();          // leaves the lists (remembers the positions)
    void plug();            // comes back at the remembered positions
    bool isPlugged() const;
    VirtualMidiService::Positions getPositions() const;   // current or last positions
    VirtualMidiService::DeviceId getDeviceId() const noexcept { return id; }

    /** Waits until isPlugged() == plugged; false on time-out. */
    bool waitUntilPlugged (bool plugged, int timeoutMs) const;

    /** Waits until at least n messages were received; false on time-out. */
    bool waitForReceivedMessages (size_t n, int timeoutMs) const;

    //==============================================================================
    // Fault knobs
    void refuseBlockOnceAtOffset (uint32_t offset);   // the next WriteFlash at that offset
    void refuseBlockOnce (int blockIndex);            // = offset blockIndex * 256
    void setRefuseAllBlocks (bool shouldRefuse);
    void dropReplyToMessage (size_t messageIndex);    // may be called for several indices
    void setReplyDelayMs (int delayMs);
    void setOtherRepliesBeforeTransferReplies (int count);   // other reply names first
    void setWrongChecksumOnFramedReplies (bool shouldCorrupt);
    void setProbeIdLength (int numBytes);             // 0 to 8; 8 = normal
    void setOverlongMessageBeforeReplies (OverlongMessage kind);
    void setSilentOnStringQueries (bool shouldBeSilent);
    void setNeverComeBackAfterRestart (bool neverComeBack);
    void vanishOnMessage (size_t messageIndex);       // unplugs itself on receiving it, no reply
    void vanishAfterBlocks (int numBlocks);           // counted from this call: unplugs on the next
                                                      // WriteFlash after that many, no reply
    void clearFaults();

    //==============================================================================
    // Observability
    std::vector<Bytes> getReceivedMessages() const;
    size_t getNumReceivedMessages() const;
    Bytes getFlash() const;
    bool flashEquals (const Bytes& image) const;      // image + only zero padding (< 256 bytes)
    uint8_t getFirmwareStatus() const;
    bool isInBootloaderMode() const;
    int getNumRestarts() const;
    int getNumWriteFlashBlocksAccepted() const;

private:
    void messageFromHost (const Bytes& message) override;
    void hostConnectionsChanged() override;

    void handleFrame (const Bytes& message);
    void handleFirmwareCommand (const Bytes& message);
    void handleWriteFlash (const Bytes& message);
    void sendReply (Bytes reply, const char* transferName, uint8_t sid);   // lock held
    void sendFramedReply (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& body);   // lock held
    void maybeRestart();   // lock held
    void vanish();         // lock held
    void comeBack();

    VirtualMidiService& service;
    VirtualMidiService::DeviceId id = 0;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    Config config;
    std::vector<Bytes> received;
    size_t currentMessage = 0;
    bool plugged = false;
    VirtualMidiService::Positions lastPositions;
    bool restartArmed = false;
    uint8_t pendingStatus = 0;
    int numRestarts = 0;
    int blocksAccepted = 0;
    int writeFlashCount = 0;

    // knobs
    std::set<uint32_t> refuseOnceOffsets;
    bool refuseAll = false;
    std::set<size_t> dropReplies;
    int replyDelayMs = 0;
    int otherReplies = 0;
    bool wrongChecksum = false;
    int probeIdLength = 8;
    OverlongMessage overlong = OverlongMessage::none;
    bool silentOnStrings = false;
    bool neverComeBack = false;
    std::set<size_t> vanishOn;
    int vanishAfter = -1;
};

} // namespace sim
