// The sfx tool as its users meet it: command lines, output, exit status and
// the files it writes or refuses to write.
#include <sys/stat.h>

#include <map>

#include "sfx_test_support.h"

using ::testing::HasSubstr;

namespace {

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// Files in Dir whose names start with Prefix (leftover temporary files).
std::vector<std::string> FilesStartingWith(const fs::path& Dir, const std::string& Prefix) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(Dir))
    if (e.path().filename().string().rfind(Prefix, 0) == 0) found.push_back(e.path().filename().string());
  return found;
}

// ------------------------------------------------------------ command line

struct UsageCase {
  std::vector<std::string> Args;
  int Exit;
  std::string Stream;  // "out" or "err"
  std::string Text;
};

class Usage : public SfxTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, ExitStatusAndMessage) {
  const UsageCase& c = GetParam();
  const RunResult r = Sfx(c.Args);
  EXPECT_EQ(r.Exit, c.Exit) << r.Err;
  EXPECT_THAT(c.Stream == "out" ? r.Out : r.Err, HasSubstr(c.Text));
}

INSTANTIATE_TEST_SUITE_P(
    Sfx, Usage,
    ::testing::Values(
        UsageCase{{"--help"}, 0, "out", "Usage: sfx COMMAND"},
        UsageCase{{"pack", "--help"}, 0, "out", "Usage: sfx pack"},
        UsageCase{{"list", "-h"}, 0, "out", "Usage: sfx list"},
        UsageCase{{"test", "--help"}, 0, "out", "Usage: sfx test"},
        UsageCase{{"extract", "--help"}, 0, "out", "Usage: sfx extract"},
        UsageCase{{}, 2, "err", "no command given"},
        UsageCase{{"unpack"}, 2, "err", "unknown command 'unpack'"},
        UsageCase{{"pack", "setup.exe"}, 2, "err", "no output given"},
        UsageCase{{"pack", "-o", "x.exe"}, 2, "err", "no splash program given"},
        UsageCase{{"pack", "-o", "x.exe", "-m", "best", "setup.exe"}, 2, "err", "unknown method 'best'"},
        UsageCase{{"pack", "-o"}, 2, "err", "option '-o' needs a value"},
        UsageCase{{"list", "--colour", "a.exe"}, 2, "err", "unknown option '--colour'"},
        UsageCase{{"list", "a.exe", "b.exe"}, 2, "err", "give exactly one ARCHIVE"},
        UsageCase{{"test"}, 2, "err", "Try 'sfx test --help'"},
        UsageCase{{"extract", "-x", "a.exe"}, 2, "err", "unknown option '-x'"},
        UsageCase{{"extract"}, 2, "err", "no ARCHIVE given"}));

// ------------------------------------------------------------ round trips

// A tree with nested folders, an empty file, an empty folder that files
// follow, binary and compressible data, and a file large enough for the
// auto method to sample it.
void MakeTree(const fs::path& root) {
  WriteBytes(root / "readme.txt", TextBytes("read me\n"));
  WriteBytes(root / "bin" / "tool.dat", SampleData(70000, 2, 1));
  WriteBytes(root / "bin" / "empty.cfg", {});
  fs::create_directories(root / "bin" / "cache");
  WriteBytes(root / "docs" / "big.txt", SampleData(200000, 3));
  WriteBytes(root / "docs" / "deep" / "er" / "note.txt", SampleData(33000, 4));
}

