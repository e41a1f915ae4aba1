// Replays a fuzz corpus through a target without libFuzzer: every file under
// the given folders (or the files given) is one input. CTest runs this under
// the ordinary and the sanitizer builds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int run_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    // Prefixes too: a line can cut any input off anywhere. Every one of the
    // first 128 bytes, then 128 cuts spread over the rest, so that long inputs
    // (a database file, a scenario, many cycles of a line) replay quickly.
    const std::size_t size = bytes.size();
    const std::size_t step = size > 128 ? std::max<std::size_t>(1, (size - 128) / 128) : 1;
    for (std::size_t n = 0; n <= size; n += n < 128 ? 1 : step) LLVMFuzzerTestOneInput(data, n);
    if (size > 128) LLVMFuzzerTestOneInput(data, size);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
                if (e.is_regular_file()) count += run_file(e.path());
            }
        } else if (std::filesystem::is_regular_file(p)) {
            count += run_file(p);
        } else {
            std::fprintf(stderr, "replay: no such input: %s\n", argv[i]);
            return 2;
        }
    }
    std::fprintf(stderr, "replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
