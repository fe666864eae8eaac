// The archive appended to the unpacker: entry streams, then N catalogue
// records of 428 bytes, then N as a little-endian u32 at the very end. This
// unit loads the catalogue and extracts entries through one shared Tlzrw1.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "lzrw1/lzrw1.h"
#include "platform/exception.h"
#include "platform/stream.h"

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

// The objects of the extraction in progress; each is null between operations.
// ExtractAll (or a stand-alone ExtractEntry) owns the first two, ExtractEntry
// the third; a released object's reference is cleared before it is freed.
extern Tlzrw1* Decompressor;
extern TFileStream* ArchiveStream;
extern TFileStream* EntryFile;

// Capacities of the counted strings of a record.
constexpr int32_t SignatureCapacity = 15;
constexpr int32_t FileNameCapacity = 200;
constexpr int32_t SourcePathCapacity = 202;
constexpr char PackSignature[] = "KVFILEID";
constexpr char DirectoryMarker = '|';

class EArchiveError : public Exception {
public:
  using Exception::Exception;
};

bool LoadCatalogue(const std::string& ArchivePath);
std::string FileNamePart(const std::string& Path);
bool ExtractEntry(const std::string& ArchivePath, const std::string& TargetDir, int32_t Index,
                  bool UseSourcePath);
// Extracts the loaded catalogue's slots Indices (every slot when null), in
// that order, through one archive stream and one component with Hook as the
// progress hook, as ExtractAll does, but lets the first error out (after the
// shared objects are released). Raises EArchiveError when an extraction is
// already running.
void ExtractEntries(const std::string& ArchivePath, const std::string& TargetDir, TProgressHook Hook,
                    bool UseSourcePath, const std::vector<int32_t>* Indices = nullptr);
bool ExtractAll(const std::string& ArchivePath, const std::string& TargetDir, TProgressHook Hook,
                bool UseSourcePath);
void GetExtractCounts(int32_t& BytesRead, int32_t& BytesWritten);

// The text of a counted string of the given capacity (its length byte is
// capped at the capacity, so a damaged record never reads past its field).
std::string CountedString(const uint8_t* Field, int32_t Capacity);
// Stores Text as a counted string: length byte, text, zeros to the capacity.
// The caller makes sure the text fits.
void SetCountedString(uint8_t* Field, int32_t Capacity, const std::string& Text);
inline std::string EntryFileName(const TPackEntry& E) {
  return CountedString(E.FileName, FileNameCapacity);
}
inline std::string EntrySourcePath(const TPackEntry& E) {
  return CountedString(E.SourcePath, SourcePathCapacity);
}

// Whether Name may be appended to a target directory as an output name: it is
// refused when it could leave the directory (a ".." component with either
// separator, a leading '/' or '\', a drive "X:") or holds control
// characters. Empty names pass here; callers decide whether they allow them.
// On refusal, Reason (when given) says why.
bool IsSafeOutputName(const std::string& Name, std::string* Reason = nullptr);
