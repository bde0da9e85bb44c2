// Replays a fuzz target without libFuzzer: every file of the corpus folder
// given as argument, then a fixed series of pseudo-random inputs built by
// mutating corpus files (or from nothing). Deterministic, so a failure repeats.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::vector<uint8_t>> corpus;
    if (argc > 1 && std::filesystem::is_directory(argv[1])) {
        for (auto const& e : std::filesystem::directory_iterator(argv[1])) {
            std::ifstream in(e.path(), std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    for (auto const& c : corpus) LLVMFuzzerTestOneInput(c.data(), c.size());
    unsigned iterations = 20000;
    if (char const* env = std::getenv("X2_FUZZ_ITERATIONS")) iterations = unsigned(std::atoi(env));
    std::mt19937_64 rng(12345);
    for (unsigned i = 0; i < iterations; ++i) {
        std::vector<uint8_t> input;
        if (!corpus.empty() && rng() % 4 != 0) input = corpus[rng() % corpus.size()];
        unsigned edits = 1 + rng() % 8;
        for (unsigned e = 0; e < edits; ++e) {
            switch (rng() % 4) {
                case 0: input.push_back(uint8_t(rng())); break;
                case 1: if (!input.empty()) input[rng() % input.size()] = uint8_t(rng()); break;
                case 2: if (!input.empty()) input.erase(input.begin() + long(rng() % input.size())); break;
                case 3: if (!input.empty()) input.insert(input.begin() + long(rng() % input.size()), uint8_t(rng() % 128)); break;
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu corpus inputs and %u generated inputs passed\n", corpus.size(), iterations);
    return 0;
}
