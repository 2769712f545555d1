// Host tool: draws the front of the amplifier for the top of the window.
//
//   MakeAmpPicture <output.png> <badge-font.ttf>
//
// The picture is 754 x 422 with an alpha channel: the cabinet's rounded upper corners and
// the strip under the cabinet between its feet are left fully transparent, so that the
// window's own background shows there. Every random choice uses a fixed seed, so the same
// inputs give the same PNG.

#include <juce_events/juce_events.h>
#include <juce_graphics/juce_graphics.h>

#include <cmath>
#include <cstdio>

namespace
{
constexpr int width = 754;
constexpr int height = 422;
constexpr float footHeight = 14.0f;
constexpr float cabinetBottom = (float) height - footHeight;
constexpr float cornerRadius = 30.0f;

const juce::Point<float> speakerCentres[] = { { 228.0f, 212.0f }, { 526.0f, 212.0f } };
constexpr float speakerRadius = 136.0f;

juce::Path cabinetOutline()
{
    // One pixel past the image's edges, so that anti-aliasing leaves the edge pixels opaque.
    juce::Path p;
    p.addRoundedRectangle (-1.0f, -1.0f, (float) width + 2.0f, cabinetBottom + 1.0f, cornerRadius, cornerRadius,
                           true, true, false, false);
    return p;
}

// Tolex: near-black with a fine grain, lit a little from above.
void drawCabinet (juce::Graphics& g)
{
    const auto outline = cabinetOutline();
    juce::Image grain (juce::Image::ARGB, width, height, true);
    juce::Random random (0x7a11);

    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
        {
            const auto level = (juce::uint8) (26 + random.nextInt (9));
            grain.setPixelAt (x, y, juce::Colour (level, level, (juce::uint8) (level + 2)));
        }

    {
        juce::Graphics::ScopedSaveState state (g);
        g.reduceClipRegion (outline);
        g.drawImageAt (grain, 0, 0);
        g.setGradientFill (juce::ColourGradient (juce::Colours::white.withAlpha (0.07f), 0.0f, 0.0f,
                                                 juce::Colours::black.withAlpha (0.25f), 0.0f, cabinetBottom,
                                                 false));
        g.fillPath (outline);
    }

    // A soft highlight along the top edge, where the light catches the covering's fold.
    juce::Path rim;
    rim.addRoundedRectangle (1.5f, 1.5f, (float) width - 3.0f, cabinetBottom - 3.0f,
                             cornerRadius - 1.5f, cornerRadius - 1.5f, true, true, false, false);
    g.setGradientFill (juce::ColourGradient (juce::Colours::white.withAlpha (0.22f), 0.0f, 0.0f,
                                             juce::Colours::white.withAlpha (0.0f), 0.0f, 120.0f, false));
    g.strokePath (rim, juce::PathStrokeType (2.0f));
}

// Perforated metal over two speakers: the holes show the cones, darker at their centres.
void drawGrille (juce::Graphics& g, juce::Rectangle<float> area)
{
    constexpr float corner = 12.0f;

    // Recess shadow around the grille frame.
    for (int i = 6; i > 0; --i)
    {
        g.setColour (juce::Colours::black.withAlpha (0.09f));
        g.fillRoundedRectangle (area.expanded ((float) i * 0.8f).translated (0.0f, 1.5f), corner + (float) i);
    }

    juce::Path face;
    face.addRoundedRectangle (area, corner);

    juce::Graphics::ScopedSaveState state (g);
    g.reduceClipRegion (face);

    g.setGradientFill (juce::ColourGradient (juce::Colour (0xff4a4b4f), area.getX(), area.getY(),
                                             juce::Colour (0xff2b2c2f), area.getX(), area.getBottom(), false));
    g.fillRect (area);

    constexpr float pitch = 9.0f;
    constexpr float holeRadius = 3.1f;
    const float rowStep = pitch * 0.866f;
    int row = 0;

    for (float y = area.getY() + 4.0f; y < area.getBottom() + pitch; y += rowStep, ++row)
    {
        const float offset = (row % 2) ? pitch * 0.5f : 0.0f;

        for (float x = area.getX() + 2.0f + offset; x < area.getRight() + pitch; x += pitch)
        {
            float shade = 0.0f;

            for (auto centre : speakerCentres)
            {
                const auto d = centre.getDistanceFrom ({ x, y }) / speakerRadius;

                if (d < 1.0f)
                {
                    // A bright surround ring, a darker cone and a dust cap in the middle.
                    const auto ring = std::exp (-std::pow ((d - 0.9f) / 0.06f, 2.0f));
                    const auto cap = std::exp (-std::pow (d / 0.16f, 2.0f));
                    shade = juce::jmax (shade, 0.5f * ring + 0.35f * cap + 0.12f * (1.0f - d));
                }
            }

            const auto base = juce::Colour (0xff0c0c0e).interpolatedWith (juce::Colour (0xff5a5c62), shade);
            g.setColour (base);
            g.fillEllipse (x - holeRadius, y - holeRadius, holeRadius * 2.0f, holeRadius * 2.0f);
        }
    }

    // Light falls from above: the upper edge of the recess casts a shadow on the metal.
    g.setGradientFill (juce::ColourGradient (juce::Colours::black.withAlpha (0.45f), 0.0f, area.getY(),
                                             juce::Colours::transparentBlack, 0.0f, area.getY() + 22.0f, false));
    g.fillRect (area);
    g.setGradientFill (juce::ColourGradient (juce::Colours::transparentBlack, area.getCentreX(), area.getCentreY(),
                                             juce::Colours::black.withAlpha (0.35f), area.getX(), area.getY(), true));
    g.fillRect (area);
}

// The thin silver piping that frames the grille.
void drawPiping (juce::Graphics& g, juce::Rectangle<float> area)
{
    g.setColour (juce::Colour (0xff9fa1a6));
    g.drawRoundedRectangle (area.expanded (4.0f), 15.0f, 1.6f);
    g.setColour (juce::Colours::black.withAlpha (0.5f));
    g.drawRoundedRectangle (area.expanded (5.6f).translated (0.0f, 1.0f), 16.5f, 0.8f);
}

void drawBadge (juce::Graphics& g, juce::Rectangle<float> plate, const juce::Typeface::Ptr& typeface)
{
    g.setColour (juce::Colours::black.withAlpha (0.55f));
    g.fillRoundedRectangle (plate.translated (0.0f, 2.0f).expanded (1.0f), 5.0f);

    juce::ColourGradient brushed (juce::Colour (0xffe9eaec), plate.getX(), plate.getY(),
                                  juce::Colour (0xff8d9096), plate.getX(), plate.getBottom(), false);
    brushed.addColour (0.45, juce::Colour (0xffc6c8cc));
    brushed.addColour (0.55, juce::Colour (0xffa9acb1));
    g.setGradientFill (brushed);
    g.fillRoundedRectangle (plate, 4.0f);

    g.setColour (juce::Colour (0xff505257));
    g.drawRoundedRectangle (plate.reduced (0.5f), 4.0f, 1.0f);
    g.setColour (juce::Colours::white.withAlpha (0.6f));
    g.drawHorizontalLine ((int) plate.getY() + 1, plate.getX() + 4.0f, plate.getRight() - 4.0f);

    auto font = typeface != nullptr ? juce::Font (typeface) : juce::Font();
    font = font.withHeight (plate.getHeight() * 0.68f).withExtraKerningFactor (0.16f);
    g.setFont (font);
    g.setColour (juce::Colour (0xff1b1c1f));
    g.drawText ("TARVO", plate.translated (1.5f, 0.5f), juce::Justification::centred, false);
}

// A small green power lamp in the lower right corner of the front.
void drawPowerLamp (juce::Graphics& g, juce::Point<float> centre)
{
    g.setGradientFill (juce::ColourGradient (juce::Colour (0xff8bff9c).withAlpha (0.55f), centre,
                                             juce::Colours::transparentBlack, centre.translated (10.0f, 0.0f), true));
    g.fillEllipse (juce::Rectangle<float> (20.0f, 20.0f).withCentre (centre));
    g.setColour (juce::Colour (0xff1d1e20));
    g.fillEllipse (juce::Rectangle<float> (7.0f, 7.0f).withCentre (centre));
    g.setColour (juce::Colour (0xff7dffa0));
    g.fillEllipse (juce::Rectangle<float> (4.5f, 4.5f).withCentre (centre));
}

void drawFeet (juce::Graphics& g)
{
    for (auto x : { 26.0f, (float) width - 26.0f - 72.0f })
    {
        juce::Rectangle<float> foot (x, cabinetBottom - 4.0f, 72.0f, footHeight + 4.0f);
        g.setGradientFill (juce::ColourGradient (juce::Colour (0xff26272a), 0.0f, foot.getY(),
                                                 juce::Colour (0xff0e0e10), 0.0f, foot.getBottom(), false));
        juce::Path p;
        p.addRoundedRectangle (foot.getX(), foot.getY(), foot.getWidth(), foot.getHeight(), 4.0f, 4.0f,
                               false, false, true, true);
        g.fillPath (p);
    }
}

juce::Image drawAmplifier (const juce::Typeface::Ptr& badgeTypeface)
{
    // The rasteriser leaves an image's last column slightly translucent, so the drawing
    // goes onto a canvas one pixel wider on each side and the picture is cut out of it.
    juce::Image canvas (juce::Image::ARGB, width + 2, height, true);
    juce::Graphics g (canvas);
    g.setOrigin (1, 0);

    drawFeet (g);
    drawCabinet (g);

    const juce::Rectangle<float> grille (34.0f, 34.0f, (float) width - 68.0f, cabinetBottom - 70.0f);
    drawGrille (g, grille);
    drawPiping (g, grille);
    drawBadge (g, { grille.getX() + 20.0f, grille.getY() + 18.0f, 92.0f, 26.0f }, badgeTypeface);
    drawPowerLamp (g, { grille.getRight() - 6.0f, cabinetBottom - 18.0f });

    return canvas.getClippedImage ({ 1, 0, width, height }).createCopy();
}
} // namespace

int main (int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf (stderr, "usage: %s <output.png> <badge-font.ttf>\n", argv[0]);
        return 2;
    }

    juce::ScopedJuceInitialiser_GUI juce;

    juce::MemoryBlock fontData;

    if (! juce::File (argv[2]).loadFileAsData (fontData))
    {
        std::fprintf (stderr, "%s: cannot read %s\n", argv[0], argv[2]);
        return 1;
    }

    const auto typeface = juce::Typeface::createSystemTypefaceFor (fontData.getData(), fontData.getSize());
    const auto image = drawAmplifier (typeface);

    juce::MemoryOutputStream png;

    if (! juce::PNGImageFormat().writeImageToStream (image, png)
        || ! juce::File (argv[1]).replaceWithData (png.getData(), png.getDataSize()))
    {
        std::fprintf (stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }

    return 0;
}
