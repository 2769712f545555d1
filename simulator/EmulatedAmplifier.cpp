#include "EmulatedAmplifier.h"

#include "AmplifierWire.h"

#include <algorithm>
#include <cstring>

namespace sim
{

namespace
{
constexpr size_t infoOffset = 0x400;
constexpr size_t infoSize = 84;
constexpr size_t blockSize = 256;
constexpr size_t writeFlashSize = 310;
constexpr size_t packedBlockSize = 294;
constexpr size_t maxFlashSize = 64 * 1024 * 1024;   // an absurd offset is refused, not allocated
constexpr uint8_t filler = 0x55;

constexpr const char* retFwStatus = "RetFwStatus";
constexpr const char* retFwInfo = "RetFwInfo";
constexpr const char* retWriteFlash = "RetWriteFlash";

EmulatedAmplifier::Bytes makeOverlong (EmulatedAmplifier::OverlongMessage kind, uint8_t sid)
{
    constexpr auto total = static_cast<size_t> (EmulatedAmplifier::overlongMessageSize);

    if (kind == EmulatedAmplifier::OverlongMessage::firmwareInfoNamed)
        return wire::named (retFwInfo, EmulatedAmplifier::Bytes (total - 2 - std::strlen (retFwInfo), filler));

    EmulatedAmplifier::Bytes m (total, filler);
    const uint8_t header[] = { 0xf0, 0x01, sid, wire::checksum (m.data() + 6, total - 7), 0x7f, 0x7f };
    std::copy (std::begin (header), std::end (header), m.begin());
    m.back() = 0xf7;
    return m;
}

// A reply of another name than the one due, shaped like the real thing.
EmulatedAmplifier::Bytes makeOtherReply (const char* due, int n)
{
    const char* names[] = { retFwStatus, retFwInfo, retWriteFlash };
    std::vector<const char*> others;

    for (auto* name : names)
        if (std::strcmp (name, due) != 0)
            others.push_back (name);

    const auto* name = others[static_cast<size_t> (n) % others.size()];

    if (name == retFwStatus)
        return wire::named (name, { filler });

    if (name == retFwInfo)
        return wire::named (name, wire::pack (EmulatedAmplifier::Bytes (infoSize, filler)));

    return wire::named (name, { 0, 0, 0, 0, 0 });
}
} // namespace

//==============================================================================
EmulatedAmplifier::EmulatedAmplifier (VirtualMidiService& s)
    : EmulatedAmplifier (s, Config())
{
}

EmulatedAmplifier::EmulatedAmplifier (VirtualMidiService& s, Config c)
    : service (s), config (std::move (c))
{
    const std::lock_guard<std::mutex> l (lock);
    id = service.plug (config.portName, this, config.positions);
    plugged = true;
    lastPositions = service.getPositions (id);
}

EmulatedAmplifier::~EmulatedAmplifier()
{
    service.detach (id);
}

//==============================================================================
void EmulatedAmplifier::unplug()
{
    const std::lock_guard<std::mutex> l (lock);
    vanish();
}

void EmulatedAmplifier::plug()
{
    const std::lock_guard<std::mutex> l (lock);

    if (plugged)
        return;

    service.replug (id, lastPositions);
    plugged = true;
    changed.notify_all();
}

bool EmulatedAmplifier::isPlugged() const
{
    const std::lock_guard<std::mutex> l (lock);
    return plugged;
}

VirtualMidiService::Positions EmulatedAmplifier::getPositions() const
{
    const std::lock_guard<std::mutex> l (lock);
    return plugged ? service.getPositions (id) : lastPositions;
}

bool EmulatedAmplifier::waitUntilPlugged (bool shouldBePlugged, int timeoutMs) const
{
    std::unique_lock<std::mutex> l (lock);
    return changed.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return plugged == shouldBePlugged; });
}

bool EmulatedAmplifier::waitForReceivedMessages (size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> l (lock);
    return changed.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return received.size() >= n; });
}

void EmulatedAmplifier::vanish()
{
    if (! plugged)
        return;

    lastPositions = service.unplug (id);
    plugged = false;
    changed.notify_all();
}

//==============================================================================
void EmulatedAmplifier::messageFromHost (const Bytes& message)
{
    const std::lock_guard<std::mutex> l (lock);
    currentMessage = received.size();
    received.push_back (message);
    changed.notify_all();

    if (vanishOn.count (currentMessage) != 0)
    {
        vanish();
        return;
    }

    if (message.size() < 2 || message.front() != 0xf0)
        return;

    if (message[1] == 0x01)
        handleFrame (message);
    else
        handleFirmwareCommand (message);
}

void EmulatedAmplifier::hostConnectionsChanged()
{
    const std::lock_guard<std::mutex> l (lock);
    maybeRestart();
}

