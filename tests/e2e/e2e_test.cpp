// Real installers under Wine: the cross-built stub with entries appended by
// the archive writer, entry 0 being the test splash program, which logs what
// it sees (its command line, the unpacker's window, every progress record,
// the result). The progress records are compared with those of the same
// extraction run natively, record by record.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/packerunit.h"
#include "shell/unpacker.h"
#include "tests/support/test_files.h"
#include "wine_harness.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kStub = KVSFX_WIN32_BIN "/unpacker.exe";
const std::string kSplash = KVSFX_WIN32_BIN "/test_splash.exe";
const std::string kSplashName = "kvsfx_splash.exe";  // entry 0's name in the system directory

using testsupport::NoisyText;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

struct TEntry {
  std::string Name;
  Bytes Data;
};

// One progress record as the splash program logged it, or as the native run
// of the same extraction produced it.
struct TRecord {
  unsigned long CbData = 265;
  unsigned long DwData = 0;
  unsigned long WParam = 0;
  long BytesRead = 0;
  long BytesWritten = 0;
  unsigned Percent = 0;
  std::string Name;
  bool operator==(const TRecord&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TRecord& r) {
  return os << r.Name << " read " << r.BytesRead << " written " << r.BytesWritten << " percent "
            << r.Percent << " (cb " << r.CbData << " dw " << r.DwData << " wp " << r.WParam << ")";
}

struct TSplashLog {
  std::vector<std::string> Lines;
  std::string CommandLine, Module, X87, UnpackerLine, MessageBox;
  unsigned long Unpacker = 0;
  std::vector<TRecord> Records;
  std::vector<std::string> Results;  // "ok" or "failed", with their wParam and lParam
  std::size_t LastRecordLine = 0, ResultLine = 0;

  bool Has(const std::string& line) const {
    return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
  }
};

TSplashLog ReadLog(const fs::path& path) {
  TSplashLog log;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // written in text mode
    log.Lines.push_back(line);
    const auto rest = [&](const char* key) { return line.substr(std::strlen(key)); };
    if (line.rfind("cmdline ", 0) == 0) log.CommandLine = rest("cmdline ");
    if (line.rfind("module ", 0) == 0) log.Module = rest("module ");
    if (line.rfind("x87 ", 0) == 0) log.X87 = rest("x87 ");
    if (line.rfind("messagebox ", 0) == 0) log.MessageBox = rest("messagebox ");
    if (line.rfind("unpacker ", 0) == 0) {
      log.UnpackerLine = line;
      log.Unpacker = std::stoul(rest("unpacker "));
    }
    if (line.rfind("result ", 0) == 0) {
      log.Results.push_back(rest("result "));
      log.ResultLine = log.Lines.size();
    }
    if (line.rfind("progress ", 0) == 0) {
      TRecord r;
      int consumed = 0;
      if (std::sscanf(line.c_str(), "progress %lu %lu %lu %ld %ld %u %n", &r.CbData, &r.DwData,
                      &r.WParam, &r.BytesRead, &r.BytesWritten, &r.Percent, &consumed) >= 6) {
        r.Name = line.substr(static_cast<std::size_t>(consumed));
        log.Records.push_back(r);
        log.LastRecordLine = log.Lines.size();
      }
    }
  }
  return log;
}

// The native side: the same extraction with a hook that keeps what the
// unpacker's progress sender would send.
std::vector<TRecord>* NativeRecords = nullptr;
void KeepRecord() {
  if (!NativeRecords) return;
  int32_t read = 0, written = 0;
  GetExtractCounts(read, written);
  TRecord r;
  r.BytesRead = read;
  r.BytesWritten = written;
  r.Percent = SplashPercent(read, CurrentPackedSize);
  r.Name = CurrentFileName;
  NativeRecords->push_back(r);
}

