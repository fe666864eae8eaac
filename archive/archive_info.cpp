#include "archive/archive_info.h"

#include <climits>

#include "archive/packerunit.h"
#include "lzrw1/lzrw1.h"
#include "platform/files.h"

namespace {

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool ReadStreamHeader(TStream& Archive, int64_t Offset, TStreamHeader& Header) {
  uint8_t bytes[8];
  if (Offset < 0 || Archive.Seek(Offset, TSeekOrigin::Beginning) != Offset) return false;
  if (Archive.Read(bytes, 8) != 8) return false;
  Header.Signature = GetLe32(bytes);
  Header.OriginalSize = static_cast<int32_t>(GetLe32(bytes + 4));
  return true;
}

const char* StreamMethodName(uint32_t Signature) {
  if (Signature == LzhSignature) return "lzh";
  if (Signature == Lzrw1KhSignature) return "lzrw1kh";
  return nullptr;
}

std::string DiagnoseArchive(const std::string& ArchivePath, TArchiveLayout& Layout) {
  Layout = TArchiveLayout{};
  const int32_t handle = FileOpen(ArchivePath, fmOpenRead | fmShareDenyNone);
  if (handle < 0) return "cannot open the file";
  THandleStream archive(handle);
  struct Closer {
    int32_t h;
    ~Closer() { FileClose(h); }
  } closer{handle};

  const int64_t size = archive.Size();
  Layout.FileSize = size;
  if (size < 0) return "cannot read the size of the file";
  if (size < 4)
    return "not an archive: " + std::to_string(size) + " bytes is too short to hold a record count";
  if (size > INT32_MAX) return "not an archive: a file of 2 GiB or more cannot be one";
  uint8_t trailer[4];
  if (archive.Seek(size - 4, TSeekOrigin::Beginning) != size - 4 || archive.Read(trailer, 4) != 4)
    return "cannot read the record count at the end of the file";
  const int32_t count = static_cast<int32_t>(GetLe32(trailer));
  Layout.Count = count;
  if (count == 0) return "not an archive: the record count at its end is 0";
  if (count < 0 || count > MaxPackEntries)
    return "not an archive: the record count at its end is " + std::to_string(count) +
           " (at most " + std::to_string(MaxPackEntries) + ")";
  const int64_t records = static_cast<int64_t>(sizeof(TPackEntry)) * count;
  Layout.CatalogueStart = size - 4 - records;
  if (Layout.CatalogueStart < 0)
    return "not an archive, or a truncated one: its " + std::to_string(count) + " records of " +
           std::to_string(sizeof(TPackEntry)) + " bytes would begin before the start of the file";
  return std::string();
}
