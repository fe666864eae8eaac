// The hostile inputs of docs/hostile-inputs.md, each run against the real
// code: damaged compressed streams through Tlzrw1::Decompress in both channel
// modes, and damaged archives through LoadCatalogue, ExtractAll and
// ExtractEntry. Each case pins what the input gets (message, result, what is
// left on disk), so that the document and the code cannot drift apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "archive/packerunit.h"
#include "lzrw1/lzrw1.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kReadStream = "Compression Error, reading from input stream !";
const std::string kNoHeaderStream = "Lzrw1 decompression : input stream contains no valid header !";
const std::string kBlockSizes =
    "Lzrw1 (decompression LZRW1/KH) : Original and compressed sizes do not match !";
const std::string kLzhSizes =
    "Lzrw1 (LZH decompression) : Original and compressed sizes do not match !";
const std::string kBlockTooLong =
    "Lzrw1 (decompression LZRW1/KH) : block longer than the I/O buffer, the stream is damaged !";

void PutLe(Bytes& b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Header(const char* signature, uint32_t size) {
  Bytes b(signature, signature + 4);
  PutLe(b, size, 4);
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(std::size_t size) {
  Bytes out;
  uint32_t x = 99;
  static const char* const words[] = {"archive ", "entry ", "target ", "stream ", "block\n"};
  while (out.size() < size) {
    x = x * 1664525u + 1013904223u;
    for (const char* w = words[(x >> 16) % 5]; *w && out.size() < size; ++w) out.push_back(*w);
  }
  return out;
}

Bytes Compressed(const Bytes& data, TCompressMode mode) {
  Tlzrw1 c;
  TMemoryStream in(data), out;
  c.UseStream = true;
  c.CompressMode = mode;
  c.InputStream = &in;
  c.OutputStream = &out;
  c.Compress();
  EXPECT_FALSE(c.Failed()) << c.FailureMessage();
  return out.Data();
}

// A block stream whose one block holds eight run items of the largest count a
// decoder can meet (4111 bytes each, 32888 in all), more than the 32784-byte
// output buffer: the decoder stops before the run that does not fit.
Bytes OverlongBlockStream() {
  Bytes body = {0x40, 0xFF, 0x00};  // compressed form; eight copy items
  for (int i = 0; i < 8; ++i) body.insert(body.end(), {0x00, 0x0F, 0xFF, 'r'});
  Bytes s = Header("WRZL", 8 * 4111);
  PutLe(s, static_cast<uint32_t>(body.size()), 2);
  return Cat(s, body);
}

struct StreamCase {
  const char* label;
  Bytes input;
  std::string streamMessage;  // empty: no failure
  std::string fileMessage;    // "$IN" stands for the input file's path
  int32_t written;            // Decompress's result in stream mode, at least
  int32_t extra = 0;          // and at most this much more
};

std::vector<StreamCase> StreamCases() {
  const Bytes text = Text(20000);
  const Bytes lzh = Compressed(text, TCompressMode::Good);
  Bytes blockTooLong = Header("WRZL", 40000);
  PutLe(blockTooLong, 32785, 2);
  blockTooLong.resize(blockTooLong.size() + 32785, 0x80);
  Bytes bodyCut = Header("WRZL", 100);
  PutLe(bodyCut, 101, 2);
  bodyCut.push_back(0x80);
  bodyCut.resize(bodyCut.size() + 10, 'x');
  // Two full blocks, then one cut short: the first two stay written.
  Bytes laterBlockCut = Compressed(Bytes(2 * BlockSize + 10, 'z'), TCompressMode::Fast);
  laterBlockCut.pop_back();
  // One literal 'a', then a match of nine bytes at offset 0, with the size
  // field saying 2: the match runs seven bytes past it.
  const Bytes lzhPastSize = Cat(Header("!HZL", 2), {0xF6, 0xC9, 0x00, 0x00});

  return {
      {"HeaderCutInTheSignature", {'W', 'R', 'Z'}, kReadStream,
       "Compression Error, reading from input file : $IN", 0},
      {"HeaderCutInTheSize", {'!', 'H', 'Z', 'L', 0x10, 0x00}, kReadStream,
       "Compression Error, reading from input file : $IN", 0},
      {"UnknownSignature", Header("LZRW", 10), kNoHeaderStream,
       "$IN : Lzrw1 decompression : this file has no valid header !", 0},
      {"BlockLengthAboveTheBuffer", blockTooLong, kBlockTooLong, kBlockTooLong, 0},
      {"BlockBodyCutShort", bodyCut, kReadStream,
       "Compression Error, reading from input file : $IN", 0},
      {"LaterBlockCutShort", laterBlockCut, kReadStream,
       "Compression Error, reading from input file : $IN", 2 * BlockSize},
      {"BlockDecodingToMoreThanTheBuffer", OverlongBlockStream(), kBlockSizes, kBlockSizes,
       7 * 4111},
      {"BlockSizeDisagreesWithHeader", Cat(Header("WRZL", 20), {11, 0, 0x80, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}),
       kBlockSizes, kBlockSizes, 10},
      // The stream has no end marker: the decoder stops once it asks past
      // the end of the input a second time (a complete stream asks once at
      // most), so a cut stream ends short of its announced size instead of
      // decoding zero bits up to it. Even one missing byte that held bits of
      // the last token is caught.
      {"LzhStreamCutShort", Bytes(lzh.begin(), lzh.begin() + static_cast<long>(lzh.size() / 2)),
       kLzhSizes, kLzhSizes, 0, 19999},
      {"LzhStreamLastByteCut", Bytes(lzh.begin(), lzh.end() - 1), kLzhSizes, kLzhSizes, 0, 19999},
      {"LzhHeaderAnnouncing2GiB", Header("!HZL", 0x7FFFFFFF), kLzhSizes, kLzhSizes, 0},
      {"LzhStreamDecodingPastItsSize", lzhPastSize, kLzhSizes, kLzhSizes, 10},
  };
}

class HostileStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(HostileStream, StreamModeAbsorbsAndRecordsTheFailure) {
  const StreamCase& c = GetParam();
  Tlzrw1 component;
  TMemoryStream in(c.input), out;
  component.UseStream = true;
  component.InputStream = &in;
  component.OutputStream = &out;
  const int32_t result = component.Decompress();
  EXPECT_GE(result, c.written);
  EXPECT_LE(result, c.written + c.extra);
  EXPECT_EQ(out.Data().size(), static_cast<std::size_t>(result));
  EXPECT_EQ(component.Failed(), !c.streamMessage.empty());
  EXPECT_EQ(component.FailureMessage(), c.streamMessage);
}

TEST_P(HostileStream, NamedFileModeRaisesAndDeletesTheOutput) {
  const StreamCase& c = GetParam();
  const fs::path dir = fs::temp_directory_path() /
                       ("kvsfx-hostile-" + std::to_string(getpid()) + "-" + c.label);
  fs::create_directories(dir);
  const fs::path input = dir / "in.bin", output = dir / "out.bin";
  {
    std::ofstream f(input, std::ios::binary);
    f.write(reinterpret_cast<const char*>(c.input.data()),
            static_cast<std::streamsize>(c.input.size()));
  }
  Tlzrw1 component;
  component.InputFile = input.string();
  component.OutputFile = output.string();
  std::string message;
  try {
    component.Decompress();
  } catch (const Exception& e) {
    message = e.Message();
  }
  std::string want = c.fileMessage;
  if (const auto at = want.find("$IN"); at != std::string::npos)
    want.replace(at, 3, input.string());
  EXPECT_EQ(message, want);
  EXPECT_EQ(fs::exists(output), want.empty());
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileStream, ::testing::ValuesIn(StreamCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// ------------------------------------------------------------------ archives

struct Record {
  std::string fileName;
  uint32_t start = 0;  // offset of the entry's data; 0: right after the stub
  uint32_t end = 0;
  Bytes data;          // the entry's stream
};

// The stub, then each record's data, then the records and the count (or
// `count` when given).
Bytes BuildArchive(std::vector<Record> records, std::optional<uint32_t> count = std::nullopt) {
  Bytes a(32, 'S');
  for (Record& r : records) {
    if (r.start == 0) r.start = static_cast<uint32_t>(a.size());
    a.insert(a.end(), r.data.begin(), r.data.end());
    if (r.end == 0) r.end = static_cast<uint32_t>(a.size());
  }
  for (const Record& r : records) {
    TPackEntry e{};
    SetCountedString(e.Signature, SignatureCapacity, PackSignature);
    e.StartOffset = r.start;
    e.EndOffset = r.end;
    SetCountedString(e.FileName, FileNameCapacity, r.fileName);
    SetCountedString(e.SourcePath, SourcePathCapacity, r.fileName);
    // A name longer than the field: the length byte says more than it holds.
    if (r.fileName.size() > static_cast<std::size_t>(FileNameCapacity)) e.FileName[0] = 255;
    const auto* p = reinterpret_cast<const uint8_t*>(&e);
    a.insert(a.end(), p, p + sizeof e);
  }
  PutLe(a, count.value_or(static_cast<uint32_t>(records.size())), 4);
  return a;
}

class HostileArchive : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kvsfx-hostile-archive-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    target_ = dir_ / "a" / "b" / "target";
    fs::create_directories(target_);
    archive_ = (dir_ / "setup.exe").string();
    CatalogueLoaded = false;
  }
  void TearDown() override {
    EXPECT_EQ(Decompressor, nullptr);
    EXPECT_EQ(ArchiveStream, nullptr);
    EXPECT_EQ(EntryFile, nullptr);
    fs::remove_all(dir_);
  }
  void Write(const Bytes& archive) {
    std::ofstream f(archive_, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(archive.data()),
            static_cast<std::streamsize>(archive.size()));
  }
  // ExtractEntry(0) alone: its error message, or "" when it returned true,
  // or "false" when it returned false.
  std::string ExtractFirst() {
    CatalogueLoaded = false;
    try {
      return ExtractEntry(archive_, target_.string(), 0, false) ? "" : "false";
    } catch (const Exception& e) {
      return e.Message();
    }
  }
  // Every file below the scratch directory other than the archive, relative.
  std::vector<std::string> Files() const {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      if (e.is_regular_file() && e.path() != archive_)
        out.push_back(fs::relative(e.path(), dir_).string());
    std::sort(out.begin(), out.end());
    return out;
  }

  fs::path dir_, target_;
  std::string archive_;
};

const Bytes kHello = {'W', 'R', 'Z', 'L', 5, 0, 0, 0, 6, 0, 0x80, 'h', 'e', 'l', 'l', 'o'};

TEST_F(HostileArchive, CountsOutsideOneTo501AreRejected) {
  for (const uint32_t count : {0u, 502u, 0xFFFFFFFFu, 0x80000000u}) {
    SCOPED_TRACE(count);
    Write(BuildArchive({{"a.txt", 0, 0, kHello}}, count));
    EXPECT_FALSE(LoadCatalogue(archive_));
    EXPECT_FALSE(CatalogueLoaded);
    EXPECT_FALSE(ExtractAll(archive_, target_.string(), nullptr, false));
    EXPECT_EQ(ExtractFirst(), "false");
    EXPECT_TRUE(Files().empty());
  }
}

TEST_F(HostileArchive, CountLargerThanTheFileHolds) {
  Write(BuildArchive({{"a.txt", 0, 0, kHello}}, 501));
  EXPECT_FALSE(LoadCatalogue(archive_));
  EXPECT_FALSE(ExtractAll(archive_, target_.string(), nullptr, false));
  EXPECT_TRUE(Files().empty());
}

TEST_F(HostileArchive, OffsetsBeyondTheFile) {
  for (const uint32_t start : {100000u, 0x7FFFFFF0u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(start);
    fs::remove_all(target_);
    fs::create_directories(target_);
    Write(BuildArchive({{"a.txt", start, start + 16, kHello}, {"b.txt", 0, 0, kHello}}));
    EXPECT_TRUE(LoadCatalogue(archive_));
    EXPECT_FALSE(ExtractAll(archive_, target_.string(), nullptr, false));
    EXPECT_EQ(ExtractFirst(), "Cannot extract a.txt: " + kReadStream);
    // The output was created before the data turned out to be missing; the
    // entry after it is not attempted.
    EXPECT_EQ(Files(), std::vector<std::string>{"a/b/target/a.txt"});
    EXPECT_EQ(fs::file_size(target_ / "a.txt"), 0u);
  }
}

TEST_F(HostileArchive, UnsafeNamesAreRefusedBeforeAnythingIsCreated) {
  struct Name {
    std::string stored, message;
  };
  const std::vector<Name> names = {
      {"../evil", "Cannot extract ../evil: a \"..\" component would leave the target directory"},
      {"sub\\..", "Cannot extract ..: a \"..\" component would leave the target directory"},
      {"x/../../evil",
       "Cannot extract x/../../evil: a \"..\" component would leave the target directory"},
      {"/tmp/evil", "Cannot extract /tmp/evil: an absolute path would leave the target directory"},
      {"dir\\", "Cannot extract entry 0: its name is empty"},
  };
  for (const Name& n : names) {
    SCOPED_TRACE(n.stored);
    Write(BuildArchive({{n.stored, 0, 0, kHello}, {"b.txt", 0, 0, kHello}}));
    EXPECT_FALSE(ExtractAll(archive_, target_.string(), nullptr, false));
    EXPECT_EQ(ExtractFirst(), n.message);
    EXPECT_TRUE(Files().empty());
  }
  // A drive or directory in front of the name is dropped with it: only the
  // last part names the output.
  Write(BuildArchive({{"C:\\Windows\\evil.dll", 0, 0, kHello}}));
  EXPECT_TRUE(ExtractAll(archive_, target_.string(), nullptr, false));
  EXPECT_EQ(Files(), std::vector<std::string>{"a/b/target/evil.dll"});
}

TEST_F(HostileArchive, NameLongerThanItsFieldIsCutToTheField) {
  // The length byte says 255; the field holds 200 characters.
  const std::string name(300, 'n');
  Write(BuildArchive({{name, 0, 0, kHello}}));
  EXPECT_TRUE(ExtractAll(archive_, target_.string(), nullptr, false));
  EXPECT_EQ(Files(), std::vector<std::string>{"a/b/target/" + name.substr(0, 200)});
}

TEST_F(HostileArchive, ArchiveOf2GiBOrMoreIsRejected) {
  // A sparse file: 2 GiB of holes, then one record and the count.
  Bytes tail = BuildArchive({{"a.txt", 32, 48, kHello}});
  tail.erase(tail.begin(), tail.end() - static_cast<long>(sizeof(TPackEntry) + 4));
  {
    std::ofstream f(archive_, std::ios::binary | std::ios::trunc);
    f.seekp(std::streamoff{INT32_MAX} + 1);
    f.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    if (!f) GTEST_SKIP() << "no room for a sparse 2 GiB file here";
  }
  EXPECT_FALSE(LoadCatalogue(archive_));
  EXPECT_FALSE(ExtractAll(archive_, target_.string(), nullptr, false));
  EXPECT_EQ(ExtractFirst(), "false");
  EXPECT_TRUE(Files().empty());
}

}  // namespace
