// Runs a fuzz target on saved inputs without libFuzzer, so that the committed corpora (and
// every input that once found a fault) are ordinary regression tests under any compiler.
// Arguments are files or directories of files; a failing input aborts inside the target.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runFile(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                std::istreambuf_iterator<char>());
  std::fprintf(stderr, "%s\n", file.string().c_str());  // wide characters on Windows
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  for (int a = 1; a < argc; ++a) {
    const std::filesystem::path path(argv[a]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) {
          runFile(entry.path());
          ++inputs;
        }
      }
    } else if (std::filesystem::is_regular_file(path)) {
      runFile(path);
      ++inputs;
    } else {
      std::fprintf(stderr, "no such input: %s\n", argv[a]);
      return 2;
    }
  }
  std::printf("%zu inputs passed\n", inputs);
  return inputs > 0 ? 0 : 2;
}