void EmulatedAmplifier::handleFrame (const Bytes& m)
{
    if (! wire::isValidFrame (m))
        return;

    const auto sid = m[2];
    const auto op = (m[4] << 8) | m[5];

    if (op == 0x0212)
    {
        const auto n = static_cast<size_t> (std::clamp (probeIdLength, 0, 8));
        sendFramedReply (sid, 0x03, 0x12, Bytes (config.deviceId.begin(), config.deviceId.begin() + static_cast<long> (n)));
        return;
    }

    // A bootloader knows only the probe and the firmware-transfer commands.
    if (config.bootloaderMode || silentOnStrings)
        return;

    if (op == 0x0223)
        sendFramedReply (sid, 0x02, 0x23, Bytes (config.serialNumber.begin(), config.serialNumber.end()));
    else if (op == 0x0211)
        sendFramedReply (sid, 0x03, 0x11, Bytes (config.extraInfo.begin(), config.extraInfo.end()));
}

void EmulatedAmplifier::handleFirmwareCommand (const Bytes& m)
{
    if (wire::hasName (m, "GetFwStatus"))
    {
        sendReply (wire::named (retFwStatus, { config.firmwareStatus }), retFwStatus, 0);
    }
    else if (wire::hasName (m, "SetFwStatus"))
    {
        if (m.size() < 14)
            return;

        pendingStatus = m[12];
        restartArmed = true;
        maybeRestart();
    }
    else if (wire::hasName (m, "GetFwInfo"))
    {
        Bytes record (infoSize, 0);

        for (size_t i = 0; i < infoSize && infoOffset + i < config.flash.size(); ++i)
            record[i] = config.flash[infoOffset + i];

        sendReply (wire::named (retFwInfo, wire::pack (record)), retFwInfo, 0);
    }
    else if (wire::hasName (m, "WriteFlash"))
    {
        handleWriteFlash (m);
    }
}

void EmulatedAmplifier::handleWriteFlash (const Bytes& m)
{
    ++writeFlashCount;

    if (vanishAfter >= 0 && writeFlashCount > vanishAfter)
    {
        vanish();
        return;
    }

    uint8_t status = 0;

    if (m.size() == writeFlashSize && m.back() == 0xf7)
    {
        uint32_t offset = 0;

        for (int i = 0; i < 4; ++i)
            offset |= static_cast<uint32_t> (m[11 + static_cast<size_t> (i)] & 0x7f) << (7 * i);

        const auto block = wire::unpack (m.data() + 15, packedBlockSize);
        uint8_t sum = 0;

        for (size_t i = 0; i < blockSize && i < block.size(); ++i)
            sum = static_cast<uint8_t> (sum + block[i]);

        const bool refusedOnce = refuseOnceOffsets.erase (offset) != 0;
        const bool ok = block.size() == blockSize + 1
                     && block[blockSize] == sum
                     && config.bootloaderMode
                     && ! refuseAll
                     && ! refusedOnce
                     && offset + blockSize <= maxFlashSize;

        if (ok)
        {
            if (offset == 0)
                config.flash.clear();   // a new image starts: the old one is erased

            if (config.flash.size() < offset + blockSize)
                config.flash.resize (offset + blockSize, 0);

            std::copy (block.begin(), block.begin() + blockSize, config.flash.begin() + offset);
            ++blocksAccepted;
            status = 1;
        }
    }

    sendReply (wire::named (retWriteFlash, { 0, 0, 0, 0, status }), retWriteFlash, 0);
}

void EmulatedAmplifier::sendFramedReply (uint8_t sid, uint8_t op1, uint8_t op2, const Bytes& body)
{
    auto reply = wire::frame (sid, op1, op2, body);

    if (wrongChecksum)
        reply[3] = static_cast<uint8_t> ((reply[3] ^ 0x01) & 0x7f);

    sendReply (std::move (reply), nullptr, sid);
}

void EmulatedAmplifier::sendReply (Bytes reply, const char* transferName, uint8_t sid)
{
    if (dropReplies.count (currentMessage) != 0)
        return;

    std::vector<Bytes> messages;

    if (overlong != OverlongMessage::none)
        messages.push_back (makeOverlong (overlong, sid));

    if (transferName != nullptr)
        for (int i = 0; i < otherReplies; ++i)
            messages.push_back (makeOtherReply (transferName, i));

    messages.push_back (std::move (reply));

    if (replyDelayMs == 0)
    {
        for (auto& m : messages)
            service.sendToHost (id, std::move (m));

        return;
    }

    // Sent late, from the state of that moment: an amplifier that has left sends nothing.
    service.callLater (id, replyDelayMs, [this, messages = std::move (messages)]() mutable
    {
        const std::lock_guard<std::mutex> l (lock);

        if (plugged)
            for (auto& m : messages)
                service.sendToHost (id, std::move (m));
    });
}

//==============================================================================
void EmulatedAmplifier::maybeRestart()
{
    if (! restartArmed || ! plugged)
        return;

    const auto connections = service.getHostConnections (id);

    if (connections.inputs != 0 || connections.outputs != 0)
        return;

    restartArmed = false;
    ++numRestarts;
    config.firmwareStatus = pendingStatus;
    config.bootloaderMode = pendingStatus == 0;
    vanish();

    if (! neverComeBack)
        service.callLater (id, config.restartTimeMs, [this] { comeBack(); });
}

