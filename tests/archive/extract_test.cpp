// Extracting entries: output naming, the shared component and its streams,
// progress, failures, directory entries and names that must be refused.
#include <algorithm>
#include <cstring>
#include <set>

#include "archive/archive_writer.h"
#include "archive_test_support.h"
#include "platform/fault_injection.h"
#include "platform/memory.h"

namespace {

class Extract : public ArchiveTest {
protected:
  // Four entries of different methods and sizes behind a 700-byte stub,
  // packed by the writer; answers the archive path.
  std::string FourEntryArchive() {
    data_ = {SampleData(100000, 1), SampleData(70000, 2), SampleData(120000, 3), Bytes{}};
    names_ = {"a.txt", "b.bin", "c.dat", "d.empty"};
    const TCompressMode modes[] = {TCompressMode::Good, TCompressMode::Fast, TCompressMode::Auto,
                                   TCompressMode::Good};
    WriteBytes(Path("stub.exe"), Bytes(700, 0x5A));
    TArchiveWriter w;
    for (int i = 0; i < 4; ++i) {
      WriteBytes(Path(Numbered("in", i)), data_[i]);
      w.AddFile(Path(Numbered("in", i)), "src\\" + names_[i], "", modes[i]);
    }
    w.Write(Path("stub.exe"), Path("a.exe"));
    return Path("a.exe");
  }
  std::vector<Bytes> data_;
  std::vector<std::string> names_;
};

// What the hook saw: one record per call.
struct HookCall {
  std::string file;
  int32_t read, written;
  bool shared, entryFile;
};
std::vector<HookCall> hookCalls;
void RecordingHook() {
  int32_t r = -1, w = -1;
  GetExtractCounts(r, w);
  hookCalls.push_back({CurrentFileName, r, w, Decompressor != nullptr && ArchiveStream != nullptr,
                       EntryFile != nullptr});
}

TEST_F(Extract, ExtractAllWritesEveryEntryWithProgressDuringEach) {
  const std::string archive = FourEntryArchive();
  const std::string out = MakeDir("out");
  hookCalls.clear();
  ASSERT_TRUE(ExtractAll(archive, out, RecordingHook, false));
  ExpectReferencesEmpty();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ReadBytes(fs::path(out) / names_[i]), data_[i]) << names_[i];

  // The hook runs inside each Decompress, with the entry's name in place
  // and the component's counters handed out by GetExtractCounts.
  std::vector<std::string> order;
  for (const HookCall& c : hookCalls) {
    EXPECT_TRUE(c.shared);
    EXPECT_TRUE(c.entryFile);
    if (order.empty() || order.back() != c.file) order.push_back(c.file);
  }
  EXPECT_EQ(order, names_);
  for (int i = 0; i < 4; ++i) {
    int32_t maxRead = 0, maxWritten = 0;
    for (const HookCall& c : hookCalls)
      if (c.file == names_[i]) {
        maxRead = std::max(maxRead, c.read);
        maxWritten = std::max(maxWritten, c.written);
      }
    const TPackEntry& e = PackCatalogue.Entries[i];
    // The LZH reader reads ahead in batches, so it may count bytes past
    // the entry's end; it never counts fewer than the entry holds.
    // (An empty LZH stream is not read past its header.)
    if (!data_[i].empty()) {
      EXPECT_GE(maxRead, static_cast<int32_t>(e.EndOffset - e.StartOffset)) << names_[i];
    }
    EXPECT_EQ(maxWritten, static_cast<int32_t>(data_[i].size())) << names_[i];
  }
  EXPECT_EQ(CurrentFileName, "d.empty");
  EXPECT_EQ(ProgressHook, &RecordingHook);  // left in place after ExtractAll

  // With no component left, GetExtractCounts leaves its outputs alone.
  int32_t r = -7, w = -8;
  GetExtractCounts(r, w);
  EXPECT_EQ(r, -7);
  EXPECT_EQ(w, -8);

