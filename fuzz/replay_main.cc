// Runs a fuzz target once over every file of the given directories or files, for builds
// without the fuzzing engine, so that the collected inputs stay regression tests everywhere.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

namespace
{

bool replay_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path path = argv[i];
        std::error_code error;
        if (!std::filesystem::is_directory(path, error)) {
            if (!replay_file(path))
                return 1;
            replayed++;
            continue;
        }

        // In name order, so that a failing run is repeated the same way.
        std::vector<std::filesystem::path> files;
        for (const auto &item : std::filesystem::directory_iterator(path))
            if (item.is_regular_file())
                files.push_back(item.path());
        std::sort(files.begin(), files.end());
        for (const auto &file : files) {
            if (!replay_file(file))
                return 1;
            replayed++;
        }
    }

    if (replayed == 0) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::fprintf(stderr, "replayed %d inputs\n", replayed);
    return 0;
}
