// Writes the seed corpora of the fuzz targets: a few small, real inputs per
// target, made with the codecs, the component and the archive writer.
//
//   fuzz_seed_gen <corpus directory>     (tests/fuzz/corpus in the source tree)
//
// Each target's directory is emptied and written anew; the output depends on
// nothing but this program, so running it again changes nothing unless the
// formats changed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "archive/archive_writer.h"
#include "fuzz_support.h"
#include "lzh/lzh.h"
#include "lzrw1/lzrw1.h"
#include "lzrw1kh/lzrw1kh.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Text(std::size_t size) {
  static const char words[] =
      "the installer unpacks every file of its archive into the target directory ";
  Bytes out;
  uint32_t state = 7;
  while (out.size() < size) {
    state = state * 1103515245u + 12345u;
    const std::size_t from = (state >> 16) % (sizeof words - 12);
    for (std::size_t i = from; i < from + 11 && out.size() < size; ++i) out.push_back(words[i]);
  }
  return out;
}

Bytes Noise(std::size_t size, uint32_t seed) {
  Bytes out(size);
  for (auto& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return out;
}

// Runs of equal bytes mixed with short literal stretches: run items and
// matches of every length.
Bytes Runs(std::size_t size) {
  Bytes out;
  uint8_t v = 'a';
  for (std::size_t len = 1; out.size() < size; len = len % 40 + 3, ++v)
    out.insert(out.end(), std::min(len, size - out.size()), v);
  return out;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void Write(const fs::path& file, const Bytes& data) {
  fs::create_directories(file.parent_path());
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", file.c_str());
    std::exit(1);
  }
}

Bytes ReadAll(const fs::path& file) {
  std::ifstream f(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

Bytes Block(const Bytes& data) {
  TLZR codec;
  Bytes out(data.size() + TLZR::CompressSlack);
  out.resize(codec.CompressBlock(data.data(), out.data(), static_cast<uint16_t>(data.size())));
  return out;
}

Bytes Stream(const Bytes& data, TCompressMode mode) {
  Tlzrw1 c;
  TMemoryStream in(data), out;
  c.UseStream = true;
  c.CompressMode = mode;
  c.InputStream = &in;
  c.OutputStream = &out;
  c.Compress();
  if (c.Failed()) {
    std::fprintf(stderr, "compress failed: %s\n", c.FailureMessage().c_str());
    std::exit(1);
  }
  return out.Data();
}

// An archive behind FuzzStub, with the stub cut off again, behind an options
// byte (see fuzz_archive.cpp).
Bytes Archive(const fs::path& work, TArchiveWriter& writer, uint8_t options) {
  const Bytes stub = FuzzStub();
  Write(work / "stub.bin", stub);
  writer.Write((work / "stub.bin").string(), (work / "out.exe").string());
  const Bytes whole = ReadAll(work / "out.exe");
  Bytes seed{options};
  seed.insert(seed.end(), whole.begin() + static_cast<long>(stub.size()), whole.end());
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  for (const char* t : {"block", "decompress", "lzh", "roundtrip", "archive"})
    fs::remove_all(root / t);

  const Bytes text = Text(3000), runs = Runs(2000), noise = Noise(300, 1);

  Write(root / "block/text", Block(text));
  Write(root / "block/runs", Block(runs));
  Write(root / "block/stored", Block(noise));
  Write(root / "block/long_run", Block(Concat(Bytes(5000, 'x'), Text(40))));

  Write(root / "decompress/lzh_text", Stream(text, TCompressMode::Good));
  Write(root / "decompress/lzh_empty", Stream({}, TCompressMode::Good));
  Write(root / "decompress/blocks_text", Stream(text, TCompressMode::Fast));
  Write(root / "decompress/blocks_empty", Stream({}, TCompressMode::Fast));
  // Three blocks: two full pieces and a short one.
  Write(root / "decompress/blocks_three", Stream(Runs(2 * BlockSize + 500), TCompressMode::Fast));

  // The LZH target takes the size field and the bit stream of a stream.
  for (const auto& [name, data] : {std::pair{"text", text}, std::pair{"runs", runs},
                                   std::pair{"noise", noise}}) {
    const Bytes s = Stream(data, TCompressMode::Good);
    Write(root / "lzh" / name, Bytes(s.begin() + 4, s.end()));
  }

  Write(root / "roundtrip/good", Concat({0}, Text(500)));
  Write(root / "roundtrip/fast", Concat({1}, runs));
  Write(root / "roundtrip/auto", Concat({2}, noise));
  Write(root / "roundtrip/auto_tiled", Concat({3 | 4 | (10 << 3)}, Text(1500)));

  const fs::path work = fs::temp_directory_path() / ("kvsfx-seed-" + std::to_string(getpid()));
  fs::create_directories(work);
  Write(work / "a.txt", Text(700));
  Write(work / "b.bin", noise);
  Write(work / "c.dat", runs);
  {
    TArchiveWriter w;
    w.AddFile((work / "a.txt").string(), "setup\\splash.exe");
    w.AddFile((work / "b.bin").string(), "b.bin");
    w.AddFile((work / "c.dat").string(), "c.dat", "c.dat", TCompressMode::Fast);
    Write(root / "archive/three_files", Archive(work, w, 8 << 1));
  }
  {
    TArchiveWriter w;
    w.AddDirectory("docs");
    w.AddFile((work / "a.txt").string(), "readme.txt", "docs\\readme.txt");
    w.AddFile((work / "c.dat").string(), "c.dat", "docs\\c.dat", TCompressMode::Fast);
    Write(root / "archive/source_paths", Archive(work, w, 1 | (9 << 1)));
  }
  fs::remove_all(work);
  std::printf("seeds written to %s\n", root.c_str());
  return 0;
}