  // A stand-alone ExtractEntry makes its own component and empties the hook.
  hookCalls.clear();
  ASSERT_TRUE(ExtractEntry(archive, out, 0, false));
  EXPECT_EQ(ProgressHook, nullptr);
  EXPECT_TRUE(hookCalls.empty());
  ExpectReferencesEmpty();
}

// A hook that starts another extraction finds the shared state in use.
std::string nestedArchive, nestedTarget;
int nestedCalls = 0;
bool nestedResult = true;
void NestingHook() {
  ++nestedCalls;
  nestedResult = nestedResult && ExtractAll(nestedArchive, nestedTarget, nullptr, false);
}

TEST_F(Extract, ExtractAllInsideTheHookIsRefused) {
  nestedArchive = FourEntryArchive();
  nestedTarget = MakeDir("nested");
  nestedCalls = 0;
  nestedResult = true;
  const std::string out = MakeDir("out");
  ASSERT_TRUE(ExtractAll(nestedArchive, out, NestingHook, false));
  EXPECT_GT(nestedCalls, 0);
  EXPECT_FALSE(nestedResult);
  EXPECT_TRUE(fs::is_empty(nestedTarget));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ReadBytes(fs::path(out) / names_[i]), data_[i]);
}

TEST_F(Extract, StandAloneEntryLoadsTheCatalogueAndSetsTheCurrentEntry) {
  const std::string archive = FourEntryArchive();
  const std::string out = MakeDir("out");
  ASSERT_FALSE(CatalogueLoaded);
  ASSERT_TRUE(ExtractEntry(archive, out, 2, false));
  EXPECT_TRUE(CatalogueLoaded);
  EXPECT_EQ(ReadBytes(fs::path(out) / "c.dat"), data_[2]);
  EXPECT_EQ(FilesBelow(), (std::vector<std::string>{"a.exe", "in0", "in1", "in2", "in3",
                                                     "out/c.dat", "stub.exe"}));
  EXPECT_EQ(CurrentFileName, "c.dat");
  const TPackEntry& e = PackCatalogue.Entries[2];
  EXPECT_EQ(CurrentPackedSize, static_cast<int32_t>(e.EndOffset - e.StartOffset));
}

TEST_F(Extract, NoCatalogueMeansFalseAndNothingCreated) {
  WriteBytes(Path("a.exe"), Bytes(64, 0));
  const std::string out = MakeDir("out");
  EXPECT_FALSE(ExtractEntry(Path("a.exe"), out, 0, false));
  EXPECT_FALSE(ExtractAll(Path("a.exe"), out, RecordingHook, false));
  EXPECT_FALSE(ExtractEntry(Path("missing.exe"), out, 0, false));
  EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(Extract, WindowsStylePathsAndTheAlwaysInsertedSeparator) {
  const std::vector<RawEntry> entries = {{StoredStream(TextBytes("one")), "C:\\x\\sub\\name.dat", ""},
                                         {StoredStream(TextBytes("two")), "two.dat", ""}};
  const std::string archive = WinPath(WriteArchive("a.exe", Bytes(3, 0), entries));
  MakeDir("out");
  // "...\out" and "...\out\" (doubled separator) name the same directory.
  ASSERT_TRUE(ExtractEntry(archive, WinPath(dir_ / "out"), 0, false));
  ASSERT_TRUE(ExtractEntry(archive, WinPath(dir_ / "out") + "\\", 1, false));
  EXPECT_EQ(ReadBytes(dir_ / "out" / "name.dat"), TextBytes("one"));
  EXPECT_EQ(ReadBytes(dir_ / "out" / "two.dat"), TextBytes("two"));
}

TEST_F(Extract, ExistingFilesAreOverwrittenAndTheLaterEntryWins) {
  const std::vector<RawEntry> entries = {{StoredStream(TextBytes("first")), "a\\same.txt", ""},
                                         {StoredStream(TextBytes("2nd")), "b\\same.txt", ""}};
  const std::string archive = WriteArchive("a.exe", {}, entries);
  const std::string out = MakeDir("out");
  WriteBytes(fs::path(out) / "same.txt", Bytes(5000, 'z'));
  ASSERT_TRUE(ExtractEntry(archive, out, 0, false));
  EXPECT_EQ(ReadBytes(fs::path(out) / "same.txt"), TextBytes("first"));  // truncated
  ASSERT_TRUE(ExtractAll(archive, out, nullptr, false));
  EXPECT_EQ(ReadBytes(fs::path(out) / "same.txt"), TextBytes("2nd"));
}

TEST_F(Extract, OutputThatCannotBeCreatedStopsExtractAll) {
  const std::string archive = FourEntryArchive();
  const std::string out = MakeDir("out");
  MakeDir("out/c.dat");  // entry 2's output name is taken by a directory
  EXPECT_FALSE(ExtractAll(archive, out, RecordingHook, false));
  ExpectReferencesEmpty();
  EXPECT_EQ(ReadBytes(fs::path(out) / "a.txt"), data_[0]);
  EXPECT_EQ(ReadBytes(fs::path(out) / "b.bin"), data_[1]);
  EXPECT_FALSE(fs::exists(fs::path(out) / "d.empty"));  // not attempted

  // Stand-alone, the platform's error passes to the caller after clean-up.
  const std::string target = out + "\\c.dat";
  try {
    ExtractEntry(archive, out, 2, false);
    FAIL() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + target);
  }
  ExpectReferencesEmpty();
}

