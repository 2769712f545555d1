#pragma once

#include <cstdint>
#include <map>
#include <string>

/*  Seven-bit packing of SysEx data, and the amplifier's vocabulary tables. */
namespace JwSysEx
{

/** Packs len bytes from in into out, seven bits to the byte: each group of up to 7
    input bytes becomes a header byte (bit i = bit 7 of the group's byte i) followed by
    the group's bytes with bit 7 cleared. out must hold len + ceil(len / 7) bytes.
    Returns the number of bytes written. */
unsigned int SetupMidiDataFromGeneralData (uint8_t* out, const uint8_t* in, unsigned int len);

/** Read-only views of the vocabulary tables. Nothing in the updater consults them;
    they exist so that their contents can be checked. */
struct VocabularyMaps
{
    const std::map<std::string, int>& fxStringId;
    const std::map<std::string, int>& ampUiTypeStringId;
    const std::map<std::string, int>& knobStringId;
    const std::map<int, std::string>& fxIdString;
    const std::map<int, std::string>& ampUiTypeIdString;
    const std::map<int, std::string>& knobIdString;
};

VocabularyMaps vocabularyMaps();

} // namespace JwSysEx
