// sfx list and sfx test: what the catalogue says about each entry, and
// whether each entry's stream decodes to what its header promises.
#include <cstdio>
#include <algorithm>
#include <memory>

#include "platform/files.h"
#include "tools/sfx/sfx.h"

namespace sfx {
namespace {

const char* const kListHelp =
    "Usage: sfx list [--json] ARCHIVE\n"
    "\n"
    "Lists the entries of an installer (or a bare archive): index, method,\n"
    "original size, packed size, packed size as a share of the original,\n"
    "and name, with the stored source path in brackets when it differs.\n"
    "Folder entries show their path with a trailing '\\'.\n"
    "\n"
    "Options:\n"
    "      --json   a JSON array of objects instead, one per entry\n"
    "  -h, --help   show this help\n";

const char* const kTestHelp =
    "Usage: sfx test [-q] ARCHIVE\n"
    "\n"
    "Decodes every entry of an installer without writing any file, the way the\n"
    "unpacker would, and names each damaged entry and what is wrong with it.\n"
    "Exit status 0 only when every entry is sound.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet  no progress display and no summary\n"
    "  -h, --help   show this help\n";

bool IsFolderEntry(const TPackEntry& e) {
  const std::string source = EntrySourcePath(e);
  return !source.empty() && source[0] == DirectoryMarker;
}

struct EntryFacts {
  bool Folder = false;
  bool HeaderRead = false;
  TStreamHeader Header;
  const char* Method = nullptr;  // nullptr: not a known stream
  int64_t Packed = 0;
};

EntryFacts Examine(TStream& archive, const TPackEntry& e) {
  EntryFacts f;
  f.Folder = IsFolderEntry(e);
  f.Packed = static_cast<int64_t>(e.EndOffset) - static_cast<int64_t>(e.StartOffset);
  if (!f.Folder) {
    f.HeaderRead = ReadStreamHeader(archive, e.StartOffset, f.Header);
    if (f.HeaderRead) f.Method = StreamMethodName(f.Header.Signature);
  }
  return f;
}

std::string DisplayName(const TPackEntry& e, bool folder) {
  const std::string source = EntrySourcePath(e);
  if (folder) return source.substr(1) + "\\";
  const std::string name = EntryFileName(e);
  return source == name || source.empty() ? name : name + "  [" + source + "]";
}

std::string Ratio(int64_t packed, int64_t original) {
  if (original <= 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", 100.0 * static_cast<double>(packed) / static_cast<double>(original));
  return buf;
}

// A window [Begin, End) of another stream: reads stop at End. Counts the
// reads that come back empty because the window is used up.
class WindowStream : public TStream {
public:
  WindowStream(TStream& base, int64_t begin, int64_t end) : base_(base), begin_(begin), end_(end) {
    base_.Seek(begin_, TSeekOrigin::Beginning);
    pos_ = begin_;
  }
  int32_t Read(void* buffer, int32_t count) override {
    if (count < 0) return -1;
    const int64_t left = end_ - pos_;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, left));
    if (n <= 0) {
      if (count > 0) ++emptyReads_;
      return 0;
    }
    if (base_.Seek(pos_, TSeekOrigin::Beginning) != pos_) return -1;
    const int32_t got = base_.Read(buffer, n);
    if (got > 0) pos_ += got;
    return got;
  }
  int32_t Write(const void*, int32_t) override { return -1; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int64_t target = offset;
    if (origin == TSeekOrigin::Current) target = pos_ - begin_ + offset;
    if (origin == TSeekOrigin::End) target = end_ - begin_ + offset;
    if (target < 0) return -1;
    pos_ = begin_ + target;
    return target;
  }
  int64_t Size() override { return end_ - begin_; }
  int64_t Consumed() const { return pos_ - begin_; }
  int EmptyReads() const { return emptyReads_; }

private:
  TStream& base_;
  int64_t begin_, end_, pos_;
  int emptyReads_ = 0;
};

// Takes whatever is written and counts it.
class CountingSink : public TStream {
public:
  int32_t Read(void*, int32_t) override { return -1; }
  int32_t Write(const void*, int32_t count) override {
    if (count < 0) return -1;
    count_ += count;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return origin == TSeekOrigin::Current && offset == 0 ? count_ : -1;
  }
  int64_t Size() override { return count_; }
  int64_t Count() const { return count_; }

private:
  int64_t count_ = 0;
};

Progress* g_testProgress = nullptr;
Tlzrw1* g_testComponent = nullptr;
int64_t g_testDoneBefore = 0;
int64_t g_testTotal = 0;
const std::string* g_testLabel = nullptr;

void TestHook() {
  if (g_testProgress && g_testComponent)
    g_testProgress->Fraction(g_testDoneBefore + g_testComponent->BytesRead, g_testTotal, *g_testLabel);
}

// What is wrong with entry i, or empty when it is sound.
std::string CheckEntry(TStream& archive, Tlzrw1& component, const TArchiveLayout& layout, int32_t i) {
  const TPackEntry& e = PackCatalogue.Entries[i];
  const EntryFacts f = Examine(archive, e);
  const int64_t start = e.StartOffset;
  const int64_t end = e.EndOffset;
  if (start > layout.CatalogueStart || end > layout.CatalogueStart)
    return "its data (offsets " + std::to_string(start) + " to " + std::to_string(end) +
           ") lie outside the entry data, which end at " + std::to_string(layout.CatalogueStart);
  if (end < start)
    return "its end offset " + std::to_string(end) + " lies before its start offset " + std::to_string(start);

  // A folder entry has no data of its own, but the unpacker names its outputs
  // by FileName and so decodes whatever stream begins at its start offset;
  // that must be sound too. A file entry's stream must fit its offsets.
  const int64_t limit = f.Folder ? layout.CatalogueStart : end;
  TStreamHeader header;
  if (limit - start < 8 || !ReadStreamHeader(archive, start, header))
    return f.Folder ? "the unpacker would decode the data at its start offset, and no stream begins there"
                    : "its " + std::to_string(end - start) + " bytes of data are too short for a stream header";
  const char* method = StreamMethodName(header.Signature);
  if (!method) {
    char sig[48];
    std::snprintf(sig, sizeof sig, "%02X %02X %02X %02X", header.Signature & 0xFF,
                  header.Signature >> 8 & 0xFF, header.Signature >> 16 & 0xFF, header.Signature >> 24);
    return std::string(f.Folder ? "the unpacker would decode the data at its start offset, which " : "its data ") +
           "begin with no stream signature (" + sig + ")";
  }
  if (header.OriginalSize < 0) return "its stream header gives a negative size";

  WindowStream in(archive, start, limit);
  CountingSink out;
  component.InputStream = &in;
  component.OutputStream = &out;
  component.Decompress();
  component.InputStream = nullptr;
  component.OutputStream = nullptr;
  if (component.Failed()) return component.FailureMessage();
  if (out.Count() != header.OriginalSize)
    return "it decodes to " + std::to_string(out.Count()) + " bytes, its header says " +
           std::to_string(header.OriginalSize);
  if (f.Folder) return std::string();
  // LZRW1/KH blocks are read exactly, so the stream's end must be the entry's.
  if (header.Signature == Lzrw1KhSignature && in.Consumed() != end - start)
    return "its stream ends " + std::to_string(end - start - in.Consumed()) +
           " bytes before its end offset";
  // The LZH decoder reads a byte or two ahead of what it needs; a stream cut
  // short makes it ask again and again past the end.
  if (header.Signature == LzhSignature && in.EmptyReads() > 2)
    return "its stream is cut short: the decoder needed data beyond its end offset";
  return std::string();
}

// Loads the catalogue and layout of the archive at path and opens it for
// reading the entries' data.
std::unique_ptr<TFileStream> OpenArchive(const std::string& path, TArchiveLayout& layout) {
  LoadArchive(path, layout);
  try {
    return std::make_unique<TFileStream>(path, fmOpenRead | fmShareDenyNone);
  } catch (const Exception& e) {
    throw Failure{path, e.Message()};
  }
}

}  // namespace

