// The appended archive: loading its catalogue from the end of the file and
// extracting entries through one shared Tlzrw1. This code also runs inside
// the Windows unpacker stub, so it stays free of iostreams and formatting
// libraries and reaches files only through the platform layer.
#include "archive/packerunit.h"

#include <climits>
#include <cstring>

#include "platform/files.h"

TPackCatalogue PackCatalogue{};
bool CatalogueLoaded = false;
std::string CurrentFileName;
int32_t CurrentPackedSize = 0;

Tlzrw1* Decompressor = nullptr;
TFileStream* ArchiveStream = nullptr;
TFileStream* EntryFile = nullptr;

namespace {

constexpr int32_t RecordSize = static_cast<int32_t>(sizeof(TPackEntry));
constexpr int32_t MaxFileNamePart = 255;

std::string IntToStr(int64_t value) {
  char buf[24];
  char* p = buf + sizeof buf;
  *--p = '\0';
  const bool negative = value < 0;
  uint64_t v = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) *--p = '-';
  return p;
}

// Each release clears the reference first, so nothing can reach a freed
// object, not even a destructor that calls back.
void ReleaseEntryFile() {
  if (Decompressor) Decompressor->OutputStream = nullptr;
  TFileStream* f = EntryFile;
  EntryFile = nullptr;
  delete f;
}

void ReleaseShared() {
  Tlzrw1* d = Decompressor;
  Decompressor = nullptr;
  delete d;
  TFileStream* a = ArchiveStream;
  ArchiveStream = nullptr;
  delete a;
}

// Releases, on every way out of ExtractEntry, what that call created.
class TExtractCleanup {
public:
  explicit TExtractCleanup(bool ownsShared) : ownsShared_(ownsShared) {}
  ~TExtractCleanup() {
    ReleaseEntryFile();
    if (Decompressor) Decompressor->InputStream = nullptr;
    if (ownsShared_) ReleaseShared();
  }
  TExtractCleanup(const TExtractCleanup&) = delete;
  TExtractCleanup& operator=(const TExtractCleanup&) = delete;

private:
  bool ownsShared_;
};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A path component that Windows would resolve to the parent directory:
// "..", and also forms like ".. " or "..." that its path rules shorten to it.
bool IsParentComponent(const std::string& Name, std::size_t Begin, std::size_t End) {
  int dots = 0;
  for (std::size_t i = Begin; i < End; ++i) {
    if (Name[i] == '.')
      ++dots;
    else if (Name[i] != ' ')
      return false;
  }
  return dots >= 2;
}

}  // namespace

std::string CountedString(const uint8_t* Field, int32_t Capacity) {
  int32_t length = Field[0];
  if (length > Capacity) length = Capacity;
  return std::string(reinterpret_cast<const char*>(Field + 1), static_cast<std::size_t>(length));
}

void SetCountedString(uint8_t* Field, int32_t Capacity, const std::string& Text) {
  std::size_t length = Text.size();
  if (length > static_cast<std::size_t>(Capacity)) length = static_cast<std::size_t>(Capacity);
  std::memset(Field, 0, static_cast<std::size_t>(Capacity) + 1);
  Field[0] = static_cast<uint8_t>(length);
  if (length) std::memcpy(Field + 1, Text.data(), length);
}

bool IsSafeOutputName(const std::string& Name, std::string* Reason) {
  auto refuse = [Reason](const char* why) {
    if (Reason) *Reason = why;
    return false;
  };
  if (Name.empty()) return true;
  if (IsSeparator(Name[0])) return refuse("an absolute path would leave the target directory");
  if (Name.size() >= 2 && Name[1] == ':')
    return refuse("a drive name would leave the target directory");
  for (char c : Name)
    if (static_cast<unsigned char>(c) < 0x20) return refuse("the name holds a control character");
  std::size_t begin = 0;
  while (begin <= Name.size()) {
    std::size_t end = begin;
    while (end < Name.size() && !IsSeparator(Name[end])) ++end;
    if (IsParentComponent(Name, begin, end))
      return refuse("a \"..\" component would leave the target directory");
    begin = end + 1;
  }
  return true;
}

bool LoadCatalogue(const std::string& ArchivePath) {
  bool result = true;
  int32_t count = 0;
  try {
    TFileStream archive(ArchivePath, fmOpenRead | fmShareDenyNone);
    // Offsets in the records are 32-bit and handled as signed values, so an
    // archive of 2 GiB or more cannot be described by them.
    const int64_t size = archive.Size();
    if (size < 4 || size > INT32_MAX) {
      result = false;
    } else {
      uint8_t trailer[4];
      if (archive.Seek(size - 4, TSeekOrigin::Beginning) != size - 4 ||
          archive.Read(trailer, 4) != 4) {
        result = false;
      } else {
        const uint32_t raw = static_cast<uint32_t>(trailer[0]) |
                             static_cast<uint32_t>(trailer[1]) << 8 |
                             static_cast<uint32_t>(trailer[2]) << 16 |
                             static_cast<uint32_t>(trailer[3]) << 24;
        count = static_cast<int32_t>(raw);
        // The table has 501 slots: a larger (or negative) count would make
        // the read run past it, so such an archive is rejected.
        if (count < 1 || count > MaxPackEntries) {
          result = false;
        } else {
          const int64_t first = size - 4 - static_cast<int64_t>(RecordSize) * count;
          const int32_t bytes = RecordSize * count;
          if (first < 0 || archive.Seek(first, TSeekOrigin::Beginning) != first ||
              archive.Read(PackCatalogue.Entries, bytes) != bytes)
            result = false;
        }
      }
    }
  } catch (...) {
    result = false;
  }
  PackCatalogue.Count = result ? count : 0;
  CatalogueLoaded = result;
  return result;
}

