// An installer packed by `sfx pack` from the cross-built stub, run under
// Wine with the test splash program as entry 0: the files the real unpacker
// writes must be the ones `sfx extract` writes, byte for byte, and the splash
// program must be told that the extraction succeeded.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

#include "sfx_test_support.h"
#include "tests/e2e/wine_harness.h"

namespace {

const std::string kStub = KVSFX_WIN32_BIN "/unpacker.exe";
const std::string kSplash = KVSFX_WIN32_BIN "/test_splash.exe";
// Entry 0's name in the system directory; unique to this test.
const std::string kSplashName = "kvsfx_sfx_splash.exe";

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TEST(SfxWine, PackedInstallerExtractsWhatSfxExtracts) {
  const fs::path work = fs::path(KVSFX_E2E_DIR) / "sfx_pack";
  fs::remove_all(work);
  fs::create_directories(work / "target");
  TWinePrefix& prefix = TWinePrefix::Get();
  fs::remove(fs::path(prefix.System32()) / kSplashName);

  fs::copy_file(kSplash, work / kSplashName);
  WriteBytes(work / "tree" / "readme.txt", TextBytes("read me\r\n"));
  WriteBytes(work / "tree" / "bin" / "tool.dat", SampleData(90000, 2, 1));
  WriteBytes(work / "tree" / "bin" / "empty.cfg", {});
  WriteBytes(work / "tree" / "docs" / "deep" / "big.txt", SampleData(150000, 3));
  WriteBytes(work / "extra.bin", SampleData(40000, 4));

  for (const std::string method : {"good", "fast", "auto"}) {
    SCOPED_TRACE(method);
    fs::remove_all(work / "target");
    fs::remove_all(work / "native");
    fs::create_directories(work / "target");
    fs::remove(work / "splash.log");
    RunResult r = RunSfx(work, {"pack", "-q", "-m", method, "-o", "setup.exe", "--stub", kStub, kSplashName,
                                "tree", "extra.bin"});
    ASSERT_EQ(r.Exit, 0) << r.Err;
    r = RunSfx(work, {"extract", "-q", "setup.exe", "-d", "native"});
    ASSERT_EQ(r.Exit, 0) << r.Err;

    const int code = prefix.Run({(work / "setup.exe").string()}, work.string(),
                                {{"KVSFX_TEST_LOG", WindowsPath((work / "splash.log").string())},
                                 {"KVSFX_TEST_TARGET", WindowsPath((work / "target").string())},
                                 {"KVSFX_TEST_MODE", ""}});
    EXPECT_EQ(code, 0);
    const std::vector<std::string> log = Lines(work / "splash.log");
    const auto result = std::find_if(log.begin(), log.end(),
                                     [](const std::string& l) { return l.rfind("result ", 0) == 0; });
    ASSERT_NE(result, log.end()) << "the splash program got no result";
    EXPECT_EQ(result->rfind("result ok", 0), 0u) << *result;

    // Flat, as the unpacker writes: no stray files for the folder entries.
    const std::vector<std::string> expected = {"big.txt", "empty.cfg", "extra.bin", kSplashName,
                                               "readme.txt", "tool.dat"};
    EXPECT_EQ(Tree(work / "native"), expected);
    EXPECT_EQ(Tree(work / "target"), expected);
    for (const std::string& name : expected)
      EXPECT_EQ(ReadBytes(work / "target" / name), ReadBytes(work / "native" / name)) << name;
    EXPECT_EQ(ReadBytes(work / "target" / "big.txt"), ReadBytes(work / "tree" / "docs" / "deep" / "big.txt"));
    EXPECT_EQ(ReadBytes(fs::path(prefix.System32()) / kSplashName), ReadBytes(kSplash));
  }
}

}  // namespace
