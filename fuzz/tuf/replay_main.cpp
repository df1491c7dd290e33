// Replays fuzz inputs (files, or every file in the folders given) through
// LLVMFuzzerTestOneInput without libFuzzer, so every build exercises the corpus.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        struct stat status {};
        if (::stat(argv[i], &status) != 0) {
            std::fprintf(stderr, "replay: %s: not found\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(status.st_mode)) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        DIR* folder = ::opendir(argv[i]);
        while (folder != nullptr) {
            const dirent* found = ::readdir(folder);
            if (found == nullptr) break;
            const std::string name = std::string(argv[i]) + "/" + found->d_name;
            if (::stat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode)) inputs.push_back(name);
        }
        if (folder != nullptr) ::closedir(folder);
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::string& name : inputs) {
        std::ifstream in(name, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
