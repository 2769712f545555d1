#include "Constants.h"

#include "BinaryData.h"

#include <array>
#include <map>
#include <mutex>
#include <utility>

namespace constant
{
namespace
{
juce::Typeface::Ptr makeTypeface (const unsigned char* data, int size)
{
    return juce::Typeface::createSystemTypefaceFor (data, (size_t) size);
}

juce::Typeface::Ptr makeTypeface (EmbeddedFont::Face face)
{
    switch (face)
    {
        case EmbeddedFont::Face::robotoBold:
            return makeTypeface (BinaryData::temp_binary_data_4, BinaryData::temp_binary_data_4Size);
        case EmbeddedFont::Face::robotoMedium:
            return makeTypeface (BinaryData::temp_binary_data_5, BinaryData::temp_binary_data_5Size);
        case EmbeddedFont::Face::robotoRegular:
            break;
    }

    return makeTypeface (BinaryData::temp_binary_data_6, BinaryData::temp_binary_data_6Size);
}

// Fonts are handed out by reference, so each is made once and kept. The store goes with
// the framework's shutdown rather than with the static objects at exit: the typefaces
// belong to the framework's font engine, which must still be there when they go.
class FontStore final : public juce::DeletedAtShutdown
{
public:
    ~FontStore() override { clearSingletonInstance(); }

    const juce::Font& fontFor (EmbeddedFont::Face face, float height)
    {
        const std::lock_guard<std::mutex> guard (lock);
        const auto key = std::make_pair (face, height);
        auto found = fonts.find (key);

        // Map nodes never move, so references stay valid while others are added.
        if (found == fonts.end())
        {
            juce::Font font (typefaceFor (face));
            font.setHeight (height);
            found = fonts.emplace (key, font).first;
        }

        return found->second;
    }

    JUCE_DECLARE_SINGLETON (FontStore, false)

private:
    const juce::Typeface::Ptr& typefaceFor (EmbeddedFont::Face face)
    {
        auto& typeface = typefaces[(size_t) face];

        if (typeface == nullptr)
            typeface = makeTypeface (face);

        return typeface;
    }

    std::mutex lock;
    std::array<juce::Typeface::Ptr, 3> typefaces;
    std::map<std::pair<EmbeddedFont::Face, float>, juce::Font> fonts;
};
} // namespace

const juce::Font& EmbeddedFont::get() const
{
    return FontStore::getInstance()->fontFor (face, height);
}

JUCE_IMPLEMENT_SINGLETON (FontStore)
} // namespace constant