int List(const std::vector<std::string>& args) {
  const ParsedArgs a = ParseArgs("list", args, {{0, "json", false}, {'h', "help", false}});
  if (a.Has("help")) {
    std::fputs(kListHelp, stdout);
    return ExitOk;
  }
  if (a.Operands.size() != 1) throw UsageError{"give exactly one ARCHIVE", "list"};
  const std::string& path = a.Operands[0];
  TArchiveLayout layout;
  const std::unique_ptr<TFileStream> archive = OpenArchive(path, layout);
  const bool json = a.Has("json");
  if (json)
    std::printf("[");
  else
    std::printf("%5s  %-7s  %10s  %10s  %6s  %s\n", "index", "method", "size", "packed", "ratio", "name");
  int64_t totalSize = 0, totalPacked = 0;
  for (int32_t i = 0; i < PackCatalogue.Count; ++i) {
    const TPackEntry& e = PackCatalogue.Entries[i];
    const EntryFacts f = Examine(*archive, e);
    const char* method = f.Folder ? "dir" : f.Method ? f.Method : "?";
    const bool sized = !f.Folder && f.Method;
    if (json) {
      std::printf("%s\n  {\"index\": %d, \"method\": \"%s\", \"directory\": %s, ", i ? "," : "", i, method,
                  f.Folder ? "true" : "false");
      if (sized)
        std::printf("\"size\": %d, ", f.Header.OriginalSize);
      else
        std::printf("\"size\": null, ");
      std::printf("\"packed\": %lld, \"start\": %u, \"end\": %u, \"name\": %s, \"file_name\": %s, "
                  "\"source_path\": %s}",
                  static_cast<long long>(f.Packed), e.StartOffset, e.EndOffset,
                  JsonString(f.Folder ? EntrySourcePath(e).substr(1) : FileNamePart(EntryFileName(e))).c_str(),
                  JsonString(EntryFileName(e)).c_str(), JsonString(EntrySourcePath(e)).c_str());
    } else {
      const std::string size = sized ? std::to_string(f.Header.OriginalSize) : "-";
      const std::string packed = f.Folder ? "-" : std::to_string(f.Packed);
      const std::string ratio = sized ? Ratio(f.Packed, f.Header.OriginalSize) : "-";
      std::printf("%5d  %-7s  %10s  %10s  %6s  %s\n", i, method, size.c_str(), packed.c_str(), ratio.c_str(),
                  DisplayName(e, f.Folder).c_str());
    }
    if (sized) {
      totalSize += f.Header.OriginalSize;
      totalPacked += f.Packed;
    }
  }
  if (json) {
    std::printf("\n]\n");
  } else {
    std::printf("%d %s, %lld bytes, packed %lld (%s)\n", PackCatalogue.Count,
                PackCatalogue.Count == 1 ? "entry" : "entries", static_cast<long long>(totalSize),
                static_cast<long long>(totalPacked), Ratio(totalPacked, totalSize).c_str());
  }
  return ExitOk;
}

