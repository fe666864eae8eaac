// Loading the catalogue from the end of the archive file.
#include <cstring>
#include <fstream>

#include "archive/archive_writer.h"
#include "archive_test_support.h"
#include "platform/fault_injection.h"

namespace {

class Catalogue : public ArchiveTest {};

TEST_F(Catalogue, FourEntriesAreReadFromBeforeTheCount) {
  const Bytes stub(1000, 0xCC);
  std::vector<RawEntry> entries;
  for (int i = 0; i < 4; ++i)
    entries.push_back({StoredStream(TextBytes(Numbered("entry ", i))),
                       Numbered("dir\\file", i) + ".txt", Numbered("src\\file", i)});
  const std::string archive = WriteArchive("a.exe", stub, entries);
  const Bytes file = ReadBytes(archive);

  ASSERT_TRUE(LoadCatalogue(archive));
  EXPECT_TRUE(CatalogueLoaded);
  ASSERT_EQ(PackCatalogue.Count, 4);
  // The records are the 4 * 428 bytes that end 4 bytes before the end.
  const std::size_t first = file.size() - 4 - 4 * sizeof(TPackEntry);
  EXPECT_EQ(std::memcmp(PackCatalogue.Entries, file.data() + first, 4 * sizeof(TPackEntry)), 0);
  EXPECT_EQ(PackCatalogue.Entries[0].StartOffset, stub.size());
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(PackCatalogue.Entries[i].EndOffset, PackCatalogue.Entries[i + 1].StartOffset);
  EXPECT_EQ(PackCatalogue.Entries[3].EndOffset, first);
  EXPECT_EQ(EntryFileName(PackCatalogue.Entries[2]), "dir\\file2.txt");
  EXPECT_EQ(EntrySourcePath(PackCatalogue.Entries[3]), "src\\file3");
}

TEST_F(Catalogue, FullTableOf501Entries) {
  WriteBytes(Path("in.txt"), TextBytes("x"));
  TArchiveWriter w;
  for (int i = 0; i < MaxPackEntries; ++i)
    w.AddFile(Path("in.txt"), Numbered("f", i), "", TCompressMode::Fast);
  w.Write("", Path("a.exe"));

  ASSERT_TRUE(LoadCatalogue(Path("a.exe")));
  ASSERT_EQ(PackCatalogue.Count, 501);
  EXPECT_EQ(EntryFileName(PackCatalogue.Entries[500]), "f500");
  EXPECT_EQ(PackCatalogue.Entries[0].StartOffset, 0u);
  EXPECT_EQ(PackCatalogue.Entries[500].EndOffset,
            fs::file_size(Path("a.exe")) - 4 - 501 * sizeof(TPackEntry));
}

// Counts that describe no usable table: the load fails, nothing is read past
// the 501 slots, and a catalogue loaded before does not stay "loaded".
struct BadCount {
  const char* label;
  uint32_t count;
};

class CatalogueBadCount : public ArchiveTest, public ::testing::WithParamInterface<BadCount> {};

TEST_P(CatalogueBadCount, IsRejected) {
  const std::vector<RawEntry> one = {{StoredStream(TextBytes("abc")), "a.txt", "a.txt"}};
  ASSERT_TRUE(LoadCatalogue(WriteArchive("good.exe", Bytes(50, 1), one)));

  // 502 real records in the file, so a loader that trusted the count would
  // find every byte it asked for.
  std::vector<RawEntry> many(502, RawEntry{Bytes{}, "n", "n"});
  const std::string bad = WriteArchive("bad.exe", Bytes(50, 1), many, GetParam().count);
  EXPECT_FALSE(LoadCatalogue(bad));
  EXPECT_FALSE(CatalogueLoaded);
  EXPECT_EQ(PackCatalogue.Count, 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, CatalogueBadCount,
                         ::testing::Values(BadCount{"zero", 0}, BadCount{"n502", 502},
                                           BadCount{"minus1", 0xFFFFFFFFu},
                                           BadCount{"minint", 0x80000000u},
                                           BadCount{"n1000000", 1000000}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(Catalogue, FilesThatHoldNoCatalogue) {
  WriteBytes(Path("zeros.exe"), Bytes(600, 0));  // last four bytes zero
  WriteBytes(Path("tiny.exe"), Bytes{1, 0});     // shorter than the count
  // Claims 5 records but is too short to hold them.
  WriteBytes(Path("short.exe"), Bytes{1, 2, 3, 4, 5, 0, 0, 0});
  for (const char* name : {"zeros.exe", "tiny.exe", "short.exe", "missing.exe"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(LoadCatalogue(Path(name)));
    EXPECT_FALSE(CatalogueLoaded);
  }
  // Nor is a directory an archive.
  EXPECT_FALSE(LoadCatalogue(dir_.string()));
}

TEST_F(Catalogue, ArchivesOf2GiBOrMoreAreRejected) {
  // A valid catalogue at the end of a sparse file: its 32-bit signed offsets
  // cannot describe such a file.
  const std::vector<RawEntry> one = {{StoredStream(TextBytes("abc")), "a.txt", "a.txt"}};
  const Bytes tail = BuildArchive({}, one);
  const int64_t size = int64_t{INT32_MAX} + 1;
  WriteBytes(Path("big.exe"), {});
  fs::resize_file(Path("big.exe"), static_cast<uintmax_t>(size) - tail.size());
  {
    std::ofstream out(Path("big.exe"), std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
  }
  ASSERT_EQ(fs::file_size(Path("big.exe")), static_cast<uintmax_t>(size));
  EXPECT_FALSE(LoadCatalogue(Path("big.exe")));
  fs::resize_file(Path("big.exe"), 0);
}

TEST_F(Catalogue, ReadErrorsFailTheLoad) {
  const std::vector<RawEntry> one = {{StoredStream(TextBytes("abc")), "a.txt", "a.txt"}};
  const std::string archive = WriteArchive("a.exe", {}, one);
  for (int after : {0, 1}) {  // the count, then the records
    SCOPED_TRACE(after);
    InjectFileReadFailure(after);
    EXPECT_FALSE(LoadCatalogue(archive));
    EXPECT_FALSE(CatalogueLoaded);
    InjectFileReadFailure(-1);
  }
  EXPECT_TRUE(LoadCatalogue(archive));
}

TEST_F(Catalogue, CountedStringsHonourTheirLengthByte) {
  const std::vector<RawEntry> one = {{StoredStream(TextBytes("abc")), "ABCDEFGH", "src"}};
  Bytes file = BuildArchive({}, one);
  const std::size_t rec = file.size() - 4 - sizeof(TPackEntry);
  file[rec + offsetof(TPackEntry, FileName)] = 5;  // "ABCDE", then leftovers
  WriteBytes(Path("a.exe"), file);

  ASSERT_TRUE(LoadCatalogue(Path("a.exe")));
  EXPECT_EQ(EntryFileName(PackCatalogue.Entries[0]), "ABCDE");
  const std::string out = MakeDir("out");
  ASSERT_TRUE(ExtractEntry(Path("a.exe"), out, 0, false));
  EXPECT_TRUE(fs::exists(fs::path(out) / "ABCDE"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "ABCDEFGH"));
}

TEST_F(Catalogue, LengthByteBeyondTheCapacityStaysInsideTheField) {
  TPackEntry e{};
  e.FileName[0] = 255;  // capacity 200
  std::memset(e.FileName + 1, 'n', FileNameCapacity);
  e.SourcePath[0] = 'X';
  EXPECT_EQ(EntryFileName(e), std::string(FileNameCapacity, 'n'));
}

TEST_F(Catalogue, LoadingTwiceGivesTheSameTable) {
  std::vector<RawEntry> entries;
  for (int i = 0; i < 3; ++i)
    entries.push_back({StoredStream(TextBytes(std::string(i + 1, 'q'))), Numbered("f", i), ""});
  const std::string archive = WriteArchive("a.exe", Bytes(10, 9), entries);
  ASSERT_TRUE(LoadCatalogue(archive));
  const TPackCatalogue first = PackCatalogue;
  ASSERT_TRUE(LoadCatalogue(archive));
  EXPECT_EQ(std::memcmp(&first, &PackCatalogue, sizeof first), 0);
  EXPECT_TRUE(CatalogueLoaded);
}

TEST_F(Catalogue, RecordSignatureIsNotChecked) {
  const std::vector<RawEntry> one = {
      {StoredStream(TextBytes("payload")), "a.txt", "a.txt", "SOMETHINGELSE"}};
  const std::string archive = WriteArchive("a.exe", {}, one);
  ASSERT_TRUE(LoadCatalogue(archive));
  const std::string out = MakeDir("out");
  ASSERT_TRUE(ExtractAll(archive, out, nullptr, false));
  EXPECT_EQ(ReadBytes(fs::path(out) / "a.txt"), TextBytes("payload"));
}

TEST(FileNamePartTest, TakesWhatFollowsTheLastColonOrBackslash) {
  struct Case {
    std::string path, expected;
  };
  const Case cases[] = {
      {"C:\\Temp\\A.DAT", "A.DAT"},
      {"A:B", "B"},
      {"x/y", "x/y"},  // '/' is no separator here
      {"dir\\", ""},
      {"C:", ""},
      {"", ""},
      {"plain.txt", "plain.txt"},
      {"a\\b:c\\d", "d"},
      {std::string(300, 'n'), std::string(255, 'n')},
      {"dir\\" + std::string(300, 'm'), std::string(255, 'm')},
  };
  for (const Case& c : cases) EXPECT_EQ(FileNamePart(c.path), c.expected) << c.path;
}

}  // namespace
