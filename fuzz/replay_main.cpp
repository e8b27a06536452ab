// Runs a fuzz target over files without libFuzzer, so that its corpus doubles as an ordinary
// test: replay <file or directory>... Exits non-zero (the target aborts) on the first failure.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int k = 1; k < argc; ++k) {
    const std::filesystem::path arg(argv[k]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        run_file(entry.path());
        ++runs;
      }
    } else if (std::filesystem::exists(arg)) {
      run_file(arg);
      ++runs;
    } else {
      std::fprintf(stderr, "no such file or directory: %s\n", argv[k]);
      return 2;
    }
  }
  // An empty input is a valid case of every target, and guards against an empty corpus.
  LLVMFuzzerTestOneInput(nullptr, 0);
  std::printf("%zu inputs replayed\n", runs);
  return 0;
}
