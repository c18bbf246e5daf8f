// Driver for fuzz targets built without libFuzzer: replays every file of the corpus
// directories given on the command line, then a fixed number of inputs made by mutating
// them with a fixed seed, so a short, repeatable run is part of the test suite.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int DRIVER_GENERATED_INPUTS = 20000;
constexpr size_t DRIVER_MAX_LENGTH = 70000;

std::vector<std::vector<uint8_t>> load_corpus(int argc, char** argv) {
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; i++) {
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr)
            continue;
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
        }
        closedir(dir);
    }
    if (corpus.empty())
        corpus.emplace_back();
    return corpus;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::vector<uint8_t>> corpus = load_corpus(argc, argv);
    for (const auto& input : corpus)
        LLVMFuzzerTestOneInput(input.data(), input.size());

    std::mt19937 rng(20261206);
    for (int n = 0; n < DRIVER_GENERATED_INPUTS; n++) {
        std::vector<uint8_t> input = corpus[rng() % corpus.size()];
        int edits = 1 + rng() % 8;
        for (int e = 0; e < edits; e++) {
            switch (rng() % 4) {
                case 0:  // flip a byte
                    if (!input.empty())
                        input[rng() % input.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
                    break;
                case 1:  // cut
                    if (!input.empty())
                        input.resize(rng() % input.size());
                    break;
                case 2:  // insert a byte
                    if (input.size() < DRIVER_MAX_LENGTH)
                        input.insert(input.begin() + (input.empty() ? 0 : rng() % input.size()),
                                     static_cast<uint8_t>(rng()));
                    break;
                default:  // overwrite a 32-bit word with an edge value
                    if (input.size() >= 4) {
                        static const uint32_t edges[] = {0, 1, 11, 12, 13, 0x40000, 0xFFFFFFFF,
                                                         0x444C5331, 0x31534C44};
                        uint32_t v = edges[rng() % (sizeof edges / sizeof edges[0])];
                        size_t at = rng() % (input.size() - 3);
                        for (int b = 0; b < 4; b++)
                            input[at + b] = static_cast<uint8_t>(v >> (8 * b));
                    }
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("%zu corpus inputs and %d generated inputs ran\n", corpus.size(),
           DRIVER_GENERATED_INPUTS);
    return 0;
}