void EmulatedAmplifier::comeBack()
{
    const std::lock_guard<std::mutex> l (lock);

    if (plugged)
        return;

    service.replug (id, lastPositions);
    plugged = true;
    changed.notify_all();
}

//==============================================================================
void EmulatedAmplifier::refuseBlockOnceAtOffset (uint32_t offset)
{
    const std::lock_guard<std::mutex> l (lock);
    refuseOnceOffsets.insert (offset);
}

void EmulatedAmplifier::refuseBlockOnce (int blockIndex)
{
    refuseBlockOnceAtOffset (static_cast<uint32_t> (blockIndex) * static_cast<uint32_t> (blockSize));
}

void EmulatedAmplifier::setRefuseAllBlocks (bool shouldRefuse)
{
    const std::lock_guard<std::mutex> l (lock);
    refuseAll = shouldRefuse;
}

void EmulatedAmplifier::dropReplyToMessage (size_t messageIndex)
{
    const std::lock_guard<std::mutex> l (lock);
    dropReplies.insert (messageIndex);
}

void EmulatedAmplifier::setReplyDelayMs (int delayMs)
{
    const std::lock_guard<std::mutex> l (lock);
    replyDelayMs = std::max (0, delayMs);
}

void EmulatedAmplifier::setOtherRepliesBeforeTransferReplies (int count)
{
    const std::lock_guard<std::mutex> l (lock);
    otherReplies = std::max (0, count);
}

void EmulatedAmplifier::setWrongChecksumOnFramedReplies (bool shouldCorrupt)
{
    const std::lock_guard<std::mutex> l (lock);
    wrongChecksum = shouldCorrupt;
}

void EmulatedAmplifier::setProbeIdLength (int numBytes)
{
    const std::lock_guard<std::mutex> l (lock);
    probeIdLength = std::clamp (numBytes, 0, 8);
}

void EmulatedAmplifier::setOverlongMessageBeforeReplies (OverlongMessage kind)
{
    const std::lock_guard<std::mutex> l (lock);
    overlong = kind;
}

void EmulatedAmplifier::setSilentOnStringQueries (bool shouldBeSilent)
{
    const std::lock_guard<std::mutex> l (lock);
    silentOnStrings = shouldBeSilent;
}

void EmulatedAmplifier::setNeverComeBackAfterRestart (bool shouldNeverComeBack)
{
    const std::lock_guard<std::mutex> l (lock);
    neverComeBack = shouldNeverComeBack;
}

void EmulatedAmplifier::vanishOnMessage (size_t messageIndex)
{
    const std::lock_guard<std::mutex> l (lock);
    vanishOn.insert (messageIndex);
}

void EmulatedAmplifier::vanishAfterBlocks (int numBlocks)
{
    const std::lock_guard<std::mutex> l (lock);
    vanishAfter = numBlocks;
    writeFlashCount = 0;
}

void EmulatedAmplifier::clearFaults()
{
    const std::lock_guard<std::mutex> l (lock);
    refuseOnceOffsets.clear();
    refuseAll = false;
    dropReplies.clear();
    replyDelayMs = 0;
    otherReplies = 0;
    wrongChecksum = false;
    probeIdLength = 8;
    overlong = OverlongMessage::none;
    silentOnStrings = false;
    neverComeBack = false;
    vanishOn.clear();
    vanishAfter = -1;
}

//==============================================================================
std::vector<EmulatedAmplifier::Bytes> EmulatedAmplifier::getReceivedMessages() const
{
    const std::lock_guard<std::mutex> l (lock);
    return received;
}

size_t EmulatedAmplifier::getNumReceivedMessages() const
{
    const std::lock_guard<std::mutex> l (lock);
    return received.size();
}

EmulatedAmplifier::Bytes EmulatedAmplifier::getFlash() const
{
    const std::lock_guard<std::mutex> l (lock);
    return config.flash;
}

bool EmulatedAmplifier::flashEquals (const Bytes& image) const
{
    const std::lock_guard<std::mutex> l (lock);
    const auto& flash = config.flash;

    if (flash.size() < image.size() || flash.size() - image.size() >= blockSize)
        return false;

    return std::equal (image.begin(), image.end(), flash.begin())
        && std::all_of (flash.begin() + static_cast<long> (image.size()), flash.end(), [] (uint8_t b) { return b == 0; });
}

uint8_t EmulatedAmplifier::getFirmwareStatus() const
{
    const std::lock_guard<std::mutex> l (lock);
    return config.firmwareStatus;
}

bool EmulatedAmplifier::isInBootloaderMode() const
{
    const std::lock_guard<std::mutex> l (lock);
    return config.bootloaderMode;
}

int EmulatedAmplifier::getNumRestarts() const
{
    const std::lock_guard<std::mutex> l (lock);
    return numRestarts;
}

int EmulatedAmplifier::getNumWriteFlashBlocksAccepted() const
{
    const std::lock_guard<std::mutex> l (lock);
    return blocksAccepted;
}

} // namespace sim
