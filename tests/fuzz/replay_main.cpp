// Runs a fuzz target's LLVMFuzzerTestOneInput once on every file named on the
// command line or found (not recursively) in a directory named there: the
// seed corpus and the regression inputs, as an ordinary test in any build.
// A target reports a fault by aborting, so reaching the end is the pass.
// Fails when a path cannot be read or when no input was found at all.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Targets without their own initialisation get this one (a weak default).
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***) { return 0; }

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exactly sized heap copy, so that a read past the input shows.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), data.size());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      if (error) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", path.c_str(), error.message().c_str());
        return 1;
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        if (!RunFile(file)) return 1;
        ++inputs;
      }
    } else {
      if (!RunFile(path)) return 1;
      ++inputs;
    }
  }
  if (inputs == 0) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  std::fprintf(stderr, "replay: %zu inputs passed\n", inputs);
  return 0;
}
