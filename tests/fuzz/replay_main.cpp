// Replay driver for the fuzz targets in ordinary builds (no libFuzzer): runs
// every file named on the command line, or found (recursively, in name order)
// in a directory named there, through LLVMFuzzerTestOneInput. A broken
// invariant aborts inside the target, so CTest sees the failure; the driver
// names each file before running it, so the log shows which one it was.
// A directory that does not exist counts as empty (a target may have no
// regressions yet).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    if (fs::is_directory(arg)) {
      std::vector<fs::path> found;
      for (const auto& e : fs::recursive_directory_iterator(arg))
        if (e.is_regular_file() && e.path().filename().string()[0] != '.')
          found.push_back(e.path());
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else if (fs::exists(arg)) {
      files.push_back(arg);
    }
  }
  for (const fs::path& f : files) {
    std::fprintf(stderr, "replay %s\n", f.c_str());
    std::ifstream in(f, std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    // Give the target an exact-size heap copy, as libFuzzer does, so that
    // AddressSanitizer catches a read one past the end.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[data.size() ? data.size() : 1]);
    std::copy(data.begin(), data.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), data.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
