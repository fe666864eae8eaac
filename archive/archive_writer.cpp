// The archive writer: stub, entry streams made by Tlzrw1.Compress in stream
// mode, then the catalogue records and the count, with no gaps between them.
#include "archive/archive_writer.h"

#include <bit>
#include <cstring>
#include <memory>

#include "platform/files.h"

namespace {

constexpr int32_t CopyBufferSize = 65536;

std::string Quoted(const std::string& Name) { return "\"" + Name + "\""; }

[[noreturn]] void Refuse(const std::string& What, const std::string& Why) {
  throw EArchiveError("Cannot add " + Quoted(What) + ": " + Why);
}

// The checks the unpacker makes on an output name, made here in advance so
// that an archive it would refuse is never written.
void CheckName(const std::string& What, const std::string& Name, const char* Field,
               bool AllowEmpty) {
  std::string reason;
  if (!IsSafeOutputName(Name, &reason)) Refuse(What, std::string(Field) + " " + Quoted(Name) + ": " + reason);
  if (Name.empty() && !AllowEmpty) Refuse(What, std::string(Field) + " names no file");
}

void CheckLength(const std::string& What, const std::string& Text, int32_t Capacity,
                 const char* Field) {
  if (Text.size() > static_cast<std::size_t>(Capacity))
    Refuse(What, std::string(Field) + " is longer than " + std::to_string(Capacity) + " characters");
}

void WriteAll(TStream& Out, const void* Data, int32_t Count, const std::string& OutputPath) {
  if (Out.Write(Data, Count) != Count)
    throw EArchiveError("Cannot write " + Quoted(OutputPath));
}

int64_t InputSize(const std::string& What, const std::string& InputPath) {
  int64_t size = -1;
  try {
    TFileStream in(InputPath, fmOpenRead | fmShareDenyNone);
    size = in.Size();
  } catch (const Exception& e) {
    Refuse(What, e.Message());
  }
  if (size < 0) Refuse(What, "its size cannot be read");
  if (size > TArchiveWriter::MaxArchiveSize) Refuse(What, "a file of 2 GiB or more does not fit an archive");
  return size;
}

}  // namespace

void TArchiveWriter::CheckRoom(const std::string& What) const {
  if (items_.size() >= static_cast<std::size_t>(MaxPackEntries))
    Refuse(What, "an archive holds at most " + std::to_string(MaxPackEntries) + " entries");
}

void TArchiveWriter::AddFile(const std::string& InputPath, const std::string& FileName,
                             const std::string& SourcePath) {
  AddFile(InputPath, FileName, SourcePath, DefaultMode);
}

void TArchiveWriter::AddFile(const std::string& InputPath, const std::string& FileName,
                             const std::string& SourcePath, TCompressMode Mode) {
  const std::string& what = InputPath;
  CheckRoom(what);
  TArchiveItem item;
  item.InputPath = InputPath;
  item.FileName = FileName;
  item.SourcePath = SourcePath.empty() ? FileName : SourcePath;
  item.Mode = Mode;
  CheckLength(what, item.FileName, FileNameCapacity, "FileName");
  CheckLength(what, item.SourcePath, SourcePathCapacity, "SourcePath");
  CheckName(what, FileNamePart(item.FileName), "FileName", false);
  if (!item.SourcePath.empty() && item.SourcePath[0] == DirectoryMarker)
    Refuse(what, "a file's SourcePath cannot begin with the directory marker '|'");
  CheckName(what, item.SourcePath, "SourcePath", false);
  item.OriginalSize = InputSize(what, InputPath);
  items_.push_back(std::move(item));
}

void TArchiveWriter::AddDirectory(const std::string& SourcePath, const std::string& FileName) {
  const std::string& what = SourcePath;
  CheckRoom(what);
  TArchiveItem item;
  item.IsDirectory = true;
  item.SourcePath = std::string(1, DirectoryMarker) + SourcePath;
  item.FileName = FileName.empty() ? FileNamePart(SourcePath) : FileName;
  CheckLength(what, item.FileName, FileNameCapacity, "FileName");
  CheckLength(what, item.SourcePath, SourcePathCapacity, "SourcePath with its marker");
  // Extracted by FileName, a directory entry still names an output file.
  CheckName(what, FileNamePart(item.FileName), "FileName", false);
  CheckName(what, SourcePath, "SourcePath", true);
  items_.push_back(std::move(item));
}

