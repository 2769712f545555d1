// Runs a fuzz target without libFuzzer, as a process of its own: every file of the corpus
// directories given on the command line, then seeded random inputs and mutations of the
// corpus files. It guards nothing itself: a failed check of the target aborts, which fails
// the test.

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
    std::vector<std::vector<uint8_t>> corpus;

    for (int i = 1; i < argc; ++i)
    {
        for (const auto& entry : std::filesystem::directory_iterator (argv[i]))
        {
            std::ifstream in (entry.path(), std::ios::binary);
            corpus.emplace_back (std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>());
        }
    }

    std::sort (corpus.begin(), corpus.end());   // the same runs whatever the order of the files

    // After the corpus: random inputs, mostly short, with start and end bytes frequent, and
    // corpus files with bits flipped, bytes inserted or erased, or the end cut off. Even
    // generated inputs are random, odd ones mutated corpus files.
    std::mt19937 rng (0x7a12f00du);
    const uint8_t interesting[] = { 0xF0, 0xF7, 0xB0, 0xC0, 0x00, 0x7F, 0x80, 0xFF };

    for (size_t i = 0; i < corpus.size() + 30000 && ! corpus.empty(); ++i)
    {
        const bool fromCorpus = i < corpus.size();
        const bool random = ! fromCorpus && i % 2 == 0;
        const bool mutated = ! fromCorpus && i % 2 != 0;
        auto input = fromCorpus ? corpus[i] : corpus[rng() % corpus.size()];

        if (random)
        {
            input.resize (rng() % 8 == 0 ? rng() % 4096 : rng() % 96);

            for (auto& b : input)
                b = rng() % 4 == 0 ? interesting[rng() % 8] : (uint8_t) rng();
        }

        for (auto edits = mutated ? 1 + rng() % 4 : 0; edits > 0 && ! input.empty(); --edits)
        {
            const auto at = input.begin() + (long) (rng() % input.size());

            switch (rng() % 4)
            {
                case 0:
                    *at ^= (uint8_t) (1u << (rng() % 8));
                    break;
                case 1:
                    input.insert (at, (uint8_t) rng());
                    break;
                case 2:
                    input.erase (at);
                    break;
                default:
                    input.erase (at, input.end());
                    break;
            }
        }

        // A copy of exactly the input's size, so that ASan sees reads past it.
        const std::unique_ptr<uint8_t[]> copy (new uint8_t[std::max<size_t> (input.size(), 1)]);
        std::copy (input.begin(), input.end(), copy.get());
        LLVMFuzzerTestOneInput (copy.get(), input.size());
    }

    std::fprintf (stderr, "%zu corpus files and 30000 generated inputs: no failure\n", corpus.size());
    return corpus.empty() ? 1 : 0;
}
