// Fuzz target: the archive reader. The input, minus its first byte, is
// appended to a small stub (FuzzStub) and written out as the unpacker's file;
// then LoadCatalogue, ExtractAll and one stand-alone ExtractEntry run on it.
// The seeds are real archives written behind that stub with the stub cut off.
//
// The first input byte chooses how:
//   bit 0     UseSourcePath for both extractions;
//   bits 1-7  index for the stand-alone ExtractEntry, minus 8 (-8..119), so
//             that indexes outside the catalogue come up too.
//
// Nothing may be created outside the target directory. The target lies at the
// bottom of a chain of kDepth directories inside a private sandbox,
// /tmp/kvsfx-fuzz-<pid>/s/s/.../s/target, and the process works from inside
// that chain. An output name cannot hold more ".." components than kDepth
// (a stored name has at most 202 characters), so even a name that got past
// the unpacker's checks could not reach anything outside the sandbox. After
// each extraction the sandbox is walked: anything outside the target other
// than the chain and the archive aborts the run; the target is then emptied.
//
// Each output file is limited to kFileCap bytes (RLIMIT_FSIZE, with SIGXFSZ
// ignored so an oversized write fails like a full disk): an entry's header
// may announce 2 GiB, and an LZH payload that ends early still decodes to
// its full size, so without the limit a few bytes of input could write that
// much. A write past the limit is a write error, which fails the extraction.
// The limit holds for the whole process: send libFuzzer's output to a pipe,
// not to a file, or the log stops at that size (scripts/fuzz.sh does).
//
// Also checked after every run: the shared references (Decompressor,
// ArchiveStream, EntryFile) are empty, no file descriptor is left open, a
// failed load fails ExtractAll, and a loaded catalogue holds 1..501 entries.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "archive/packerunit.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDepth = 72;
constexpr rlim_t kFileCap = 48 * 1024;

struct Sandbox {
  fs::path root;     // /tmp/kvsfx-fuzz-<pid>
  fs::path bottom;   // root/s/.../s, the working directory
  fs::path target;   // bottom/target
  fs::path archive;  // root/in/archive.exe
  std::string archivePath;
};

int hookCalls = 0;

void ProgressCheck() {
  ++hookCalls;
  int32_t read = -1, written = -1;
  GetExtractCounts(read, written);
  FUZZ_CHECK(Decompressor != nullptr);
  FUZZ_CHECK(read >= 0 && written >= 0);
}

void RemoveSandbox();

const Sandbox& GetSandbox() {
  static const Sandbox box = [] {
    Sandbox b;
    b.root = fs::path("/tmp") / ("kvsfx-fuzz-" + std::to_string(getpid()));
    fs::remove_all(b.root);
    b.bottom = b.root;
    for (int i = 0; i < kDepth; ++i) b.bottom /= "s";
    b.target = b.bottom / "target";
    fs::create_directories(b.target);
    fs::create_directories(b.root / "in");
    b.archive = b.root / "in" / "archive.exe";
    b.archivePath = b.archive.string();
    if (chdir(b.bottom.c_str()) != 0) std::abort();

    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= kFileCap) {
      limit.rlim_cur = kFileCap;
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    signal(SIGXFSZ, SIG_IGN);
    std::atexit(RemoveSandbox);
    return b;
  }();
  return box;
}

void RemoveSandbox() {
  const Sandbox& b = GetSandbox();
  if (chdir("/") != 0) return;
  std::error_code ec;
  fs::remove_all(b.root, ec);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Everything in the sandbox must be the chain, the archive, or inside the
// target; then the target is emptied for the next extraction.
void CheckAndClean(const Sandbox& b, const std::vector<uint8_t>& archive) {
  for (auto it = fs::recursive_directory_iterator(b.root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& p = it->path();
    if (p == b.target) {
      it.disable_recursion_pending();
      continue;
    }
    const bool chain = it->is_directory() && !it->is_symlink() &&
                       b.bottom.string().rfind(p.string(), 0) == 0 &&
                       (b.bottom.string().size() == p.string().size() ||
                        b.bottom.string()[p.string().size()] == '/');
    const bool allowed = chain || p == b.root / "in" || p == b.archive;
    if (!allowed) {
      std::fprintf(stderr, "created outside the target directory: %s\n", p.c_str());
      std::abort();
    }
  }
  FUZZ_CHECK(ReadFile(b.archive) == archive);
  for (const auto& e : fs::directory_iterator(b.target)) fs::remove_all(e.path());
}

void CheckReleased() {
  FUZZ_CHECK(Decompressor == nullptr);
  FUZZ_CHECK(ArchiveStream == nullptr);
  FUZZ_CHECK(EntryFile == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Sandbox& box = GetSandbox();
  const bool useSourcePath = data[0] & 1;
  const int32_t index = (data[0] >> 1) - 8;

  std::vector<uint8_t> archive = FuzzStub();
  archive.insert(archive.end(), data + 1, data + size);
  {
    std::ofstream f(box.archive, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(archive.data()),
            static_cast<std::streamsize>(archive.size()));
    FUZZ_CHECK(f.good());
  }
  const int descriptors = OpenDescriptors();

  const bool loaded = LoadCatalogue(box.archivePath);
  FUZZ_CHECK(CatalogueLoaded == loaded);
  if (loaded) FUZZ_CHECK(PackCatalogue.Count >= 1 && PackCatalogue.Count <= MaxPackEntries);

  hookCalls = 0;
  const bool all = ExtractAll(box.archivePath, "target", ProgressCheck, useSourcePath);
  if (!loaded) FUZZ_CHECK(!all);
  if (!loaded) FUZZ_CHECK(hookCalls == 0);
  CheckReleased();
  CheckAndClean(box, archive);

  // Stand-alone, as at start-up: it reuses the catalogue ExtractAll loaded.
  try {
    ExtractEntry(box.archivePath, "target", index, useSourcePath);
  } catch (const Exception& e) {
    FUZZ_CHECK(!e.Message().empty());
  }
  CheckReleased();
  CheckAndClean(box, archive);
  FUZZ_CHECK(OpenDescriptors() == descriptors);
  return 0;
}