int Test(const std::vector<std::string>& args) {
  const ParsedArgs a = ParseArgs("test", args, {{'q', "quiet", false}, {'h', "help", false}});
  if (a.Has("help")) {
    std::fputs(kTestHelp, stdout);
    return ExitOk;
  }
  if (a.Operands.size() != 1) throw UsageError{"give exactly one ARCHIVE", "test"};
  const std::string& path = a.Operands[0];
  TArchiveLayout layout;
  const std::unique_ptr<TFileStream> archive = OpenArchive(path, layout);
  Tlzrw1 component(nullptr);
  component.UseStream = true;

  Progress progress(!a.Has("quiet"));
  g_testTotal = 0;
  for (int32_t i = 0; i < PackCatalogue.Count; ++i) {
    const TPackEntry& e = PackCatalogue.Entries[i];
    if (e.EndOffset > e.StartOffset) g_testTotal += e.EndOffset - e.StartOffset;
  }
  g_testProgress = &progress;
  g_testComponent = &component;
  g_testDoneBefore = 0;
  ProgressHook = TestHook;

  int damaged = 0;
  for (int32_t i = 0; i < PackCatalogue.Count; ++i) {
    const TPackEntry& e = PackCatalogue.Entries[i];
    const bool folder = IsFolderEntry(e);
    const std::string name = DisplayName(e, folder);
    g_testLabel = &name;
    const std::string problem = CheckEntry(*archive, component, layout, i);
    if (!problem.empty()) {
      progress.Clear();
      std::fprintf(stderr, "sfx: %s: entry %d (%s): %s\n", path.c_str(), i, name.c_str(), problem.c_str());
      ++damaged;
    }
    if (e.EndOffset > e.StartOffset) g_testDoneBefore += e.EndOffset - e.StartOffset;
  }
  ProgressHook = nullptr;
  g_testProgress = nullptr;
  g_testComponent = nullptr;
  progress.Clear();
  if (damaged) {
    std::fprintf(stderr, "sfx: %s: %d of %d entries damaged\n", path.c_str(), damaged, PackCatalogue.Count);
    return ExitFailure;
  }
  if (!a.Has("quiet"))
    std::printf("%s: %d %s OK\n", path.c_str(), PackCatalogue.Count, PackCatalogue.Count == 1 ? "entry" : "entries");
  return ExitOk;
}

}  // namespace sfx
