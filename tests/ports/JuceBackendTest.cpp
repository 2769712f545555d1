#include "MidiPorts.h"

#include <gtest/gtest.h>

namespace
{
struct NullCallback final : public midi::InputCallback
{
    void handleIncomingMidiMessage (midi::Input*, const juce::MidiMessage&) override {}
};
} // namespace

// These machines have no MIDI service: the JUCE backend must say so with empty lists,
// refuse to open, and keep the platform's complaints off standard error.
TEST (JuceBackend, WithoutAMidiServiceListsNothingOpensNothingAndPrintsNothing)
{
    if (juce::File ("/dev/snd/seq").exists())
        GTEST_SKIP() << "this machine has a MIDI service";

    testing::internal::CaptureStderr();

    auto backend = midi::createJuceBackend();
    ASSERT_NE (backend, nullptr);
    NullCallback callback;
    const auto inputs = backend->getInputNames();
    const auto outputs = backend->getOutputNames();
    auto in = backend->openInput (0, &callback);
    auto out = backend->openOutput (0);
    auto inAgain = backend->openInput (0, &callback);

    const auto err = testing::internal::GetCapturedStderr();

    EXPECT_TRUE (inputs.isEmpty());
    EXPECT_TRUE (outputs.isEmpty());
    EXPECT_EQ (in, nullptr);
    EXPECT_EQ (out, nullptr);
    EXPECT_EQ (inAgain, nullptr);
    EXPECT_EQ (err, "");
}

TEST (JuceBackend, RefusesANullCallbackAndIndicesOutOfRange)
{
    testing::internal::CaptureStderr();
    auto backend = midi::createJuceBackend();
    EXPECT_EQ (backend->openInput (0, nullptr), nullptr);
    NullCallback callback;
    EXPECT_EQ (backend->openInput (-1, &callback), nullptr);
    EXPECT_EQ (backend->openOutput (-1), nullptr);
    EXPECT_EQ (backend->openInput (backend->getInputNames().size(), &callback), nullptr);
    EXPECT_EQ (testing::internal::GetCapturedStderr(), "");
}
