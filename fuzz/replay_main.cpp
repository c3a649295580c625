// Runs a fuzz target over files and directories of inputs (the corpus and the
// saved crash inputs), without libFuzzer: any compiler builds it, and the tests
// run it so that an input that once failed keeps being tried.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", p.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    // Absolute first: a target may change the working directory.
    std::vector<std::filesystem::path> args;
    for (int i = 1; i < argc; ++i) args.push_back(std::filesystem::absolute(argv[i]));
    for (const auto& arg : args) {
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& e : std::filesystem::directory_iterator(arg))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (std::filesystem::exists(arg)) {
            files.push_back(arg);
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            run_file(f);
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
