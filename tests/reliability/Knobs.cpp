#include "Knobs.h"

#include "Harness.h"

namespace reliability
{

std::array<Phase, numPhases> toolPhases (size_t numBlocks)
{
    return { {
        { "probe",         MessageKind::probe,        1, 0 },
        { "serial query",  MessageKind::serialQuery,  1, 1 },
        { "status read",   MessageKind::getFwStatus,  1, 2 },
        { "status reset",  MessageKind::setFwStatus0, 1, 3 },
        { "fw info",       MessageKind::getFwInfo,    1, 4 },
        { "transfer",      MessageKind::writeFlash,   1, 5 },
        { "final status",  MessageKind::setFwStatus1, 1, 5 + numBlocks },
    } };
}

std::array<Phase, numPhases> windowPhases (size_t numBlocks)
{
    // The window reads the information (info query, serial query, description) before
    // the update, so the update's own description read is the second one.
    return { {
        { "connect",       MessageKind::probe,          1, 0 },
        { "read info",     MessageKind::extraInfoQuery, 1, 1 },
        { "status read",   MessageKind::getFwStatus,    1, 4 },
        { "status reset",  MessageKind::setFwStatus0,   1, 5 },
        { "fw info",       MessageKind::getFwInfo,      2, 6 },
        { "transfer",      MessageKind::writeFlash,     1, 7 },
        { "final status",  MessageKind::setFwStatus1,   1, 7 + numBlocks },
    } };
}

const std::vector<Knob>& knobs()
{
    using Amp = sim::EmulatedAmplifier;

    // Phases:             probe    serial   status   reset    info     transfer final
    // (window:            connect  read     status   reset    info     transfer final)
    static const std::vector<Knob> all {
        { "refuse block once", false, [] (Amp& a, size_t, bool) { a.refuseBlockOnce (1); },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" } },

        { "refuse all blocks", false, [] (Amp& a, size_t, bool) { a.setRefuseAllBlocks (true); },
          { "16",     "16",     "16",     "16",     "16",     "16",     "ok" },
          { "failed", "failed", "failed", "failed", "failed", "failed", "ok" } },

        { "drop reply", true, [] (Amp& a, size_t index, bool) { a.dropReplyToMessage (index); },
          { "none",   "ok''",   "11",     "ok",     "14",     "16",     "ok" },
          { "connect", "ok",    "failed", "ok",     "failed", "failed", "ok" } },

        // Every reply late, though within the waits. The window writes 2,769 blocks, so
        // its delay is shorter, or one update would take minutes.
        { "short delay", false, [] (Amp& a, size_t, bool window) { a.setReplyDelayMs (window ? 4 : 150); },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" } },

        { "delay 3500 ms", false, [] (Amp& a, size_t, bool) { a.setReplyDelayMs (3500); },
          { "none",   "11''",   "11",     "14",     "14",     "16",     "ok" },
          { "connect", "failed", "failed", "failed", "failed", "failed", "ok" } },

        { "other names first", false, [] (Amp& a, size_t, bool) { a.setOtherRepliesBeforeTransferReplies (3); },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" } },

        { "wrong checksum", false, [] (Amp& a, size_t, bool) { a.setWrongChecksumOnFramedReplies (true); },
          { "none",   "ok''",   "ok",     "ok",     "ok",     "ok",     "ok" },
          { "connect", "ok",    "ok",     "ok",     "ok",     "ok",     "ok" } },

        { "short probe id", false, [] (Amp& a, size_t, bool) { a.setProbeIdLength (5); },
          { "none",   "ok",     "ok",     "ok",     "ok",     "ok",     "ok" },
          { "connect", "ok",    "ok",     "ok",     "ok",     "ok",     "ok" } },

        { "overlong named", false, [] (Amp& a, size_t, bool) { a.setOverlongMessageBeforeReplies (Amp::OverlongMessage::firmwareInfoNamed); },
          { "11",     "11",     "11",     "14",     "14",     "16",     "ok" },
          { "failed", "failed", "failed", "failed", "failed", "failed", "ok" } },

        { "overlong frame", false, [] (Amp& a, size_t, bool) { a.setOverlongMessageBeforeReplies (Amp::OverlongMessage::frame); },
          { "11''",   "11''",   "11",     "14",     "14",     "16",     "ok" },
          { "failed", "failed", "failed", "failed", "failed", "failed", "ok" } },

        { "silent on strings", false, [] (Amp& a, size_t, bool) { a.setSilentOnStringQueries (true); },
          { "ok''",   "ok''",   "ok",     "ok",     "ok",     "ok",     "ok" },
          { "ok",     "ok",     "ok",     "ok",     "ok",     "ok",     "ok" } },

        { "never back", false, [] (Amp& a, size_t, bool) { a.setNeverComeBackAfterRestart (true); },
          { "13",     "13",     "13",     "13",     "ok",     "ok",     "ok" },
          { "failed", "failed", "failed", "failed", "ok",     "ok",     "ok" } },

        { "vanish", true, [] (Amp& a, size_t index, bool) { a.vanishOnMessage (index); },
          { "none",   "11''",   "11",     "13",     "14",     "16",     "ok" },
          { "connect", "failed", "failed", "failed", "failed", "failed", "ok" } },

        { "vanish after 2 blocks", false, [] (Amp& a, size_t, bool) { a.vanishAfterBlocks (2); },
          { "16",     "16",     "16",     "16",     "16",     "16",     "ok" },
          { "failed", "failed", "failed", "failed", "failed", "failed", "ok" } },

        // A driver gone bad: from the phase on, the amplifier's ports no longer open.
        { "ports refuse to open", false, [] (Amp& a, size_t, bool) { service().refuseOpensAfter (a.getDeviceId(), 0); },
          { "none",   "13",     "13",     "13",     "ok",     "ok",     "ok" },
          { "connect", "failed", "failed", "failed", "ok",    "ok",     "ok" } },
    };

    return all;
}

} // namespace reliability
