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

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes readFile (const std::filesystem::path& path)
{
    std::ifstream in (path, std::ios::binary);
    return Bytes (std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>());
}

void run (const Bytes& input)
{
    // A copy of exactly the input's size, so that reads past it are caught by ASan.
    const auto copy = std::make_unique<uint8_t[]> (input.size() + (input.empty() ? 1 : 0));
    std::copy (input.begin(), input.end(), copy.get());
    LLVMFuzzerTestOneInput (copy.get(), input.size());
}

Bytes randomInput (std::mt19937& rng)
{
    // Mostly short inputs, sometimes long ones, with start and end bytes frequent.
    static const uint8_t interesting[] = { 0xF0, 0xF7, 0xB0, 0xC0, 0x00, 0x7F, 0x80, 0xFF };
    const size_t size = (rng() % 8 == 0) ? rng() % 4096 : rng() % 96;
    Bytes out (size);

    for (auto& b : out)
        b = (rng() % 4 == 0) ? interesting[rng() % std::size (interesting)] : (uint8_t) rng();

    return out;
}

Bytes mutate (Bytes input, std::mt19937& rng)
{
    const auto edits = 1 + rng() % 4;

    for (unsigned e = 0; e < edits; ++e)
    {
        switch (rng() % 4)
        {
            case 0: if (! input.empty()) input[rng() % input.size()] ^= (uint8_t) (1u << (rng() % 8)); break;
            case 1: input.insert (input.begin() + (std::ptrdiff_t) (input.empty() ? 0 : rng() % input.size()), (uint8_t) rng()); break;
            case 2: if (! input.empty()) input.erase (input.begin() + (std::ptrdiff_t) (rng() % input.size())); break;
            default: if (! input.empty()) input.resize (rng() % input.size()); break;
        }
    }

    return input;
}
} // namespace

int main (int argc, char** argv)
{
    std::vector<Bytes> corpus;

    for (int i = 1; i < argc; ++i)
    {
        const std::filesystem::path path (argv[i]);

        if (std::filesystem::is_directory (path))
        {
            std::vector<std::filesystem::path> files;

            for (const auto& entry : std::filesystem::directory_iterator (path))
                if (entry.is_regular_file())
                    files.push_back (entry.path());

            std::sort (files.begin(), files.end());

            for (const auto& file : files)
                corpus.push_back (readFile (file));
        }
        else if (std::filesystem::is_regular_file (path))
        {
            corpus.push_back (readFile (path));
        }
        else
        {
            std::printf ("no such corpus: %s\n", argv[i]);
            return 1;
        }
    }

    if (corpus.empty())
    {
        std::printf ("the corpus is empty\n");
        return 1;
    }

    for (const auto& input : corpus)
        run (input);

    std::mt19937 rng (0x7a12f00du);
    constexpr int randomInputs = 3000, mutations = 3000;

    for (int i = 0; i < randomInputs; ++i)
        run (randomInput (rng));

    for (int i = 0; i < mutations; ++i)
        run (mutate (corpus[rng() % corpus.size()], rng));

    std::printf ("%zu corpus files, %d random inputs and %d mutations: no failure\n",
                 corpus.size(), randomInputs, mutations);
    return 0;
}