class RoundTrip : public SfxTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RoundTrip, PackListTestExtract) {
  MakeStubAndSplash();
  MakeTree(P("tree"));
  WriteBytes(P("extra.bin"), SampleData(5000, 9, 1));
  RunResult r = Sfx({"pack", "-q", "-o", "out.exe", "--stub", "stub.exe", "-m", GetParam(),
                     "setup.exe", "tree", "extra.bin"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Err, "");

  // The installer: the stub's bytes, then the archive, executable.
  const Bytes installer = ReadBytes(P("out.exe"));
  const Bytes stub = ReadBytes(P("stub.exe"));
  ASSERT_GE(installer.size(), stub.size());
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), installer.begin()));
  struct stat st;
  ASSERT_EQ(stat(P("out.exe").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  // Catalogue order: the splash program, then the folder depth first in
  // sorted order with each folder before its contents, then extra.bin. A
  // folder entry carries the name of the file that follows it.
  const std::vector<Record> rec = ReadRecords(installer);
  std::vector<std::pair<std::string, std::string>> names;
  for (const Record& x : rec) names.emplace_back(x.FileName, x.SourcePath);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"setup.exe", "setup.exe"},
      {"empty.cfg", "|bin"},
      {"empty.cfg", "|bin\\cache"},
      {"empty.cfg", "bin\\empty.cfg"},
      {"tool.dat", "bin\\tool.dat"},
      {"big.txt", "|docs"},
      {"big.txt", "docs\\big.txt"},
      {"note.txt", "|docs\\deep"},
      {"note.txt", "|docs\\deep\\er"},
      {"note.txt", "docs\\deep\\er\\note.txt"},
      {"readme.txt", "readme.txt"},
      {"extra.bin", "extra.bin"}};
  EXPECT_EQ(names, expected);
  ASSERT_EQ(rec.size(), expected.size());
  EXPECT_EQ(rec[0].Start, stub.size());
  for (std::size_t i = 0; i + 1 < rec.size(); ++i) EXPECT_EQ(rec[i].End, rec[i + 1].Start) << i;
  EXPECT_EQ(rec.back().End, installer.size() - 4 - 428 * rec.size());
  EXPECT_EQ(rec[3].Signature, "KVFILEID");

  // list: a header, one line per entry, a summary.
  r = Sfx({"list", "out.exe"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  std::vector<std::string> lines;
  std::istringstream in(r.Out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), expected.size() + 2) << r.Out;
  EXPECT_THAT(lines[0], HasSubstr("method"));
  EXPECT_THAT(lines[2], HasSubstr("dir"));
  EXPECT_THAT(lines[2], HasSubstr("bin\\"));
  EXPECT_THAT(lines[4], HasSubstr("empty.cfg  [bin\\empty.cfg]"));
  EXPECT_THAT(lines[4], HasSubstr(" 0 "));
  EXPECT_THAT(lines[7], HasSubstr(" 200000 "));
  EXPECT_THAT(lines.back(), HasSubstr("12 entries"));
  for (std::size_t i = 1; i <= expected.size(); ++i) {
    if (GetParam() == "good") {
      EXPECT_TRUE(Contains(lines[i], "lzh") || Contains(lines[i], "dir")) << lines[i];
    } else if (GetParam() == "fast") {
      EXPECT_TRUE(Contains(lines[i], "lzrw1kh") || Contains(lines[i], "dir")) << lines[i];
    }
    EXPECT_FALSE(Contains(lines[i], " ? ")) << lines[i];
  }

  r = Sfx({"test", "out.exe"});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out, "out.exe: 12 entries OK\n");

  // extract as the unpacker does: every file by its name, into one folder.
  r = Sfx({"extract", "-q", "out.exe", "-d", "flat"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(Tree(P("flat")), (std::vector<std::string>{"big.txt", "empty.cfg", "extra.bin", "note.txt",
                                                          "readme.txt", "setup.exe", "tool.dat"}));
  EXPECT_EQ(ReadBytes(P("flat/big.txt")), ReadBytes(P("tree/docs/big.txt")));
  EXPECT_EQ(ReadBytes(P("flat/tool.dat")), ReadBytes(P("tree/bin/tool.dat")));
  EXPECT_EQ(ReadBytes(P("flat/empty.cfg")), Bytes{});
  EXPECT_EQ(ReadBytes(P("flat/setup.exe")), ReadBytes(P("setup.exe")));
  EXPECT_EQ(ReadBytes(P("flat/extra.bin")), ReadBytes(P("extra.bin")));

  // extract -p: the stored folder structure, empty folder included.
  r = Sfx({"extract", "-q", "-p", "out.exe", "-d", "kept"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  fs::remove(P("kept/setup.exe"));
  fs::remove(P("kept/extra.bin"));
  EXPECT_EQ(Tree(P("kept")), Tree(P("tree")));
  EXPECT_EQ(ReadBytes(P("kept/docs/deep/er/note.txt")), ReadBytes(P("tree/docs/deep/er/note.txt")));
}

INSTANTIATE_TEST_SUITE_P(Methods, RoundTrip, ::testing::Values("good", "fast", "auto"));

TEST_F(SfxTest, ListJsonIsValidAndEscapesNames) {
  // Names the writer would never store, to exercise the escaping: quotes,
  // a backslash, a control character and a byte of the 8-bit code page.
  const std::string odd = std::string("q\"uo\\te\x01") + "\xE9.txt";
  const Bytes a = BuildArchive(MinimalPe(), {{CompressedStream(TextBytes("abc"), TCompressMode::Good), "setup.exe", "", {}, {}},
                                             {CompressedStream({}, TCompressMode::Fast), odd, "x\\y", {}, {}},
                                             {{}, "d", "|folder", std::nullopt, std::nullopt}});
  WriteBytes(P("a.exe"), a);
  const RunResult r = Sfx({"list", "--json", "a.exe"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  WriteText(P("list.json"), r.Out);
  // Python reads the JSON and compares with the names as code points of the
  // same byte values.
  WriteText(P("check.py"),
            "import json, sys\n"
            "d = json.load(open(sys.argv[1]))\n"
            "assert [e['method'] for e in d] == ['lzh', 'lzrw1kh', 'dir'], d\n"
            "assert d[0]['size'] == 3 and d[1]['size'] == 0 and d[2]['size'] is None, d\n"
            "assert d[1]['file_name'] == 'q\"uo\\\\te\\x01\\xe9.txt', d[1]\n"
            "assert d[1]['source_path'] == 'x\\\\y' and d[2]['directory'] is True, d\n");
  const std::string check = "python3 " + P("check.py").string() + " " + P("list.json").string();
  EXPECT_EQ(std::system(check.c_str()), 0) << r.Out;
}

TEST_F(SfxTest, PackHoldsExactly501Entries) {
  MakeStubAndSplash();
  for (int i = 0; i < 500; ++i) WriteBytes(P("many/f" + std::to_string(1000 + i)), {static_cast<uint8_t>(i)});
  RunResult r = Sfx({"pack", "-q", "-m", "fast", "-o", "out.exe", "--stub", "stub.exe", "setup.exe", "many"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(ReadRecords(ReadBytes(P("out.exe"))).size(), 501u);
  r = Sfx({"test", "-q", "out.exe"});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  r = Sfx({"extract", "-q", "out.exe", "-d", "x", "f1499"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(Tree(P("x")), std::vector<std::string>{"f1499"});
  EXPECT_EQ(ReadBytes(P("x/f1499")), Bytes{static_cast<uint8_t>(499)});
}

// -------------------------------------------------------------- pack errors

struct PackErrorCase {
  std::string Name;
  std::vector<std::string> Args;  // after "pack -o out.exe"
  std::string Subject;            // the file the message names
  std::string Cause;
};

class PackErrors : public SfxTest, public ::testing::WithParamInterface<PackErrorCase> {
protected:
  void MakeInputs() {
    MakeStubAndSplash();
    WriteText(P("notpe.exe"), "#!/bin/sh\necho not a Windows program\n");
    Bytes shortMz = {'M', 'Z', 0, 0};
    WriteBytes(P("shortmz.exe"), shortMz);
    Bytes badLfanew = MinimalPe();
    badLfanew[60] = 0xF0;  // e_lfanew past the end of the file
    WriteBytes(P("badlfanew.exe"), badLfanew);
    Bytes noPe = MinimalPe();
    noPe[65] = 'X';
    WriteBytes(P("nope.exe"), noPe);
    Bytes x64 = MinimalPe();
    x64[68] = 0x64;
    x64[69] = 0x86;
    WriteBytes(P("x64.exe"), x64);
    for (int i = 0; i < 501; ++i) WriteBytes(P("full/f" + std::to_string(i)), {1});
    WriteText(P("long/" + std::string(201, 'n')), "x");
    WriteText(P("deep/" + std::string(150, 'd') + "/" + std::string(60, 'f')), "x");
    WriteText(P("odd/a:b.txt"), "x");
    WriteText(P("dev/con.txt"), "x");
    fs::create_directories(P("folder"));
  }
};

TEST_P(PackErrors, RefusedWithoutWritingAnything) {
  const PackErrorCase& c = GetParam();
  MakeInputs();
  // An installer from an earlier run must survive a failed one untouched.
  WriteText(P("out.exe"), "earlier installer");
  std::vector<std::string> args = {"pack", "-q", "-o", "out.exe"};
  args.insert(args.end(), c.Args.begin(), c.Args.end());
  const RunResult r = Sfx(args);
  EXPECT_EQ(r.Exit, 1) << r.Err;
  EXPECT_THAT(r.Err, HasSubstr("sfx: " + c.Subject + ": "));
  EXPECT_THAT(r.Err, HasSubstr(c.Cause));
  EXPECT_EQ(ReadBytes(P("out.exe")), TextBytes("earlier installer"));
  EXPECT_EQ(FilesStartingWith(dir_, ".out.exe"), std::vector<std::string>{});
}

const std::string kLong(201, 'n');

INSTANTIATE_TEST_SUITE_P(
    Sfx, PackErrors,
    ::testing::Values(
        PackErrorCase{"MissingSplash", {"--stub", "stub.exe", "nosuch.exe"}, "nosuch.exe", "no such file or folder"},
        PackErrorCase{"MissingPath", {"--stub", "stub.exe", "setup.exe", "gone"}, "gone", "no such file or folder"},
        PackErrorCase{"SplashIsFolder", {"--stub", "stub.exe", "folder"}, "folder", "must be a file"},
        PackErrorCase{"MissingStub", {"--stub", "nostub.exe", "setup.exe"}, "nostub.exe", "no such file"},
        PackErrorCase{"StubNotPe", {"--stub", "notpe.exe", "setup.exe"}, "notpe.exe", "no \"MZ\" header"},
        PackErrorCase{"StubHeaderCut", {"--stub", "shortmz.exe", "setup.exe"}, "shortmz.exe", "cut short"},
        PackErrorCase{"StubLfanewOutside", {"--stub", "badlfanew.exe", "setup.exe"}, "badlfanew.exe", "no \"PE\" signature"},
        PackErrorCase{"StubNoPeSignature", {"--stub", "nope.exe", "setup.exe"}, "nope.exe", "no \"PE\" signature"},
        PackErrorCase{"StubNot32Bit", {"--stub", "x64.exe", "setup.exe"}, "x64.exe", "not a 32-bit x86"},
        PackErrorCase{"TooManyEntries", {"--stub", "stub.exe", "setup.exe", "full"}, "out.exe", "502 entries"},
        PackErrorCase{"FileNameTooLong", {"--stub", "stub.exe", "setup.exe", "long"}, "long/" + kLong, "longer than 200"},
        PackErrorCase{"SourcePathTooLong", {"--stub", "stub.exe", "setup.exe", "deep"},
                      "deep/" + std::string(150, 'd') + "/" + std::string(60, 'f'), "longer than 202"},
        PackErrorCase{"NameWindowsRefuses", {"--stub", "stub.exe", "setup.exe", "odd"}, "odd/a:b.txt", "':'"},
        PackErrorCase{"DeviceName", {"--stub", "stub.exe", "setup.exe", "dev"}, "dev/con.txt", "names a device"},
        PackErrorCase{"FileOfTheWrongKind", {"--stub", "stub.exe", "setup.exe", "/dev/null"}, "/dev/null",
                      "not a regular file"}),
    [](const auto& info) { return info.param.Name; });

TEST_F(SfxTest, PackRefusesAFileOf2GiB) {
  MakeStubAndSplash();
  // Sparse: nothing is read, the size alone is refused.
  fs::resize_file(P("setup.exe"), 0);
  WriteText(P("huge.bin"), "");
  fs::resize_file(P("huge.bin"), 2147483648ull);
  const RunResult r = Sfx({"pack", "-q", "-o", "out.exe", "--stub", "stub.exe", "setup.exe", "huge.bin"});
  fs::remove(P("huge.bin"));
  EXPECT_EQ(r.Exit, 1);
  EXPECT_THAT(r.Err, HasSubstr("sfx: huge.bin: a file of 2 GiB or more"));
  EXPECT_FALSE(fs::exists(P("out.exe")));
}

// A failure or an interrupt while the installer is being written leaves
// neither the installer nor its temporary file.
TEST_F(SfxTest, PackLeavesNothingWhenWritingFails) {
  MakeStubAndSplash();
  WriteBytes(P("data.bin"), SampleData(100000, 5));
  for (const std::string fault : {"write:0", "write:3", "interrupt"}) {
    SCOPED_TRACE(fault);
    const RunResult r = Sfx({"pack", "-q", "-o", "out.exe", "--stub", "stub.exe", "setup.exe", "data.bin"},
                            {"SFX_TEST_FAULT=" + fault});
    if (fault == "interrupt") {
      EXPECT_EQ(r.Exit, 128 + SIGINT);
    } else {
      EXPECT_EQ(r.Exit, 1);
      EXPECT_THAT(r.Err, HasSubstr("sfx: out.exe: "));
      EXPECT_THAT(r.Err, ::testing::Not(HasSubstr(".out.exe.")));  // the temporary name stays inside
    }
    EXPECT_FALSE(fs::exists(P("out.exe")));
    EXPECT_EQ(FilesStartingWith(dir_, ".out.exe"), std::vector<std::string>{});
  }
}

TEST_F(SfxTest, PackWarnsAboutNamesTheUnpackerOverwrites) {
  MakeStubAndSplash();
  WriteText(P("a/x/Same.txt"), "first");
  WriteText(P("a/y/same.txt"), "second");
  RunResult r = Sfx({"pack", "-q", "-o", "out.exe", "--stub", "stub.exe", "setup.exe", "a"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_THAT(r.Err, HasSubstr("sfx: warning: a/y/same.txt: 2 files are named \"same.txt\""));
  // The later entry wins, as in the unpacker.
  r = Sfx({"extract", "-q", "out.exe", "-d", "x"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(ReadBytes(P("x/same.txt")), TextBytes("second"));
}

TEST_F(SfxTest, PackLeavesOutFoldersThatNoFileFollows) {
  MakeStubAndSplash();
  WriteText(P("t/a.txt"), "a");
  fs::create_directories(P("t/z/empty"));
  const RunResult r = Sfx({"pack", "-q", "-o", "out.exe", "--stub", "stub.exe", "setup.exe", "t"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_THAT(r.Err, HasSubstr("z\\empty: folder left out"));
  EXPECT_EQ(ReadRecords(ReadBytes(P("out.exe"))).size(), 2u);
  EXPECT_EQ(Sfx({"test", "-q", "out.exe"}).Exit, 0);
}

TEST_F(SfxTest, PackWithoutStubFindsNoDefaultInTheTestTree) {
  MakeStubAndSplash();
  // Next to a binary with no ../win32/unpacker.exe the default stub is
  // missing; with the cross build present it is found and checked.
  const RunResult r = Sfx({"pack", "-q", "-o", "out.exe", "setup.exe"});
  const fs::path bin = fs::path(SFX_BINARY).parent_path();
  if (fs::exists(bin / ".." / "win32" / "unpacker.exe") || fs::exists(bin / ".." / "win32" / "bin" / "unpacker.exe")) {
    EXPECT_EQ(r.Exit, 0) << r.Err;
  } else {
    EXPECT_EQ(r.Exit, 1);
    EXPECT_THAT(r.Err, HasSubstr("win32/unpacker.exe: the default unpacker stub is missing"));
    EXPECT_FALSE(fs::exists(P("out.exe")));
  }
}

// ------------------------------------------------------- not an archive

struct BadArchiveCase {
  std::string Name;
  Bytes Data;  // empty with Missing
  bool Missing;
  std::string Cause;
};

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<BadArchiveCase> BadArchives() {
  const Bytes good = BuildArchive(MinimalPe(), {{CompressedStream(TextBytes("abc"), TCompressMode::Good), "a.txt", ""},
                                                {CompressedStream(TextBytes("def"), TCompressMode::Good), "b.txt", ""}});
  return {
      {"Missing", {}, true, "cannot open the file"},
      {"Empty", {}, false, "0 bytes is too short"},
      {"ThreeBytes", {1, 0, 0}, false, "3 bytes is too short"},
      {"CountZero", Concat(SampleData(1000, 1), Le32(0)), false, "the record count at its end is 0"},
      {"Count502", Concat(SampleData(1000, 1), Le32(502)), false, "the record count at its end is 502"},
      {"CountNegative", Concat(SampleData(1000, 1), Le32(0xFFFFFFFF)), false, "the record count at its end is -1"},
      {"RecordsBeforeStart", Concat(SampleData(1000, 1), Le32(3)), false, "would begin before the start"},
      {"TruncatedInstaller", Bytes(good.begin(), good.end() - 100), false, "not an archive"},
      {"PlainProgram", MinimalPe(), false, "not an archive"},
  };
}

class NotAnArchive : public SfxTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(NotAnArchive, EveryReadingCommandSaysWhy) {
  for (const BadArchiveCase& c : BadArchives()) {
    SCOPED_TRACE(c.Name);
    if (!c.Missing) WriteBytes(P("bad.exe"), c.Data);
    std::vector<std::string> args = {GetParam(), "bad.exe"};
    if (GetParam() == "extract") args = {"extract", "bad.exe", "-d", "out"};
    const RunResult r = Sfx(args);
    EXPECT_EQ(r.Exit, 1);
    EXPECT_THAT(r.Err, HasSubstr("sfx: bad.exe: "));
    EXPECT_THAT(r.Err, HasSubstr(c.Cause));
    EXPECT_EQ(r.Out, "");
    EXPECT_FALSE(fs::exists(P("out")));
    fs::remove(P("bad.exe"));
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, NotAnArchive, ::testing::Values("list", "test", "extract"));

// ------------------------------------------------------------ sfx test

TEST_F(SfxTest, TestNamesEachDamagedEntryAndWhy) {
  const Bytes abc = TextBytes("sound data of the first entry");
  const Bytes lzh = CompressedStream(SampleData(20000, 7), TCompressMode::Good);
  Bytes wrongSize = CompressedStream(TextBytes("twelve bytes"), TCompressMode::Fast);
  wrongSize[4] = 13;  // the header promises one byte more than the blocks hold
  Bytes badSignature = CompressedStream(abc, TCompressMode::Good);
  badSignature[0] = 'X';
  const uint32_t stub = static_cast<uint32_t>(MinimalPe().size());
  const Bytes a = BuildArchive(
      MinimalPe(),
      {{CompressedStream(abc, TCompressMode::Good), "setup.exe", ""},  // 0 sound
       {badSignature, "sig.txt", ""},                                    // 1
       {wrongSize, "size.txt", ""},                                      // 2
       {lzh, "cut.txt", "", std::nullopt, std::nullopt},                  // 3, end fixed below
       {CompressedStream(abc, TCompressMode::Fast), "far.txt", "", std::nullopt, 0x7FFFFF00u},  // 4
       {CompressedStream(abc, TCompressMode::Fast), "back.txt", "", stub + 50, stub + 10},     // 5
       {CompressedStream(abc, TCompressMode::Fast), "ok.txt", ""},        // 6 sound
       {{}, "z", "|folder"}});                                            // 7: no stream follows it
  WriteBytes(P("a.exe"), a);
  // Entry 3: keep its data but let its end offset cut the stream short.
  Bytes cut = a;
  const std::size_t rec3 = cut.size() - 4 - 428 * 8 + 428 * 3;
  const uint32_t end3 = cut[rec3 + 20] | cut[rec3 + 21] << 8 | cut[rec3 + 22] << 16 | uint32_t(cut[rec3 + 23]) << 24;
  const Bytes newEnd = Le32(end3 - 40);
  std::copy(newEnd.begin(), newEnd.end(), cut.begin() + static_cast<std::ptrdiff_t>(rec3 + 20));
  WriteBytes(P("a.exe"), cut);

  const RunResult r = Sfx({"test", "-q", "a.exe"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_EQ(r.Out, "");
  std::map<int, std::string> lines;
  std::istringstream in(r.Err);
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find("entry ");
    if (at != std::string::npos) lines[std::stoi(line.substr(at + 6))] = line;
  }
  EXPECT_EQ(lines.size(), 6u) << r.Err;
  EXPECT_THAT(lines[1], HasSubstr("sfx: a.exe: entry 1 (sig.txt): its data begin with no stream signature (58 48 5A 4C)"));
  EXPECT_THAT(lines[2], HasSubstr("entry 2 (size.txt): "));
  EXPECT_THAT(lines[2], HasSubstr("sizes do not match"));
  EXPECT_THAT(lines[3], HasSubstr("entry 3 (cut.txt): "));
  EXPECT_THAT(lines[4], HasSubstr("entry 4 (far.txt): its data (offsets"));
  EXPECT_THAT(lines[4], HasSubstr("lie outside the entry data"));
  EXPECT_THAT(lines[5], HasSubstr("entry 5 (back.txt): its end offset"));
  EXPECT_THAT(lines[7], HasSubstr("entry 7 (folder\\): the unpacker would decode the data at its start offset"));
  EXPECT_THAT(r.Err, HasSubstr("sfx: a.exe: 6 of 8 entries damaged"));
}

// --------------------------------------------------------- sfx extract

TEST_F(SfxTest, ExtractSelectsByNameAndLaterEntriesWin) {
  const Bytes a = BuildArchive(MinimalPe(), {{CompressedStream(TextBytes("splash"), TCompressMode::Good), "setup.exe", ""},
                                             {CompressedStream(TextBytes("old"), TCompressMode::Fast), "dir\\same.txt", ""},
                                             {CompressedStream(TextBytes("other"), TCompressMode::Good), "other.txt", ""},
                                             {CompressedStream(TextBytes("new"), TCompressMode::Good), "C:same.txt", ""}});
  WriteBytes(P("a.exe"), a);
  RunResult r = Sfx({"extract", "-q", "-v", "a.exe", "-d", "new/deeper", "same.txt"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out, "same.txt\nsame.txt\n");
  EXPECT_EQ(Tree(P("new")), (std::vector<std::string>{"deeper/", "deeper/same.txt"}));
  EXPECT_EQ(ReadBytes(P("new/deeper/same.txt")), TextBytes("new"));

  r = Sfx({"extract", "-q", "a.exe", "-d", "none", "other.txt", "missing.txt"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_THAT(r.Err, HasSubstr("sfx: a.exe: no entry named \"missing.txt\""));
  EXPECT_FALSE(fs::exists(P("none")));

  // Without -d: the current folder.
  r = Sfx({"extract", "-q", "a.exe", "other.txt"});
  ASSERT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(ReadBytes(P("other.txt")), TextBytes("other"));

  WriteText(P("afile"), "");
  r = Sfx({"extract", "-q", "a.exe", "-d", "afile"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_THAT(r.Err, HasSubstr("sfx: afile: cannot create the folder"));
}

struct UnsafeCase {
  std::string FileName;
  std::string SourcePath;
  bool Paths;  // extract -p
  std::string Cause;
};

class ExtractUnsafe : public SfxTest, public ::testing::WithParamInterface<UnsafeCase> {};

// Names that would leave the target folder are refused; what came before
// stays extracted, nothing lands outside, nothing after is attempted.
TEST_P(ExtractUnsafe, RefusedAndNothingOutside) {
  const UnsafeCase& c = GetParam();
  const Bytes a = BuildArchive(MinimalPe(), {{CompressedStream(TextBytes("splash"), TCompressMode::Good), "setup.exe", ""},
                                             {CompressedStream(TextBytes("evil"), TCompressMode::Good), c.FileName, c.SourcePath},
                                             {CompressedStream(TextBytes("late"), TCompressMode::Good), "late.txt", ""}});
  WriteBytes(P("a.exe"), a);
  fs::create_directories(P("work/target"));
  std::vector<std::string> args = {"extract", "-q", "a.exe", "-d", "work/target"};
  if (c.Paths) args.push_back("-p");
  const RunResult r = Sfx(args);
  EXPECT_EQ(r.Exit, 1);
  EXPECT_THAT(r.Err, HasSubstr("sfx: a.exe: Cannot extract"));
  EXPECT_THAT(r.Err, HasSubstr(c.Cause));
  EXPECT_EQ(Tree(P("work")), (std::vector<std::string>{"target/", "target/setup.exe"}));
  EXPECT_FALSE(fs::exists(P("evil")));
  EXPECT_FALSE(fs::exists("/evil"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExtractUnsafe,
    ::testing::Values(UnsafeCase{"../evil", "", false, "\"..\" component"},
                      UnsafeCase{"a/../../evil", "", false, "\"..\" component"},
                      UnsafeCase{"..", "", false, "\"..\" component"},
                      UnsafeCase{"/evil", "", false, "absolute path"},
                      UnsafeCase{"x\\", "", false, "its name is empty"},
                      UnsafeCase{"ok.txt", "..\\evil", true, "\"..\" component"},
                      UnsafeCase{"ok.txt", "|..\\..", true, "\"..\" component"},
                      UnsafeCase{"ok.txt", "\\evil", true, "absolute path"}));

}  // namespace
