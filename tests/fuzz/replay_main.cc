// The main of a fuzz target in the ordinary builds: runs every file named on
// the command line (directories: every file in them, sorted) through
// LLVMFuzzerTestOneInput once, as libFuzzer does when given files. A missing
// directory is skipped; a fault aborts the run (under the sanitizers too).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path p(argv[i]);
        if (fs::is_directory(p)) {
            std::vector<fs::path> in;
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file())
                    in.push_back(e.path());
            std::sort(in.begin(), in.end());
            files.insert(files.end(), in.begin(), in.end());
        } else if (fs::exists(p))
            files.push_back(p);
    }
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A valid pointer even for an empty input, as libFuzzer passes.
        uint8_t none = 0;
        LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
