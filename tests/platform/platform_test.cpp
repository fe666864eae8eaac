#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/exception.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/stream.h"

namespace fs = std::filesystem;

class PlatformFiles : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kvsfx_platform_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(PlatformFiles, CreateWriteReadSeekAndSize) {
  const int32_t h = FileCreate(Path("a.bin"));
  ASSERT_GE(h, 0);
  EXPECT_EQ(FileWrite(h, "hello", 5), 5);
  EXPECT_EQ(FileSeek(h, 1, 0), 1);
  char buf[8] = {};
  EXPECT_EQ(FileRead(h, buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "ello");
  FileClose(h);
  EXPECT_EQ(FileSizeByName(Path("a.bin")), 5);
  EXPECT_TRUE(DeleteFile(Path("a.bin")));
  EXPECT_LT(FileSizeByName(Path("a.bin")), 0);
  EXPECT_LT(FileOpen(Path("a.bin"), fmOpenRead), 0);
}

TEST_F(PlatformFiles, WindowsStylePathsAreMappedToNativeOnes) {
  const std::string winPath = Path("sub") + "\\x.dat";
  EXPECT_TRUE(CreateDir(Path("sub")));
  EXPECT_FALSE(CreateDir(Path("sub")));  // already there
  const int32_t h = FileCreate(winPath);
  ASSERT_GE(h, 0);
  FileClose(h);
  EXPECT_TRUE(fs::exists(dir_ / "sub" / "x.dat"));
}

TEST_F(PlatformFiles, DirectoriesAreNotFiles) {
  EXPECT_LT(FileOpen(dir_.string(), fmOpenRead), 0);
}

TEST_F(PlatformFiles, FileStreamThrowsTheRuntimeMessages) {
  const std::string missing = Path("missing.bin");
  try {
    TFileStream s(missing, fmOpenRead | fmShareDenyNone);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + missing);
  }
  const std::string bad = Path("no/such/dir/x.bin");
  try {
    TFileStream s(bad, fmCreate);
    FAIL() << "created a file in a missing directory";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + bad);
  }
}

TEST(MemoryStream, ReadWriteSeekSize) {
  TMemoryStream m;
  EXPECT_EQ(m.Write("abcdef", 6), 6);
  EXPECT_EQ(m.Size(), 6);
  EXPECT_EQ(m.Position(), 6);
  EXPECT_EQ(m.Seek(2, TSeekOrigin::Beginning), 2);
  char buf[10] = {};
  EXPECT_EQ(m.Read(buf, 10), 4);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  EXPECT_EQ(m.Read(buf, 10), 0);
  EXPECT_LT(m.Seek(-1, TSeekOrigin::Beginning), 0);
  EXPECT_EQ(m.Seek(-2, TSeekOrigin::End), 4);
}

TEST(Memory, InjectedFailureHitsTheChosenAllocationOnly) {
  InjectAllocFailure(1);
  void* a = AllocMem(16);
  void* b = AllocMem(16);
  void* c = AllocMem(16);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  FreeMem(a);
  FreeMem(c);
}
