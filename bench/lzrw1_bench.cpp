// Compression and decompression speed of both methods through the component
// (stream mode, memory streams), over the files named on the command line.
//   lzrw1_bench FILE...
// Prints one line per file and method: ratio and MB/s (1 MB = 10^6 bytes) of
// the uncompressed size. Each figure is the best of several runs.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "lzrw1/lzrw1.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Run(const std::vector<uint8_t>& input, bool compress, TCompressMode mode,
                         double& bestSeconds) {
  std::vector<uint8_t> result;
  bestSeconds = 1e30;
  double spent = 0;
  for (int i = 0; i < 3 || spent < 1.0; ++i) {
    Tlzrw1 c;
    TMemoryStream in(input), out;
    out.Data().reserve(input.size() + input.size() / 8 + 64);
    c.UseStream = true;
    c.InputStream = &in;
    c.OutputStream = &out;
    c.CompressMode = mode;
    const auto t0 = Clock::now();
    compress ? c.Compress() : c.Decompress();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (c.Failed()) {
      std::fprintf(stderr, "lzrw1_bench: %s\n", c.FailureMessage().c_str());
      std::exit(1);
    }
    bestSeconds = std::min(bestSeconds, s);
    spent += s;
    result = std::move(out.Data());
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: lzrw1_bench FILE...\n");
    return 2;
  }
  std::printf("%-28s %-5s %12s %12s %7s %10s %10s\n", "file", "mode", "size", "packed", "ratio",
              "comp MB/s", "dec MB/s");
  for (int a = 1; a < argc; ++a) {
    std::ifstream f(argv[a], std::ios::binary);
    if (!f) {
      std::fprintf(stderr, "lzrw1_bench: cannot read %s\n", argv[a]);
      return 1;
    }
    const std::vector<uint8_t> data(std::istreambuf_iterator<char>(f), {});
    for (TCompressMode mode : {TCompressMode::Fast, TCompressMode::Good}) {
      double cs = 0, ds = 0;
      const std::vector<uint8_t> packed = Run(data, true, mode, cs);
      const std::vector<uint8_t> back = Run(packed, false, mode, ds);
      if (back != data) {
        std::fprintf(stderr, "lzrw1_bench: %s does not round-trip\n", argv[a]);
        return 1;
      }
      const double mb = static_cast<double>(data.size()) / 1e6;
      std::printf("%-28s %-5s %12zu %12zu %7.3f %10.1f %10.1f\n", argv[a],
                  mode == TCompressMode::Fast ? "fast" : "good", data.size(), packed.size(),
                  data.empty() ? 0.0 : double(packed.size()) / double(data.size()), mb / cs,
                  mb / ds);
    }
  }
  return 0;
}
