// The archive appended to the unpacker: entry streams, then N catalogue
// records of 428 bytes, then N as a little-endian u32 at the very end. This
// unit loads the catalogue and extracts entries through one shared Tlzrw1.
#pragma once
#include <cstdint>
#include <string>

#include "lzrw1/lzrw1.h"
#include "platform/exception.h"

constexpr int32_t MaxPackEntries = 501;

#pragma pack(push, 1)
struct TPackEntry {
  uint8_t Signature[16];    // counted string of capacity 15: "KVFILEID"
  uint32_t StartOffset;     // absolute offset of the entry's first packed byte
  uint32_t EndOffset;       // just past its last packed byte
  uint8_t FileName[201];    // counted string of capacity 200
  uint8_t SourcePath[203];  // counted string of capacity 202; '|' first = directory
};
struct TPackCatalogue {
  TPackEntry Entries[MaxPackEntries];
  int32_t Count;
};
#pragma pack(pop)
static_assert(sizeof(TPackEntry) == 428, "catalogue record layout");

// (The helper that implements the archive completes this unit; the shell and
// the tools rely on the declarations below.)
extern TPackCatalogue PackCatalogue;
extern bool CatalogueLoaded;
extern std::string CurrentFileName;
extern int32_t CurrentPackedSize;

class EArchiveError : public Exception {
public:
  using Exception::Exception;
};

bool LoadCatalogue(const std::string& ArchivePath);
std::string FileNamePart(const std::string& Path);
bool ExtractEntry(const std::string& ArchivePath, const std::string& TargetDir, int32_t Index,
                  bool UseSourcePath);
bool ExtractAll(const std::string& ArchivePath, const std::string& TargetDir, TProgressHook Hook,
                bool UseSourcePath);
void GetExtractCounts(int32_t& BytesRead, int32_t& BytesWritten);