class E2ETest : public ::testing::Test {
public:  // the case tables below arrange through the fixture
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    work_ = fs::path(KVSFX_E2E_DIR) / info->name();
    fs::remove_all(work_);
    fs::create_directories(work_ / "in");
    fs::create_directories(work_ / "target");
    prefix_ = &TWinePrefix::Get();
    fs::remove_all(fs::path(prefix_->System32()) / kSplashName);
  }

  // The installer: the stub, entry 0 the test splash program, then the
  // other entries. Answers the writer's items (with offsets).
  std::vector<TArchiveItem> Pack(const std::vector<TEntry>& others, const std::string& splashName = kSplashName) {
    TArchiveWriter writer;
    writer.AddFile(kSplash, splashName);
    for (const TEntry& e : others) {
      WriteBytes(work_ / "in" / e.Name, e.Data);
      writer.AddFile((work_ / "in" / e.Name).string(), e.Name);
    }
    writer.Write(kStub, Installer().string());
    return writer.Items();
  }

  fs::path Installer() const { return work_ / "setup.exe"; }
  fs::path LogPath() const { return work_ / "splash.log"; }
  std::string Target() const { return WindowsPath((work_ / "target").string()); }

  // Runs the installer under Wine with the splash program's settings.
  int RunInstaller(const std::string& target, const std::string& mode = "",
                   const fs::path& cwd = {}) {
    const auto start = std::chrono::steady_clock::now();
    const int code = prefix_->Run({Installer().string()}, cwd.empty() ? work_.string() : cwd.string(),
                                  {{"KVSFX_TEST_LOG", WindowsPath(LogPath().string())},
                                   {"KVSFX_TEST_TARGET", target},
                                   {"KVSFX_TEST_MODE", mode}});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::cout << "[ wine     ] installer run, all processes ended: " << took.count() << " s\n";
    return code;
  }

  // The extraction run natively on the same installer.
  std::vector<TRecord> Native() {
    std::vector<TRecord> records;
    NativeRecords = &records;
    fs::create_directories(work_ / "native");
    CatalogueLoaded = false;
    EXPECT_TRUE(ExtractAll(Installer().string(), (work_ / "native").string(), KeepRecord, false));
    NativeRecords = nullptr;
    ProgressHook = nullptr;  // the archive writer's compressions report through it too
    return records;
  }

  fs::path work_;
  TWinePrefix* prefix_ = nullptr;
};

const std::vector<TEntry>& Entries() {
  static const std::vector<TEntry> entries = {
      {"big.dat", NoisyText(150000, 2)},  // several 32 KB batches
      {"read me.txt", NoisyText(700, 3)},
      {"empty.bin", {}},
  };
  return entries;
}

// Sets the packed size that the catalogue gives an entry, which only the
// progress percentage uses.
void SetPackedSize(const fs::path& installer, std::size_t index, std::size_t count, uint32_t size) {
  Bytes bytes = ReadBytes(installer);
  const std::size_t record = bytes.size() - 4 - sizeof(TPackEntry) * (count - index);
  uint32_t start;
  std::memcpy(&start, &bytes[record + 16], 4);
  const uint32_t end = start + size;
  std::memcpy(&bytes[record + 20], &end, 4);
  WriteBytes(installer, bytes);
}

