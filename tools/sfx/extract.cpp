// sfx extract: the unpacker's extraction run on Linux. The entries are
// written by ExtractEntry, driven as ExtractAll drives it (one archive stream
// and one component for all entries), so names, overwriting and refusals are
// exactly the unpacker's.
#include <cstdio>
#include <filesystem>
#include <set>

#include "platform/files.h"
#include "tools/sfx/sfx.h"

namespace fs = std::filesystem;

namespace sfx {
namespace {

const char* const kExtractHelp =
    "Usage: sfx extract [-d DIR] [-p] [-v] [-q] ARCHIVE [NAME...]\n"
    "\n"
    "Extracts the entries of an installer into DIR (default: the current folder,\n"
    "created when missing) as the unpacker does: each file under the last part\n"
    "of its stored name, in catalogue order, so that of two entries with the\n"
    "same name the later one wins. Names that would leave DIR are refused.\n"
    "NAME... extracts only the entries of those names.\n"
    "\n"
    "Options:\n"
    "  -d, --directory DIR  where to extract\n"
    "  -p, --paths          keep the stored folder structure (source paths)\n"
    "                       instead of writing every file into DIR\n"
    "  -v, --verbose        list the entries extracted\n"
    "  -q, --quiet          no progress display\n"
    "  -h, --help           show this help\n";

Progress* g_extractProgress = nullptr;
int64_t g_extractBegin = 0;
int64_t g_extractEnd = 0;

// The shared archive stream is read front to back, entry after entry: its
// position tells how far the run has come.
void ExtractHook() {
  if (!g_extractProgress || !ArchiveStream) return;
  g_extractProgress->Fraction(ArchiveStream->Position() - g_extractBegin, g_extractEnd - g_extractBegin,
                              CurrentFileName);
}

std::string OutputName(const TPackEntry& e, bool paths) {
  if (!paths) return FileNamePart(EntryFileName(e));
  std::string source = EntrySourcePath(e);
  if (!source.empty() && source[0] == DirectoryMarker) source = source.substr(1) + "\\";
  return source;
}

}  // namespace

int Extract(const std::vector<std::string>& args) {
  const ParsedArgs a = ParseArgs("extract", args,
                                 {{'d', "directory", true},
                                  {'p', "paths", false},
                                  {'v', "verbose", false},
                                  {'q', "quiet", false},
                                  {'h', "help", false}});
  if (a.Has("help")) {
    std::fputs(kExtractHelp, stdout);
    return ExitOk;
  }
  if (a.Operands.empty()) throw UsageError{"no ARCHIVE given", "extract"};
  const std::string& path = a.Operands[0];
  const std::string dir = a.Value("directory", ".");
  if (dir.empty()) throw UsageError{"the directory given with -d is empty", "extract"};
  const bool paths = a.Has("paths");
  RequireNoBackslash(dir);

  TArchiveLayout layout;
  LoadArchive(path, layout);

  // The entries to extract, in catalogue order.
  std::vector<int32_t> chosen;
  const std::vector<std::string> names(a.Operands.begin() + 1, a.Operands.end());
  std::set<std::string> found;
  for (int32_t i = 0; i < PackCatalogue.Count; ++i) {
    const std::string name = FileNamePart(EntryFileName(PackCatalogue.Entries[i]));
    bool wanted = names.empty();
    for (const std::string& n : names)
      if (n == name) {
        wanted = true;
        found.insert(n);
      }
    if (wanted) chosen.push_back(i);
  }
  for (const std::string& n : names)
    if (!found.count(n)) throw Failure{path, "no entry named \"" + n + "\""};

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) throw Failure{dir, "cannot create the folder" + (ec ? ": " + ec.message() : "")};

  Progress progress(!a.Has("quiet"));
  g_extractProgress = &progress;
  g_extractBegin = layout.CatalogueStart;
  g_extractEnd = 0;
  for (int32_t i : chosen) {
    const TPackEntry& e = PackCatalogue.Entries[i];
    g_extractBegin = std::min<int64_t>(g_extractBegin, e.StartOffset);
    g_extractEnd = std::max<int64_t>(g_extractEnd, std::min<int64_t>(e.EndOffset, layout.CatalogueStart));
  }
  try {
    ExtractEntries(path, dir, ExtractHook, paths, &chosen);
  } catch (const Exception& e) {
    ProgressHook = nullptr;
    g_extractProgress = nullptr;
    progress.Clear();
    throw Failure{path, e.Message()};
  }
  ProgressHook = nullptr;
  g_extractProgress = nullptr;
  progress.Clear();
  if (a.Has("verbose"))
    for (int32_t i : chosen) std::printf("%s\n", OutputName(PackCatalogue.Entries[i], paths).c_str());
  return ExitOk;
}

}  // namespace sfx