void TArchiveWriter::Write(const std::string& StubPath, const std::string& OutputPath) {
  // The unpacker takes a count of 0 for "no archive".
  if (items_.empty())
    throw EArchiveError("Cannot write " + Quoted(OutputPath) + ": an archive needs at least one entry");
  std::unique_ptr<TFileStream> out;
  try {
    out = std::make_unique<TFileStream>(OutputPath, fmCreate);
  } catch (const Exception& e) {
    throw EArchiveError(e.Message());
  }
  try {
    if (!StubPath.empty()) {
      try {
        TFileStream stub(StubPath, fmOpenRead | fmShareDenyNone);
        std::vector<uint8_t> buffer(CopyBufferSize);
        int64_t total = 0;
        for (;;) {
          const int32_t n = stub.Read(buffer.data(), CopyBufferSize);
          if (n < 0) throw EArchiveError("Cannot read " + Quoted(StubPath));
          if (n == 0) break;
          total += n;
          if (total > MaxArchiveSize)
            throw EArchiveError("Cannot use the stub " + Quoted(StubPath) + ": it is 2 GiB or larger");
          WriteAll(*out, buffer.data(), n, OutputPath);
        }
      } catch (const EArchiveError&) {
        throw;
      } catch (const Exception& e) {
        throw EArchiveError("Cannot use the stub " + Quoted(StubPath) + ": " + e.Message());
      }
    }

    std::unique_ptr<Tlzrw1> packer;
    for (TArchiveItem& item : items_) {
      const std::string& what = item.IsDirectory ? item.SourcePath : item.InputPath;
      const int64_t start = out->Position();
      if (start < 0 || start > MaxArchiveSize)
        throw EArchiveError("Cannot pack " + Quoted(what) + ": the archive would reach 2 GiB");
      int64_t end = start;
      if (!item.IsDirectory) {
        try {
          if (!packer) {
            packer = std::make_unique<Tlzrw1>(nullptr);
            packer->UseStream = true;
          }
          TFileStream in(item.InputPath, fmOpenRead | fmShareDenyNone);
          const int64_t size = in.Size();
          if (size < 0 || size > MaxArchiveSize)
            throw EArchiveError("Cannot pack " + Quoted(what) +
                                ": a file of 2 GiB or more does not fit an archive");
          // Auto may switch the component to Good for a short input, so the
          // method is set anew for every entry.
          packer->CompressMode = item.Mode;
          packer->InputStream = &in;
          packer->OutputStream = out.get();
          const int32_t written = packer->Compress();
          packer->InputStream = nullptr;
          packer->OutputStream = nullptr;
          if (packer->Failed())
            throw EArchiveError("Cannot pack " + Quoted(what) + ": " + packer->FailureMessage());
          end = out->Position();
          if (end - start != written)
            throw EArchiveError("Cannot pack " + Quoted(what) + ": its stream was not written whole");
          item.OriginalSize = size;
        } catch (const EArchiveError&) {
          throw;
        } catch (const Exception& e) {
          if (packer) packer->InputStream = packer->OutputStream = nullptr;
          throw EArchiveError("Cannot pack " + Quoted(what) + ": " + e.Message());
        }
      }
      // The records and the count follow the data; everything must end below
      // 2 GiB.
      if (end + static_cast<int64_t>(sizeof(TPackEntry)) * static_cast<int64_t>(items_.size()) + 4 >
          MaxArchiveSize)
        throw EArchiveError("Cannot pack " + Quoted(what) + ": the archive would reach 2 GiB");
      item.StartOffset = static_cast<uint32_t>(start);
      item.EndOffset = static_cast<uint32_t>(end);
    }

    std::vector<TPackEntry> records(items_.size());
    for (std::size_t i = 0; i < items_.size(); ++i) {
      TPackEntry& r = records[i];
      std::memset(&r, 0, sizeof r);
      SetCountedString(r.Signature, SignatureCapacity, PackSignature);
      r.StartOffset = items_[i].StartOffset;
      r.EndOffset = items_[i].EndOffset;
      SetCountedString(r.FileName, FileNameCapacity, items_[i].FileName);
      SetCountedString(r.SourcePath, SourcePathCapacity, items_[i].SourcePath);
    }
    // The records are written as they lie in memory: their offsets are
    // little-endian, as on every target this runs on.
    static_assert(std::endian::native == std::endian::little);
    if (!records.empty())
      WriteAll(*out, records.data(), static_cast<int32_t>(records.size() * sizeof(TPackEntry)),
               OutputPath);
    const uint32_t count = static_cast<uint32_t>(items_.size());
    const uint8_t trailer[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                                static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
    WriteAll(*out, trailer, 4, OutputPath);
  } catch (...) {
    out.reset();
    DeleteFile(OutputPath);
    throw;
  }
}