TEST_F(E2ETest, InstallsEverythingAndReportsEveryRecord) {
  Pack(Entries());
  // 32776 bytes read of a packed size of 27200 is exactly 120.5 percent as a
  // fraction, but 121 in extended precision.
  SetPackedSize(Installer(), 1, 1 + Entries().size(), 27200);
  const std::vector<TRecord> expected = Native();

  EXPECT_EQ(RunInstaller(Target()), 0);

  // Entry 0 went to the system directory and was started from there.
  const std::string sys = "C:\\windows\\system32\\" + kSplashName;
  EXPECT_EQ(ReadBytes(fs::path(prefix_->System32()) / kSplashName), ReadBytes(kSplash));
  const TSplashLog log = ReadLog(LogPath());
  EXPECT_EQ(log.CommandLine, sys + " /Splash");
  EXPECT_EQ(log.Module, sys);
  std::cout << "[ wine     ] x87 control word left by the runtime: " << log.X87 << "\n";
  // The unpacker's window: its class, its style (Windows adds
  // WS_CLIPSIBLINGS, 0x04000000, to every overlapped window), never visible.
  char className[64] = "";
  unsigned long style = 0;
  int visible = -1;
  ASSERT_EQ(std::sscanf(log.UnpackerLine.c_str(), "unpacker %*s class=%63s style=%lx visible=%d",
                        className, &style, &visible),
            3)
      << log.UnpackerLine;
  EXPECT_STREQ(className, "Window1");
  EXPECT_EQ(style & ~0x04000000ul, 0xCF0000ul);
  EXPECT_EQ(visible, 0);

  // Every file, byte for byte.
  EXPECT_EQ(ReadBytes(work_ / "target" / kSplashName), ReadBytes(kSplash));
  for (const TEntry& e : Entries()) EXPECT_EQ(ReadBytes(work_ / "target" / e.Name), e.Data) << e.Name;

  // Every record as the native run made it, sent to the splash window with
  // the unpacker's handle, 265 bytes, dwData 0.
  ASSERT_FALSE(expected.empty());
  std::vector<TRecord> want = expected;
  for (TRecord& r : want) r.WParam = log.Unpacker;
  EXPECT_EQ(log.Records, want);
  bool sawTie = false;
  for (const TRecord& r : log.Records)
    if (r.Name == "big.dat" && r.BytesRead == 32776) {
      EXPECT_EQ(r.Percent, 121u);
      sawTie = true;
    }
  EXPECT_TRUE(sawTie);

  // The result, once, after the last record; then the request returned.
  EXPECT_EQ(log.Results, std::vector<std::string>{"ok 0 0"});
  EXPECT_GT(log.ResultLine, log.LastRecordLine);
  EXPECT_EQ(log.Lines.back(), "returned");
}

TEST_F(E2ETest, WithoutATargetDirectoryFilesGoToTheRootOfTheCurrentDrive) {
  Pack(Entries());
  const fs::path root = work_ / "k-root";
  fs::create_directories(root / "cwd");
  prefix_->MapDrive('k', root.string());

  EXPECT_EQ(RunInstaller("", "nocopydata", root / "cwd"), 0);

  const TSplashLog log = ReadLog(LogPath());
  EXPECT_TRUE(log.Has("copydata skipped"));
  EXPECT_EQ(log.Results, std::vector<std::string>{"ok 0 0"});
  EXPECT_EQ(ReadBytes(root / kSplashName), ReadBytes(kSplash));
  for (const TEntry& e : Entries()) EXPECT_EQ(ReadBytes(root / e.Name), e.Data) << e.Name;
}

TEST_F(E2ETest, RequestsSentDuringTheExtractionAreIgnored) {
  Pack(Entries());

  EXPECT_EQ(RunInstaller(Target(), "nested"), 0);

  const TSplashLog log = ReadLog(LogPath());
  EXPECT_TRUE(log.Has("nested sent"));
  EXPECT_EQ(log.Results, std::vector<std::string>{"ok 0 0"});
  for (const TEntry& e : Entries()) EXPECT_EQ(ReadBytes(work_ / "target" / e.Name), e.Data) << e.Name;
  EXPECT_FALSE(fs::exists(prefix_->Path() + "/drive_c/kvsfx-nested-target"));
}

