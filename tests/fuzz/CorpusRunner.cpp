// Runs a fuzz target without libFuzzer: every file of the corpus directories given on the
// command line, then seeded random inputs and mutations of the corpus files. A failed
// check aborts, which fails the test.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

int main (int argc, char** argv)
{
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i)
        for (const auto& entry : std::filesystem::directory_iterator (argv[i]))
            files.push_back (entry.path());
    std::sort (files.begin(), files.end());
    std::vector<std::vector<uint8_t>> corpus;
    for (const auto& file : files)
    {
        std::ifstream in (file, std::ios::binary);
        corpus.emplace_back (std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>());
    }

    // Random inputs are mostly short, with start and end bytes frequent; a mutation flips
    // bits, inserts, erases or cuts off bytes.
    std::mt19937 rng (0x7a12f00du);
    constexpr uint8_t interesting[] = { 0xF0, 0xF7, 0xB0, 0xC0, 0x00, 0x7F, 0x80, 0xFF };
    constexpr size_t generated = 30000;
    for (size_t i = 0; i < corpus.size() + generated && ! corpus.empty(); ++i)
    {
        auto input = i < corpus.size() ? corpus[i] : corpus[rng() % corpus.size()];
        if (i >= corpus.size() && i % 2 == 0)
            for (auto& b : (input = std::vector<uint8_t> (rng() % 8 == 0 ? rng() % 4096 : rng() % 96)))
                b = rng() % 4 == 0 ? interesting[rng() % 8] : (uint8_t) rng();
        for (auto edits = i < corpus.size() || i % 2 == 0 ? 0 : 1 + rng() % 4; edits-- > 0 && ! input.empty();)
        {
            const auto at = input.begin() + (long) (rng() % input.size());
            const auto kind = rng() % 4;
            kind == 0 ? (void) (*at ^= (uint8_t) (1u << (rng() % 8))) : kind == 1 ? (void) input.insert (at, (uint8_t) rng())
                : kind == 2 ? (void) input.erase (at) : (void) input.erase (at, input.end());
        }
        // A copy of exactly the input's size, so that ASan sees reads past it.
        const std::unique_ptr<uint8_t[]> copy (new uint8_t[std::max<size_t> (input.size(), 1)]);
        std::copy (input.begin(), input.end(), copy.get());
        LLVMFuzzerTestOneInput (copy.get(), input.size());
    }
    std::fprintf (stderr, "%zu corpus files and %zu generated inputs: no failure\n", corpus.size(), generated);
    return corpus.empty() ? 1 : 0;
}