std::string FileNamePart(const std::string& Path) {
  std::size_t i = Path.size();
  while (i > 0 && Path[i - 1] != ':' && Path[i - 1] != '\\') --i;
  return Path.substr(i, MaxFileNamePart);
}

bool ExtractEntry(const std::string& ArchivePath, const std::string& TargetDir, int32_t Index,
                  bool UseSourcePath) {
  if (!CatalogueLoaded && !LoadCatalogue(ArchivePath)) return false;
  if (Index < 0 || Index >= PackCatalogue.Count)
    throw EArchiveError("Cannot extract entry " + IntToStr(Index) + ": the archive holds " +
                        IntToStr(PackCatalogue.Count) + " entries");

  TExtractCleanup cleanup(Decompressor == nullptr);
  if (!Decompressor) {
    Decompressor = new Tlzrw1(nullptr);
    Decompressor->CompressMode = TCompressMode::Good;
    Decompressor->UseStream = true;
    ProgressHook = nullptr;
    ArchiveStream = new TFileStream(ArchivePath, fmOpenRead | fmShareDenyNone);
  }

  TPackEntry& E = PackCatalogue.Entries[Index];
  std::string name;
  bool isDirectory = false;
  if (!UseSourcePath) {
    name = FileNamePart(EntryFileName(E));
  } else {
    name = EntrySourcePath(E);
    isDirectory = !name.empty() && name[0] == DirectoryMarker;
    if (isDirectory) name.erase(0, 1);
  }
  std::string reason;
  if (!IsSafeOutputName(name, &reason))
    throw EArchiveError("Cannot extract " + name + ": " + reason);
  // An empty file name would make the target directory itself the output.
  if (name.empty() && !isDirectory)
    throw EArchiveError("Cannot extract entry " + IntToStr(Index) + ": its name is empty");

  if (isDirectory) {
    // Drop the marker in the loaded slot itself; ExtractAll's reload brings
    // it back.
    const std::size_t length = name.size();
    std::memmove(E.SourcePath + 1, E.SourcePath + 2, length);
    E.SourcePath[1 + length] = 0;
    E.SourcePath[0] = static_cast<uint8_t>(length);
    // One level only; an existing directory or a missing parent is no error.
    CreateDir(TargetDir + "\\" + name);
    return true;
  }

  EntryFile = new TFileStream(TargetDir + "\\" + name, fmCreate);
  CurrentPackedSize = static_cast<int32_t>(E.EndOffset - E.StartOffset);
  CurrentFileName = FileNamePart(EntryFileName(E));
  const int64_t start = E.StartOffset;
  if (ArchiveStream->Seek(start, TSeekOrigin::Beginning) != start)
    throw EArchiveError("Cannot extract " + name + ": cannot seek to its data");
  Decompressor->InputStream = ArchiveStream;
  Decompressor->OutputStream = EntryFile;
  Decompressor->Decompress();
  // In stream mode the component absorbs its failures; a damaged entry must
  // not pass for an extracted one.
  if (Decompressor->Failed())
    throw EArchiveError("Cannot extract " + name + ": " + Decompressor->FailureMessage());
  return true;
}

bool ExtractAll(const std::string& ArchivePath, const std::string& TargetDir, TProgressHook Hook,
                bool UseSourcePath) {
  // The shared state serves one extraction at a time (a hook that starts
  // another one would find it in use).
  if (Decompressor || ArchiveStream) return false;
  if (!LoadCatalogue(ArchivePath)) return false;
  try {
    ExtractEntries(ArchivePath, TargetDir, Hook, UseSourcePath);
  } catch (...) {
    return false;
  }
  return true;
}

void ExtractEntries(const std::string& ArchivePath, const std::string& TargetDir, TProgressHook Hook,
                    bool UseSourcePath, const std::vector<int32_t>* Indices) {
  if (Decompressor || ArchiveStream) throw EArchiveError("An extraction is already running");
  try {
    ArchiveStream = new TFileStream(ArchivePath, fmOpenRead | fmShareDenyNone);
    Decompressor = new Tlzrw1(nullptr);
    Decompressor->CompressMode = TCompressMode::Good;
    Decompressor->UseStream = true;
    ProgressHook = Hook;
    if (Indices) {
      for (const int32_t i : *Indices) ExtractEntry(ArchivePath, TargetDir, i, UseSourcePath);
    } else {
      for (int32_t i = 0; i < PackCatalogue.Count; ++i) ExtractEntry(ArchivePath, TargetDir, i, UseSourcePath);
    }
  } catch (...) {
    ReleaseShared();
    throw;
  }
  ReleaseShared();
}

void GetExtractCounts(int32_t& BytesRead, int32_t& BytesWritten) {
  if (!Decompressor) return;
  BytesRead = Decompressor->BytesRead;
  BytesWritten = Decompressor->BytesWritten;
}
