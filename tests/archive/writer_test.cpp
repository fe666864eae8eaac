// The archive writer: the exact layout it produces and what it refuses.
#include <cstring>
#include <functional>

#include "archive/archive_writer.h"
#include "archive_test_support.h"
#include "platform/fault_injection.h"

namespace {

class Writer : public ArchiveTest {};

void AppendU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void AppendCounted(Bytes& b, const std::string& text, std::size_t capacity) {
  b.push_back(static_cast<uint8_t>(text.size()));
  b.insert(b.end(), text.begin(), text.end());
  b.insert(b.end(), capacity - text.size(), 0);
}

void AppendRecord(Bytes& b, uint32_t start, uint32_t end, const std::string& fileName,
                  const std::string& sourcePath) {
  AppendCounted(b, "KVFILEID", 15);
  AppendU32(b, start);
  AppendU32(b, end);
  AppendCounted(b, fileName, 200);
  AppendCounted(b, sourcePath, 202);
}

TEST_F(Writer, ExactLayoutOfASmallArchive) {
  WriteBytes(Path("stub"), TextBytes("STUB"));
  WriteBytes(Path("empty"), {});
  TArchiveWriter w;
  w.AddFile(Path("empty"), "docs\\a.txt", "", TCompressMode::Fast);
  w.AddDirectory("data");
  w.Write(Path("stub"), Path("a.exe"));

  Bytes expected = TextBytes("STUB");
  // Empty data in the block method: header, then the block of an empty piece.
  const uint8_t stream[] = {'W', 'R', 'Z', 'L', 0, 0, 0, 0, 1, 0, 0x80};
  expected.insert(expected.end(), std::begin(stream), std::end(stream));
  AppendRecord(expected, 4, 15, "docs\\a.txt", "docs\\a.txt");
  AppendRecord(expected, 15, 15, "data", "|data");
  AppendU32(expected, 2);
  EXPECT_EQ(ReadBytes(Path("a.exe")), expected);

  ASSERT_EQ(w.Items().size(), 2u);
  EXPECT_EQ(w.Items()[0].StartOffset, 4u);
  EXPECT_EQ(w.Items()[0].EndOffset, 15u);
}

TEST_F(Writer, EntriesFollowEachOtherWithoutGapsAndRoundTrip) {
  const std::vector<Bytes> data = {SampleData(40000, 7), SampleData(33000, 8), SampleData(150000, 9)};
  const TCompressMode modes[] = {TCompressMode::Good, TCompressMode::Fast, TCompressMode::Auto};
  WriteBytes(Path("stub"), Bytes(70000, 0x4D));  // longer than one copy buffer
  TArchiveWriter w;
  for (int i = 0; i < 3; ++i) {
    WriteBytes(Path(Numbered("in", i)), data[i]);
    w.AddFile(Path(Numbered("in", i)), Numbered("f", i), "", modes[i]);
  }
  w.Write(Path("stub"), Path("a.exe"));

  const Bytes file = ReadBytes(Path("a.exe"));
  ASSERT_TRUE(LoadCatalogue(Path("a.exe")));
  ASSERT_EQ(PackCatalogue.Count, 3);
  EXPECT_TRUE(std::equal(file.begin(), file.begin() + 70000, Bytes(70000, 0x4D).begin()));
  uint32_t expectedStart = 70000;
  for (int i = 0; i < 3; ++i) {
    const TPackEntry& e = PackCatalogue.Entries[i];
    EXPECT_EQ(e.StartOffset, expectedStart);
    expectedStart = e.EndOffset;
    // Each entry is one stream: method signature, then the original size.
    const uint8_t* s = file.data() + e.StartOffset;
    const std::string magic(reinterpret_cast<const char*>(s), 4);
    if (modes[i] == TCompressMode::Auto) {
      EXPECT_TRUE(magic == "WRZL" || magic == "!HZL") << magic;
    } else {
      EXPECT_EQ(magic, modes[i] == TCompressMode::Fast ? "WRZL" : "!HZL") << "entry " << i;
    }
    uint32_t size;
    std::memcpy(&size, s + 4, 4);
    EXPECT_EQ(size, data[i].size());
    EXPECT_EQ(w.Items()[i].OriginalSize, static_cast<int64_t>(data[i].size()));
  }
  EXPECT_EQ(expectedStart, file.size() - 4 - 3 * sizeof(TPackEntry));

  const std::string out = MakeDir("out");
  ASSERT_TRUE(ExtractAll(Path("a.exe"), out, nullptr, false));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadBytes(fs::path(out) / (Numbered("f", i))), data[i]);
}

TEST_F(Writer, DefaultModeIsGoodAndCanBeChanged) {
  WriteBytes(Path("in"), SampleData(1000, 3));
  TArchiveWriter w;
  w.AddFile(Path("in"), "good");
  w.DefaultMode = TCompressMode::Fast;
  w.AddFile(Path("in"), "fast");
  w.Write("", Path("a.exe"));
  const Bytes file = ReadBytes(Path("a.exe"));
  EXPECT_EQ(std::memcmp(file.data(), "!HZL", 4), 0);
  EXPECT_EQ(std::memcmp(file.data() + w.Items()[1].StartOffset, "WRZL", 4), 0);
}