// The chosen entries only, in the order given, through one shared session;
// unlike ExtractAll the first error reaches the caller, after clean-up.
TEST_F(Extract, ExtractEntriesTakesTheChosenSlotsAndLetsErrorsOut) {
  const std::string archive = FourEntryArchive();
  ASSERT_TRUE(LoadCatalogue(archive));
  const std::string out = MakeDir("out");
  hookCalls.clear();
  const std::vector<int32_t> chosen = {2, 0};
  ExtractEntries(archive, out, RecordingHook, false, &chosen);
  ExpectReferencesEmpty();
  EXPECT_EQ(ReadBytes(fs::path(out) / "c.dat"), data_[2]);
  EXPECT_EQ(ReadBytes(fs::path(out) / "a.txt"), data_[0]);
  EXPECT_FALSE(fs::exists(fs::path(out) / "b.bin"));
  ASSERT_FALSE(hookCalls.empty());
  EXPECT_EQ(hookCalls.front().file, "c.dat");
  EXPECT_EQ(hookCalls.back().file, "a.txt");

  const std::vector<int32_t> badIndex = {1, MaxPackEntries};
  EXPECT_THROW(ExtractEntries(archive, out, nullptr, false, &badIndex), EArchiveError);
  ExpectReferencesEmpty();
  EXPECT_EQ(ReadBytes(fs::path(out) / "b.bin"), data_[1]);  // the entry before the error stays
}

TEST_F(Extract, ArchiveThatCannotBeOpenedAfterTheCatalogue) {
  const std::string archive = FourEntryArchive();
  ASSERT_TRUE(LoadCatalogue(archive));
  fs::remove(archive);  // the catalogue stays loaded; the file is gone
  const std::string out = MakeDir("out");
  try {
    ExtractEntry(archive, out, 0, false);
    FAIL() << "no error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + archive);
  }
  ExpectReferencesEmpty();
  EXPECT_TRUE(fs::is_empty(out));
}

// A damaged entry is an error, not a short file passed off as extracted.
struct Damage {
  const char* label;
  Bytes stream;
  const char* componentMessage;
};

