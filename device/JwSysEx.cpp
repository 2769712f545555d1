#include "JwSysEx.h"

#include <initializer_list>
#include <utility>

namespace JwSysEx
{

unsigned int SetupMidiDataFromGeneralData (uint8_t* out, const uint8_t* in, unsigned int len)
{
    unsigned int written = 0;

    for (unsigned int pos = 0; pos < len; pos += 7)
    {
        const unsigned int groupSize = (len - pos < 7) ? len - pos : 7;
        uint8_t header = 0;

        for (unsigned int i = 0; i < groupSize; ++i)
        {
            const auto byte = in[pos + i];
            header = (uint8_t) (header | ((byte >> 7) << i));
            out[written + 1 + i] = (uint8_t) (byte & 0x7F);
        }

        out[written] = header;
        written += groupSize + 1;
    }

    return written;
}

namespace
{
// Rows in their construction order; a map keeps the first row of a repeated key.
template <typename Key, typename Value>
std::map<Key, Value> buildMap (std::initializer_list<std::pair<Key, Value>> rows)
{
    std::map<Key, Value> result;

    for (const auto& row : rows)
        result.insert (row);

    return result;
}

template <typename Key, typename Value>
std::map<Value, Key> reversed (std::initializer_list<std::pair<Key, Value>> rows)
{
    std::map<Value, Key> result;

    for (const auto& row : rows)
        result.insert ({ row.second, row.first });

    return result;
}

using Rows = std::initializer_list<std::pair<std::string, int>>;

const Rows fxRows {
    { "vexa.preamp", 0 }, { "vexa.crunchpreamp", 1 }, { "vexa.glassypreamp", 2 },
    { "vexa.metalpreamp", 3 }, { "vexa.eq1", 4 }, { "vexa.eq2", 5 },
    { "vexa.peaveyeq1", 6 }, { "vexa.peaveyeq2", 7 }, { "vexa.poweramp", 8 },
    { "vexa.crunchpoweramp", 9 }, { "vexa.glassypoweramp", 10 }, { "vexa.metalpoweramp", 11 },
    { "vexa.tonestack", 12 }, { "vexa.transformer", 13 }, { "vexa.cab", 14 },
    { "vexa.bdeq1", 15 }, { "vexa.bdeq2", 16 }, { "vexa.eq1", 17 }, { "vexa.eq2", 18 },
    { "vexa.predistortion", 19 }, { "vexa.postdistortion", 20 }, { "vexa.filter1", 21 },
    { "vexa.power", 22 }, { "vexa.CabAMCombine", 23 }, { "vexa.IRLoader", 24 },
    { "vexa.noisegate", 25 }, { "vexa.filter2", 26 }, { "vexa.toneStage", 27 },
    { "vexa.standardDelay", 28 }, { "vexa.slapbackDelay", 29 }, { "vexa.tapeDelay", 30 },
    { "vexa.reverseDelay", 32 }, { "vexa.pingpongDelay", 33 }, { "vexa.chorusMod", 34 },
    { "vexa.vibratoMod", 35 }, { "vexa.flangerMod", 36 }, { "vexa.phaserMod", 37 },
    { "vexa.rotaryMod", 38 }, { "vexa.toneMatching", 39 }, { "vexa.tremoloMod", 40 },
    { "vexa.panMod", 41 }, { "vexa.ringMod", 42 }, { "vexa.autoswellMod", 43 },
    { "vexa.reverb", 44 }, { "vexa.bluespreamp", 45 }, { "vexa.basspreamp", 46 },
    { "vexa.bluespoweramp", 47 }, { "vexa.basspoweramp", 48 }, { "vexa.cab2", 49 },
    { "vexa.cab2celestion", 50 },
};

const Rows ampUiTypeRows {
    { "none", 0 }, { "700RB ll", 1 }, { "5153", 2 }, { "AC 30", 3 }, { "Acoustic", 4 },
    { "AD 200", 5 }, { "Bass 360", 6 }, { "Black Duo", 7 }, { "Black Lux", 8 },
    { "Blue Line", 9 }, { "Fireball", 10 }, { "Hiway 103", 11 }, { "Lanne 50", 12 },
    { "Lead 800", 13 }, { "Lead 900", 14 }, { "Loomis Metal", 15 }, { "Match 30", 16 },
    { "Merrow 5153", 17 }, { "Merrow Fire", 18 }, { "Ola Peace", 19 }, { "Ola War", 20 },
    { "OR 30", 21 }, { "PhD Z", 22 }, { "Plexiglas", 23 }, { "RB-101", 24 },
    { "RB-800", 25 }, { "Red", 26 }, { "Super Bass", 27 }, { "Treadplate", 28 },
    { "Tube Power", 29 }, { "Tweed Bass", 30 }, { "Tweed Lux", 31 },
};

const Rows knobRows {
    { "Acoustic360", 0 }, { "BlackFace", 1 }, { "BossRV5", 2 }, { "EchoplexTape", 3 },
    { "Flanger", 4 }, { "GK700RBII", 5 }, { "Marshall", 6 }, { "MarshallGolden", 7 },
    { "Mesa", 8 }, { "Orange", 9 }, { "TS909", 10 },
};

// Built during static initialisation in this order, destroyed in reverse at exit.
const std::map<std::string, int> fx_string_id_        = buildMap (fxRows);
const std::map<std::string, int> ampuitype_string_id_ = buildMap (ampUiTypeRows);
const std::map<std::string, int> konb_string_id_      = buildMap (knobRows);
const std::map<int, std::string> fx_id_string_        = reversed (fxRows);
const std::map<int, std::string> ampuitype_id_string_ = reversed (ampUiTypeRows);
const std::map<int, std::string> knob_id_string_      = reversed (knobRows);
} // namespace

VocabularyMaps vocabularyMaps()
{
    return { fx_string_id_, ampuitype_string_id_, konb_string_id_,
             fx_id_string_, ampuitype_id_string_, knob_id_string_ };
}

} // namespace JwSysEx
