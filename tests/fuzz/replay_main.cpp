// Without libFuzzer, a target replays the files (or the files of the folders) it is given,
// each from an exact-size heap block so that a sanitizer build catches a read past its end.
#include "fuzz_check.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const fs::directory_entry &entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER_OR_FILE...\nno inputs found\n", argv[0]);
        return 2;
    }
    for (const fs::path &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        const std::string name = path.string();
        corvane::fuzz::currentInput() = name.c_str();
        const auto block = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes.size(), 1));
        std::copy(bytes.begin(), bytes.end(), block.get());
        LLVMFuzzerTestOneInput(block.get(), bytes.size());
    }
    corvane::fuzz::currentInput() = nullptr;
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
