#pragma once

#include <juce_graphics/juce_graphics.h>

namespace constant
{
// Plain values: building them needs nothing from the framework.
inline const juce::Colour NORMAL_TEXT_COLOUR { 0xffc8c8c8 };
inline const juce::Colour LABEL_TEXT_COLOUR { 0xff737373 };
inline const juce::Colour ACTION_BUTTON_BACKGROUND_COLOUR { 0xff282828 };
inline const juce::Colour SPLITTER_LINE_COLOUR { 0x80424242 };
inline const juce::Colour TOAST_BACKGROUND_COLOUR { 0xff404040 };

/** One of the window's three fonts, made from an embedded typeface.

    A typeface must not be made before the framework is up, and static initialisation
    runs before it, so the name only stands for the font: the font itself is made on
    first use (thread-safely) and lives until the process ends. The name converts to
    a `const juce::Font&` wherever one is expected.
*/
class EmbeddedFont
{
public:
    enum class Face
    {
        robotoBold,
        robotoMedium,
        robotoRegular
    };

    constexpr EmbeddedFont (Face faceToUse, float heightToUse) noexcept
        : face (faceToUse), height (heightToUse)
    {
    }

    const juce::Font& get() const;

    operator const juce::Font&() const { return get(); }
    const juce::Font* operator->() const { return &get(); }

    const Face face;
    const float height;
};

inline constexpr EmbeddedFont DEFAULT_TEXT_FONT { EmbeddedFont::Face::robotoMedium, 14.0f };
inline constexpr EmbeddedFont EDIT_TEXT_FONT { EmbeddedFont::Face::robotoRegular, 16.0f };
inline constexpr EmbeddedFont EDIT_LABEL_FONT { EmbeddedFont::Face::robotoBold, 14.0f };
} // namespace constant
