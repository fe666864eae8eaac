// Writes an archive in the layout the unpacker reads: the stub's bytes, each
// entry's compressed stream, the 428-byte records and the record count. Every
// entry is checked when it is added, so that a packer can refuse it with a
// message naming the file before anything is written.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "archive/packerunit.h"

// One entry to be written. Offsets and sizes are filled in by Write.
struct TArchiveItem {
  std::string InputPath;   // file whose data are packed; empty for a directory
  std::string FileName;    // stored FileName (the output name is its last part)
  std::string SourcePath;  // stored SourcePath; '|' first marks a directory
  TCompressMode Mode = TCompressMode::Good;
  bool IsDirectory = false;
  int64_t OriginalSize = 0;  // input size as found when the entry was added
  uint32_t StartOffset = 0;
  uint32_t EndOffset = 0;
};

class TArchiveWriter {
public:
  // The whole archive must stay below 2 GiB: its offsets are signed 32-bit.
  static constexpr int64_t MaxArchiveSize = INT32_MAX;

  // The method used by AddFile when none is given.
  TCompressMode DefaultMode = TCompressMode::Good;

  // Adds a file entry. FileName is stored as given (its last part names the
  // output); SourcePath defaults to FileName. Raises EArchiveError naming the
  // file when the catalogue is full, the input cannot be opened or is 2 GiB
  // or larger, or a name is too long or would be refused by the unpacker.
  void AddFile(const std::string& InputPath, const std::string& FileName,
               const std::string& SourcePath = std::string());
  void AddFile(const std::string& InputPath, const std::string& FileName,
               const std::string& SourcePath, TCompressMode Mode);
  // Adds a directory entry: SourcePath is stored behind the marker '|', no
  // data. FileName defaults to the directory's own name. Same refusals.
  // Only an extraction that names outputs by SourcePath knows such entries;
  // one by FileName (the unpacker's) takes them for files whose data start
  // where the next entry's (or the catalogue) do, so archives for the stub
  // should hold files only.
  void AddDirectory(const std::string& SourcePath, const std::string& FileName = std::string());

  // Writes StubPath's bytes (none when empty), then the entries, records and
  // count to OutputPath. Raises EArchiveError naming the file on failure, a
  // failure reported by the component included; the partial output is then
  // deleted. Fills in the offsets of Items().
  void Write(const std::string& StubPath, const std::string& OutputPath);

  const std::vector<TArchiveItem>& Items() const { return items_; }

private:
  void CheckRoom(const std::string& What) const;
  std::vector<TArchiveItem> items_;
};