// Each refusal names the file it is about.
TEST_F(Writer, RefusesEntriesTheFormatOrTheUnpackerCannotTake) {
  WriteBytes(Path("in"), TextBytes("x"));
  const std::string in = Path("in");
  struct Case {
    const char* label;
    std::function<void(TArchiveWriter&)> add;
    std::string named;
  };
  const std::string name200(200, 'n'), path202(202, 'p');
  const std::vector<Case> cases = {
      {"FileName201", [&](TArchiveWriter& w) { w.AddFile(in, name200 + "n"); }, in},
      {"SourcePath203", [&](TArchiveWriter& w) { w.AddFile(in, "ok", path202 + "p"); }, in},
      {"DirectoryWithMarker203", [&](TArchiveWriter& w) { w.AddDirectory(path202.substr(1) + "p"); },
       path202.substr(1) + "p"},
      {"FileSourcePathWithMarker", [&](TArchiveWriter& w) { w.AddFile(in, "ok", "|dir"); }, in},
      {"EmptyFileName", [&](TArchiveWriter& w) { w.AddFile(in, ""); }, in},
      {"DirectoryWithoutName", [&](TArchiveWriter& w) { w.AddDirectory(""); }, ""},
      {"MissingInput", [&](TArchiveWriter& w) { w.AddFile(Path("nope"), "nope"); }, Path("nope")},
      {"DirectoryAsInput", [&](TArchiveWriter& w) { w.AddFile(dir_.string(), "d"); }, dir_.string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TArchiveWriter w;
    try {
      c.add(w);
      ADD_FAILURE() << "accepted";
    } catch (const EArchiveError& e) {
      EXPECT_NE(e.Message().find("\"" + c.named + "\""), std::string::npos) << e.Message();
    }
    EXPECT_TRUE(w.Items().empty());
  }
  // The largest names that fit are taken.
  TArchiveWriter w;
  w.AddFile(in, name200, path202);
  w.AddDirectory(path202.substr(1), "d");
  EXPECT_EQ(w.Items().size(), 2u);
}

TEST_F(Writer, AtMost501Entries) {
  WriteBytes(Path("in"), TextBytes("x"));
  TArchiveWriter w;
  for (int i = 0; i < 500; ++i) w.AddFile(Path("in"), Numbered("f", i));
  w.AddDirectory("last");
  EXPECT_THROW(w.AddFile(Path("in"), "f501"), EArchiveError);
  EXPECT_THROW(w.AddDirectory("more"), EArchiveError);
  EXPECT_EQ(w.Items().size(), 501u);
}

TEST_F(Writer, InputsOf2GiBOrMoreAreRefused) {
  WriteBytes(Path("max"), {});
  fs::resize_file(Path("max"), INT32_MAX);  // sparse: takes no space
  WriteBytes(Path("big"), {});
  fs::resize_file(Path("big"), int64_t{INT32_MAX} + 1);
  TArchiveWriter w;
  w.AddFile(Path("max"), "max");  // fits the 32-bit size, if not an archive
  try {
    w.AddFile(Path("big"), "big");
    FAIL() << "accepted";
  } catch (const EArchiveError& e) {
    EXPECT_NE(e.Message().find(Path("big")), std::string::npos) << e.Message();
  }
  EXPECT_EQ(w.Items().size(), 1u);
}

TEST_F(Writer, AnEmptyArchiveIsNotWritten) {
  TArchiveWriter w;
  EXPECT_THROW(w.Write("", Path("a.exe")), EArchiveError);
  EXPECT_FALSE(fs::exists(Path("a.exe")));
}

TEST_F(Writer, FailureReportedByTheComponentFailsTheWriteAndRemovesTheOutput) {
  WriteBytes(Path("in"), SampleData(50000, 4));
  for (TCompressMode mode : {TCompressMode::Good, TCompressMode::Fast}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TArchiveWriter w;
    w.AddFile(Path("in"), "in.txt", "", mode);
    InjectFileWriteFailure(1);  // the header's size field
    try {
      w.Write("", Path("a.exe"));
      FAIL() << "no error";
    } catch (const EArchiveError& e) {
      EXPECT_EQ(e.Message(), "Cannot pack \"" + Path("in") +
                                 "\": Compression Error, writing to output stream !");
    }
    InjectFileWriteFailure(-1);
    EXPECT_FALSE(fs::exists(Path("a.exe")));
  }
}

TEST_F(Writer, UnreadableStubOrOutput) {
  WriteBytes(Path("in"), TextBytes("x"));
  TArchiveWriter w;
  w.AddFile(Path("in"), "in.txt");
  try {
    w.Write(Path("nostub"), Path("a.exe"));
    FAIL() << "no error";
  } catch (const EArchiveError& e) {
    EXPECT_NE(e.Message().find(Path("nostub")), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(fs::exists(Path("a.exe")));
  try {
    w.Write("", Path("no/dir/a.exe"));
    FAIL() << "no error";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + Path("no/dir/a.exe"));
  }
}

}  // namespace