class ExtractDamaged : public ArchiveTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(ExtractDamaged, RaisesAloneAndStopsExtractAll) {
  const std::vector<RawEntry> entries = {{StoredStream(TextBytes("good0")), "e0.txt", ""},
                                         {GetParam().stream, "bad.txt", ""},
                                         {StoredStream(TextBytes("good2")), "e2.txt", ""}};
  const std::string archive = WriteArchive("a.exe", Bytes(20, 0), entries);
  const std::string out = MakeDir("out");
  hookCalls.clear();
  EXPECT_FALSE(ExtractAll(archive, out, RecordingHook, false));
  ExpectReferencesEmpty();
  EXPECT_EQ(ReadBytes(fs::path(out) / "e0.txt"), TextBytes("good0"));
  EXPECT_TRUE(fs::exists(fs::path(out) / "bad.txt"));  // left as far as it got
  EXPECT_FALSE(fs::exists(fs::path(out) / "e2.txt"));

  try {
    ExtractEntry(archive, out, 1, false);
    FAIL() << "no error";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.Message(), std::string("Cannot extract bad.txt: ") + GetParam().componentMessage);
  }
  ExpectReferencesEmpty();
}

Bytes Truncated() {
  // The block claims 3001 bytes; what follows in the file up to its end (the
  // next entry and the catalogue) is far shorter.
  Bytes s = StoredStream(Bytes(3000, 'k'));
  s.resize(40);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ExtractDamaged,
    ::testing::Values(Damage{"UnknownSignature", TextBytes("XXXXnot a stream"),
                             "Lzrw1 decompression : input stream contains no valid header !"},
                      Damage{"SignatureBytesSwapped", TextBytes("LZRW\x01\0\0\0\x02\0\x80q"),
                             "Lzrw1 decompression : input stream contains no valid header !"},
                      Damage{"TruncatedBlockStream", Truncated(),
                             "Compression Error, reading from input stream !"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Extract, IndexOutsideTheCatalogueIsRefused) {
  const std::vector<RawEntry> entries = {{StoredStream(TextBytes("x")), "x.txt", ""},
                                         {StoredStream(TextBytes("y")), "y.txt", ""}};
  const std::string archive = WriteArchive("a.exe", {}, entries);
  const std::string out = MakeDir("out");
  for (int32_t index : {-1, 2, 500, 501, INT32_MIN}) {
    SCOPED_TRACE(index);
    EXPECT_THROW(ExtractEntry(archive, out, index, false), EArchiveError);
    ExpectReferencesEmpty();
  }
  EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(Extract, DirectoryEntriesByTheirSourcePath) {
  TArchiveWriter w;
  WriteBytes(Path("tool"), TextBytes("tool bytes"));
  WriteBytes(Path("data"), TextBytes("data bytes"));
  w.AddDirectory("bin");
  w.AddFile(Path("tool"), "pkg\\tool.exe", "bin\\tool.exe");
  w.AddDirectory("bin\\lib");
  w.AddDirectory("missing\\parent");  // cannot be made: ignored
  w.AddFile(Path("data"), "data.txt", "data.txt");
  w.Write("", Path("a.exe"));
  const std::string out = MakeDir("out");
  MakeDir("out/bin");  // an existing directory is fine

  ASSERT_TRUE(ExtractAll(Path("a.exe"), out, nullptr, true));
  EXPECT_TRUE(fs::is_directory(fs::path(out) / "bin" / "lib"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "missing"));
  EXPECT_EQ(ReadBytes(fs::path(out) / "bin" / "tool.exe"), TextBytes("tool bytes"));
  EXPECT_EQ(ReadBytes(fs::path(out) / "data.txt"), TextBytes("data bytes"));
  // The marker was dropped in the loaded slots; a reload brings it back.
  EXPECT_EQ(EntrySourcePath(PackCatalogue.Entries[0]), "bin");
  EXPECT_EQ(PackCatalogue.Entries[0].SourcePath[4], 0);
  EXPECT_EQ(EntrySourcePath(PackCatalogue.Entries[2]), "bin\\lib");
  ASSERT_TRUE(LoadCatalogue(Path("a.exe")));
  EXPECT_EQ(EntrySourcePath(PackCatalogue.Entries[2]), "|bin\\lib");

  // Alone: a directory entry leaves the current entry as it was.
  CurrentFileName = "before";
  CurrentPackedSize = 77;
  ASSERT_TRUE(ExtractEntry(Path("a.exe"), out, 2, true));
  EXPECT_EQ(CurrentFileName, "before");
  EXPECT_EQ(CurrentPackedSize, 77);
  EXPECT_EQ(EntrySourcePath(PackCatalogue.Entries[2]), "bin\\lib");
  // The output of a file entry is named by SourcePath, the current name by
  // the FileName.
  ASSERT_TRUE(ExtractEntry(Path("a.exe"), out, 1, true));
  EXPECT_EQ(CurrentFileName, "tool.exe");
  ExpectReferencesEmpty();
}

// Names that would put an output outside the target directory. "$ABS" is an
// absolute native path into the scratch directory, "$WABS" the same in
// Windows form, so a wrong answer would still land where the test looks.
struct UnsafeName {
  const char* label;
  std::string fileName;
  std::string sourcePath;
  bool useSourcePath;
};

class ExtractUnsafe : public ArchiveTest, public ::testing::WithParamInterface<UnsafeName> {
protected:
  std::string Expand(std::string s) const {
    for (const char* key : {"$WABS", "$ABS"}) {
      const auto at = s.find(key);
      if (at == std::string::npos) continue;
      const std::string value =
          std::string(key) == "$ABS" ? (dir_ / "evil").string() : WinPath(dir_ / "evil");
      s.replace(at, std::strlen(key), value);
    }
    return s;
  }
};

TEST_P(ExtractUnsafe, IsRefusedAndNothingIsWrittenOutside) {
  const UnsafeName& c = GetParam();
  const std::string fileName = Expand(c.fileName), sourcePath = Expand(c.sourcePath);
  const std::vector<RawEntry> entries = {{StoredStream(TextBytes("fine")), "ok.txt", "ok.txt"},
                                         {StoredStream(TextBytes("evil")), fileName, sourcePath}};
  const std::string archive = WriteArchive("a.exe", {}, entries);
  const std::string out = MakeDir("a/b/out");

  try {
    ExtractEntry(archive, out, 1, c.useSourcePath);
    FAIL() << "no error";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot extract ", 0), 0u) << e.Message();
  }
  ExpectReferencesEmpty();
  EXPECT_FALSE(ExtractAll(archive, out, nullptr, c.useSourcePath));
  ExpectReferencesEmpty();
  EXPECT_EQ(FilesBelow(), (std::vector<std::string>{"a.exe", "a/b/out/ok.txt"}));
  for (const auto& e : fs::recursive_directory_iterator(dir_))
    EXPECT_EQ(e.path().string().find("evil"), std::string::npos) << e.path();
  // The marker of a refused directory entry stays where it was.
  if (!sourcePath.empty() && sourcePath[0] == '|') {
    EXPECT_EQ(EntrySourcePath(PackCatalogue.Entries[1]), sourcePath);
  }

  // The writer refuses to store such an entry in the first place.
  WriteBytes(Path("in"), TextBytes("x"));
  TArchiveWriter w;
  if (!sourcePath.empty() && sourcePath[0] == '|') {
    EXPECT_THROW(w.AddDirectory(sourcePath.substr(1), fileName), EArchiveError);
  } else {
    EXPECT_THROW(w.AddFile(Path("in"), fileName, sourcePath.empty() ? fileName : sourcePath),
                 EArchiveError);
  }
  EXPECT_TRUE(w.Items().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExtractUnsafe,
    ::testing::Values(
        UnsafeName{"FileNameSlashParent", "../evil", "ok.txt", false},
        UnsafeName{"FileNameParentAfterBackslash", "sub\\../../evil", "ok.txt", false},
        UnsafeName{"FileNameInnerParent", "x/../../../evil", "ok.txt", false},
        UnsafeName{"FileNameAbsolute", "$ABS", "ok.txt", false},
        UnsafeName{"FileNameEmptyPart", "dir\\", "ok.txt", false},
        UnsafeName{"FileNameDotsAndSpaces", ".. /evil", "ok.txt", false},
        UnsafeName{"SourcePathBackslashParent", "ok.txt", "..\\evil", true},
        UnsafeName{"SourcePathSlashParent", "ok.txt", "../evil", true},
        UnsafeName{"SourcePathInnerParent", "ok.txt", "a\\..\\..\\..\\evil", true},
        UnsafeName{"SourcePathAbsolute", "ok.txt", "$ABS", true},
        UnsafeName{"SourcePathAbsoluteWindows", "ok.txt", "$WABS", true},
        UnsafeName{"SourcePathDrive", "ok.txt", "C:\\evil", true},
        UnsafeName{"SourcePathDriveRelative", "ok.txt", "C:evil", true},
        UnsafeName{"SourcePathControlCharacter", "ok.txt", std::string("ev\nil"), true},
        UnsafeName{"DirectoryParent", "ok", "|..\\..\\evil", true},
        UnsafeName{"DirectoryAbsolute", "ok", "|$ABS", true},
        UnsafeName{"DirectoryDrive", "ok", "|C:\\evil", true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Extract, EmptySourcePathOfAFileIsRefused) {
  const std::vector<RawEntry> entries = {{StoredStream(TextBytes("x")), "x.txt", ""}};
  const std::string archive = WriteArchive("a.exe", {}, entries);
  const std::string out = MakeDir("out");
  EXPECT_THROW(ExtractEntry(archive, out, 0, true), EArchiveError);
  EXPECT_TRUE(ExtractEntry(archive, out, 0, false));  // by FileName it is fine
}

TEST_F(Extract, SafeNamesThatLookOdd) {
  for (const std::string& name : {std::string("a..b"), std::string("..x"), std::string(".hidden"),
                                  std::string("sub\\.\\x"), std::string("x.."), std::string("a/b")})
    EXPECT_TRUE(IsSafeOutputName(name)) << name;
}

// Failures at every step a platform service can fail: each one either
// completes or raises, and always leaves no component and no stream behind.
TEST_F(Extract, InjectedFailuresLeaveNoReferences) {
  const std::string archive = FourEntryArchive();
  const std::string out = MakeDir("out");
  int raised = 0;
  for (int kind = 0; kind < 3; ++kind)
    for (int after = 0; after < 6; ++after) {
      SCOPED_TRACE(testing::Message() << "kind " << kind << " after " << after);
      ASSERT_TRUE(LoadCatalogue(archive));
      if (kind == 0) InjectAllocFailure(after);
      if (kind == 1) InjectFileReadFailure(after);
      if (kind == 2) InjectFileWriteFailure(after);
      try {
        EXPECT_TRUE(ExtractEntry(archive, out, 1, false));
      } catch (const Exception&) {
        ++raised;
      }
      InjectAllocFailure(-1);
      InjectFileReadFailure(-1);
      InjectFileWriteFailure(-1);
      ExpectReferencesEmpty();
      ASSERT_TRUE(CatalogueLoaded);
      // ExtractAll turns the same failures into false.
      if (kind == 1) InjectFileReadFailure(after + 1);  // past the reload
      if (kind == 2) InjectFileWriteFailure(after);
      if (kind != 0) {
        EXPECT_FALSE(ExtractAll(archive, out, nullptr, false));
      }
      InjectFileReadFailure(-1);
      InjectFileWriteFailure(-1);
      ExpectReferencesEmpty();
    }
  EXPECT_GT(raised, 6);
  EXPECT_TRUE(ExtractAll(archive, out, nullptr, false));
}

}  // namespace
