#include "MessageKinds.h"

#include <cstring>

namespace reliability
{

namespace
{
bool named (const uint8_t* data, size_t size, const char* name)
{
    const auto length = std::strlen (name);
    return size > length + 1 && std::memcmp (data + 1, name, length) == 0;
}
} // namespace

MessageKind classify (const uint8_t* data, size_t size)
{
    if (data == nullptr || size < 2 || data[0] != 0xF0)
        return MessageKind::other;

    if (data[1] == 0x01 && size >= 7)
    {
        if (data[4] == 0x02 && data[5] == 0x12) return MessageKind::probe;
        if (data[4] == 0x02 && data[5] == 0x11) return MessageKind::extraInfoQuery;
        if (data[4] == 0x02 && data[5] == 0x23) return MessageKind::serialQuery;
        return MessageKind::other;
    }

    if (named (data, size, "GetFwStatus")) return MessageKind::getFwStatus;
    if (named (data, size, "GetFwInfo"))   return MessageKind::getFwInfo;
    if (named (data, size, "WriteFlash"))  return MessageKind::writeFlash;

    if (named (data, size, "SetFwStatus") && size >= 14)
        return data[12] == 0 ? MessageKind::setFwStatus0 : MessageKind::setFwStatus1;

    return MessageKind::other;
}

std::string toString (MessageKind kind)
{
    switch (kind)
    {
        case MessageKind::probe:          return "probe";
        case MessageKind::extraInfoQuery: return "info query";
        case MessageKind::serialQuery:    return "serial query";
        case MessageKind::getFwStatus:    return "GetFwStatus";
        case MessageKind::setFwStatus0:   return "SetFwStatus 0";
        case MessageKind::setFwStatus1:   return "SetFwStatus 1";
        case MessageKind::getFwInfo:      return "GetFwInfo";
        case MessageKind::writeFlash:     return "WriteFlash";
        case MessageKind::other:          break;
    }

    return "other";
}

} // namespace reliability
