// What the demo splash program knows about the extraction in progress, kept
// free of Win32 so it can be tested on any host.
//
// The unpacker sends one progress record after every buffer it reads or
// writes. A record tells the current file's name, the decompressor's byte
// counters and a per-file percentage; it does not tell how many files there
// are or which one this is. The model derives the rest:
//   - a new file starts when the name changes or the read counter drops (the
//     counters restart with every file, so two files of the same name are
//     still told apart);
//   - the overall fraction comes from the packed sizes of the files when the
//     caller could read them from the installer (SetPackage), and otherwise
//     from the current file alone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace demo_splash {

// One progress record, decoded.
struct ProgressRecord {
  std::string FileName;
  int32_t BytesRead = 0;
  int32_t BytesWritten = 0;
  uint8_t Percent = 0;
};

// Decodes a progress record from the data of a WM_COPYDATA. Returns false,
// leaving Out untouched, unless Size is exactly the record's size; the
// length byte of the name is at most 255, so a record of the right size never
// leads to a read past its end.
bool DecodeProgress(const void* Data, size_t Size, ProgressRecord& Out);

// Encodes Text as the counted string the unpacker expects: a length byte and
// the text. Returns false when Text is longer than 255 characters.
bool EncodeCountedString(const std::string& Text, std::vector<uint8_t>& Out);

class ProgressModel {
public:
  // The packed size of every file of the installer, in order, when known.
  void SetPackage(std::vector<int64_t> PackedSizes);
  bool HasPackage() const { return !Packed_.empty(); }
  int FileCount() const { return static_cast<int>(Packed_.size()); }

  // Takes one record; returns true when it starts a new file.
  bool Apply(const ProgressRecord& R);
  // The result message arrived.
  void Finish(bool Ok);

  bool Started() const { return Files_ > 0; }
  bool Finished() const { return Finished_; }
  bool Succeeded() const { return Ok_; }
  // Files begun so far (the current one included).
  int FilesSeen() const { return Files_; }
  const ProgressRecord& Last() const { return Last_; }
  // Bytes written into all files so far: each finished file's last count plus
  // the current one's.
  int64_t WrittenTotal() const { return WrittenBefore_ + Last_.BytesWritten; }

  // Progress of the current file, 0 to 100, never falling within a file.
  int FilePercent() const { return static_cast<int>(FileFraction_ * 100.0 + 1e-9); }
  // Progress of the whole installation in [0, 1], never falling; 1 after a
  // successful finish.
  double Overall() const;

private:
  std::vector<int64_t> Packed_;
  std::vector<int64_t> PackedBefore_;  // sum of the packed sizes before file i
  int64_t PackedTotal_ = 0;
  ProgressRecord Last_;
  int64_t WrittenBefore_ = 0;
  int Files_ = 0;
  double FileFraction_ = 0.0;  // of the current file, in [0, 1]
  double OverallMax_ = 0.0;
  bool Finished_ = false;
  bool Ok_ = false;
};

}  // namespace demo_splash