// Failures after start-up: UM_EXTRACT_FAILED, exit code 0, later entries
// not attempted.
TEST_F(E2ETest, ExtractionFailuresAreReported) {
  struct TCase {
    const char* Name;
    // Spoils the installer or the target; answers the target.
    std::function<std::string(E2ETest&, const std::vector<TArchiveItem>&)> Arrange;
    std::vector<std::string> Reported;  // entries with progress records
  };
  const std::vector<TCase> cases = {
      {"target directory missing",
       [](E2ETest& t, const std::vector<TArchiveItem>&) {
         return WindowsPath((t.work_ / "missing").string());
       },
       {}},
      {"a directory where a file goes",
       [](E2ETest& t, const std::vector<TArchiveItem>&) {
         fs::create_directory(t.work_ / "target" / "read me.txt");
         return t.Target();
       },
       {kSplashName, "big.dat"}},
      {"damaged entry",
       [](E2ETest& t, const std::vector<TArchiveItem>& items) {
         Bytes bytes = ReadBytes(t.Installer());
         bytes[items[2].StartOffset] ^= 0x55;  // the stream's signature
         WriteBytes(t.Installer(), bytes);
         return t.Target();
       },
       {kSplashName, "big.dat"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    SetUp();
    const std::string target = c.Arrange(*this, Pack(Entries()));

    EXPECT_EQ(RunInstaller(target), 0);

    const TSplashLog log = ReadLog(LogPath());
    EXPECT_EQ(log.Results, std::vector<std::string>{"failed 0 0"});
    std::vector<std::string> reported;
    for (const TRecord& r : log.Records)
      if (reported.empty() || reported.back() != r.Name) reported.push_back(r.Name);
    EXPECT_EQ(reported, c.Reported);
    EXPECT_FALSE(fs::exists(work_ / "target" / "empty.bin"));
  }
}

TEST_F(E2ETest, NoCatalogueEndsAtOnceWithZero) {
  Pack(Entries());
  Bytes bytes = ReadBytes(Installer());
  std::fill(bytes.end() - 4, bytes.end(), 0);
  WriteBytes(Installer(), bytes);

  EXPECT_EQ(RunInstaller(Target()), 0);

  EXPECT_FALSE(fs::exists(fs::path(prefix_->System32()) / kSplashName));
  EXPECT_FALSE(fs::exists(LogPath()));  // nothing launched
  EXPECT_TRUE(fs::is_empty(work_ / "target"));
}

// Errors of the first extraction: a message box with the error's text, exit
// code 1, nothing launched. The message box waits for a user; the test
// splash program, started alongside with /Dismiss, reads and closes it.
TEST_F(E2ETest, StartUpErrorsShowAMessageBoxAndExitWithOne) {
  struct TCase {
    const char* Name;
    std::string SplashName;
    std::function<void(E2ETest&, const std::vector<TArchiveItem>&)> Arrange;
    std::string Text;
  };
  const std::vector<TCase> cases = {
      {"file not creatable", "kvsfx_blocked.exe",
       [](E2ETest& t, const std::vector<TArchiveItem>&) {
         fs::create_directories(fs::path(t.prefix_->System32()) / "kvsfx_blocked.exe");
       },
       "Error|Cannot create file C:\\windows\\system32\\kvsfx_blocked.exe"},
      {"damaged entry 0", kSplashName,
       [](E2ETest& t, const std::vector<TArchiveItem>& items) {
         Bytes bytes = ReadBytes(t.Installer());
         bytes[items[0].StartOffset] ^= 0x55;
         WriteBytes(t.Installer(), bytes);
       },
       "Error|Cannot extract " + kSplashName},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    SetUp();
    const auto items = Pack(Entries(), c.SplashName);
    c.Arrange(*this, items);
    const fs::path dismissLog = work_ / "dismiss.log";
    const pid_t dismisser = prefix_->Start({kSplash, "/Dismiss"}, work_.string(),
                                           {{"KVSFX_TEST_LOG", WindowsPath(dismissLog.string())}});

    EXPECT_EQ(RunInstaller(Target()), 1);

    prefix_->Wait(dismisser);
    const TSplashLog log = ReadLog(dismissLog);
    EXPECT_EQ(log.MessageBox.substr(0, c.Text.size()), c.Text) << log.MessageBox;
    EXPECT_FALSE(fs::exists(LogPath()));  // nothing launched
    fs::remove_all(fs::path(prefix_->System32()) / "kvsfx_blocked.exe");
  }
}

}  // namespace
