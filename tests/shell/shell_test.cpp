// The unpacker's shell on the portable window backend. The test plays the
// world around the unpacker: it packs real installers with the archive
// writer, plays the splash program (a window "fSplashScreen" of its own,
// messages sent to "fUnpackerForm" from the idle handler of the message
// loop), and reads what the unpacker launched, wrote and showed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/packerunit.h"
#include "platform/window.h"
#include "platform/window_portable.h"
#include "shell/splash_protocol.h"
#include "shell/unpacker.h"
#include "shell/x87.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

using testsupport::NoisyText;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

struct TEntry {
  std::string Name;
  Bytes Data;
};

// One message that reached the splash window.
struct TSplashEvent {
  uint32_t Message = 0;
  TWParam WParam = 0;
  TLParam LParam = 0;
  uint32_t CbData = 0;
  std::uintptr_t DwData = 0;
  TSplashProgress Record{};
  std::string Name;
};

// The splash program's window, played by the test.
class TSplashStandIn {
public:
  static inline TSplashStandIn* Current = nullptr;
  std::vector<TSplashEvent> Events;
  std::function<void(const TSplashEvent&)> OnProgress;

  TSplashStandIn() { Current = this; }
  ~TSplashStandIn() { Current = nullptr; }

  void CreateWindow() {
    const TWindowClass c{0, Proc, 0, 0, 0, 0, 0, "TestSplash"};
    RegisterWindowClass(c);
    window_ = CreateTopLevelWindow(0, "TestSplash", KVSFX_SPLASH_WINDOW, 0, 0, 0, 10, 10);
    ASSERT_NE(window_, nullptr);
  }

  std::vector<TSplashEvent> Progress() const {
    std::vector<TSplashEvent> out;
    for (const auto& e : Events)
      if (e.Message == WmCopyData) out.push_back(e);
    return out;
  }

private:
  static TLResult KVSFX_WINAPI Proc(TWindowHandle w, uint32_t message, TWParam wParam,
                                    TLParam lParam) {
    TSplashEvent e;
    e.Message = message;
    e.WParam = wParam;
    e.LParam = lParam;
    if (message == WmCopyData) {
      const auto* data = reinterpret_cast<const TCopyData*>(lParam);
      e.CbData = data->cbData;
      e.DwData = data->dwData;
      std::memcpy(&e.Record, data->lpData, std::min<std::size_t>(data->cbData, sizeof e.Record));
      e.Name.assign(reinterpret_cast<const char*>(e.Record.FileName + 1), e.Record.FileName[0]);
    }
    Current->Events.push_back(e);
    if (message == WmCopyData && Current->OnProgress) Current->OnProgress(e);
    return message == WmCopyData ? 1 : DefaultWindowProc(w, message, wParam, lParam);
  }
  TWindowHandle window_ = nullptr;
};

void SendTarget(const std::string& target) {
  Bytes text(1 + target.size());
  text[0] = static_cast<uint8_t>(target.size());
  std::memcpy(text.data() + 1, target.data(), target.size());
  TCopyData data{0, static_cast<uint32_t>(text.size()), text.data()};
  SendWindowMessage(FindWindowByName(KVSFX_UNPACKER_WINDOW), WmCopyData, 0,
                    reinterpret_cast<TLParam>(&data));
}

class ShellTest : public ::testing::Test {
public:  // the case tables below arrange through the fixture
  void SetUp() override {
    static int serial = 0;
    dir_ = fs::temp_directory_path() /
           ("kvsfx_shell_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "in");
    fs::create_directories(dir_ / "out");
    ResetPortableWindows();
    UseSystemDir(dir_ / "sys");
    // A fresh process has no catalogue loaded and no progress hook.
    CatalogueLoaded = false;
    ProgressHook = nullptr;
  }
  void TearDown() override {
    ResetPortableWindows();
    fs::remove_all(dir_);
  }

  void UseSystemDir(const fs::path& dir) {
    systemDir_ = dir;
    fs::create_directories(dir);
    SetSystemDirectory(dir.string());
  }

  // Packs an installer (stub bytes, entries, catalogue) and makes it the
  // running program.
  fs::path Pack(const std::vector<TEntry>& entries) {
    const fs::path stub = dir_ / "stub.bin";
    Bytes stubBytes = NoisyText(1500, 99);
    stubBytes[0] = 'M';
    stubBytes[1] = 'Z';
    WriteBytes(stub, stubBytes);
    TArchiveWriter writer;
    for (const TEntry& e : entries) {
      WriteBytes(dir_ / "in" / e.Name, e.Data);
      writer.AddFile((dir_ / "in" / e.Name).string(), e.Name);
    }
    const fs::path installer = dir_ / "setup.exe";
    writer.Write(stub.string(), installer.string());
    items_ = writer.Items();
    SetModuleFileName(installer.string());
    return installer;
  }

  // Plays the splash program once the unpacker waits in its message loop:
  // window, target directory (unless told not to), extract-all request.
  void PlaySplash(TSplashStandIn& splash, const std::string& target, bool sendTarget = true) {
    SetIdleHandler([this, &splash, target, sendTarget, done = false]() mutable {
      if (done) return false;
      done = true;
      launchesAtWait_ = Launches();
      filesAtWait_ = FilesIn(systemDir_);
      unpackerVisibleAtWait_ = WindowIsVisible(FindWindowByName(KVSFX_UNPACKER_WINDOW));
      splash.CreateWindow();
      if (sendTarget) SendTarget(target);
      SendWindowMessage(FindWindowByName(KVSFX_UNPACKER_WINDOW), UM_EXTRACT_ALL, 0, 0);
      return true;
    });
  }

  static std::vector<std::string> FilesIn(const fs::path& dir) {
    std::vector<std::string> names;
    if (fs::exists(dir))
      for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  int32_t PackedSize(std::size_t index) const {
    return static_cast<int32_t>(items_[index].EndOffset - items_[index].StartOffset);
  }

  std::string Out() const { return (dir_ / "out").string(); }

  fs::path dir_;
  fs::path systemDir_;
  std::vector<TArchiveItem> items_;
  std::vector<TLaunchRecord> launchesAtWait_;
  std::vector<std::string> filesAtWait_;
  bool unpackerVisibleAtWait_ = true;
};

const std::vector<TEntry>& ThreeEntries() {
  static const std::vector<TEntry> entries = {
      {"splash.exe", NoisyText(5000, 1)},
      {"big.dat", NoisyText(100000, 2)},  // several 32 KB batches
      {"readme.txt", NoisyText(300, 3)},
  };
  return entries;
}

// ---- start-up ---------------------------------------------------------------

TEST_F(ShellTest, StartUpWritesOnlyEntryZeroToTheSystemDirectoryAndLaunchesIt) {
  Pack(ThreeEntries());
  TSplashStandIn splash;
  PlaySplash(splash, Out());
  const std::string existing = (systemDir_ / "splash.exe").string();
  WriteBytes(existing, NoisyText(20000, 7));  // an older, longer file is overwritten

  EXPECT_EQ(UnpackerMain(), 0);

  // While the unpacker waits: one file written, one launch, window hidden.
  EXPECT_EQ(filesAtWait_, std::vector<std::string>{"splash.exe"});
  ASSERT_EQ(launchesAtWait_.size(), 1u);
  EXPECT_EQ(launchesAtWait_[0].CommandLine, systemDir_.string() + "\\splash.exe /Splash");
  EXPECT_EQ(launchesAtWait_[0].ShowMode, SwShow);
  EXPECT_FALSE(unpackerVisibleAtWait_);
  EXPECT_EQ(SystemDir, launchesAtWait_[0].CommandLine);
  EXPECT_EQ(ReadBytes(systemDir_ / "splash.exe"), ThreeEntries()[0].Data);
  EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(ShellTest, LaunchPathWithABlankIsQuoted) {
  UseSystemDir(dir_ / "Program Files" / "sys dir");
  Pack(ThreeEntries());
  TSplashStandIn splash;
  PlaySplash(splash, Out());

  EXPECT_EQ(UnpackerMain(), 0);

  ASSERT_EQ(Launches().size(), 1u);
  EXPECT_EQ(Launches()[0].CommandLine, "\"" + systemDir_.string() + "\\splash.exe\" /Splash");
  EXPECT_EQ(ReadBytes(systemDir_ / "splash.exe"), ThreeEntries()[0].Data);
}

// Every way out of start-up before the message loop.
TEST_F(ShellTest, StartUpFailures) {
  struct TCase {
    const char* Name;
    std::function<void(ShellTest&)> Arrange;
    int ExitCode;
    bool MessageBox;   // "Cannot create file <path>" or the extraction's message
    bool FileWritten;  // something named splash.exe in the system directory
  };
  const std::vector<TCase> cases = {
      {"system directory missing",
       [](ShellTest& t) {
         t.Pack(ThreeEntries());
         SetSystemDirectory((t.dir_ / "no such dir").string());
         t.systemDir_ = t.dir_ / "no such dir";
       },
       1, true, false},
      {"a directory where the file goes",
       [](ShellTest& t) {
         t.Pack(ThreeEntries());
         fs::create_directory(t.systemDir_ / "splash.exe");
       },
       1, true, true},
      {"damaged entry 0",
       [](ShellTest& t) {
         const fs::path installer = t.Pack(ThreeEntries());
         Bytes bytes = ReadBytes(installer);
         bytes[t.items_[0].StartOffset] ^= 0x55;  // the stream's signature
         WriteBytes(installer, bytes);
       },
       1, true, true},
      {"last four bytes zero",
       [](ShellTest& t) {
         const fs::path installer = t.Pack(ThreeEntries());
         Bytes bytes = ReadBytes(installer);
         std::fill(bytes.end() - 4, bytes.end(), 0);
         WriteBytes(installer, bytes);
       },
       0, false, false},
      {"own file missing", [](ShellTest&) { SetModuleFileName("/nonexistent/setup.exe"); }, 0,
       false, false},
      {"class registration fails",
       [](ShellTest& t) {
         t.Pack(ThreeEntries());
         FailNextRegisterClass();
       },
       0, false, false},
      {"window creation fails",
       [](ShellTest& t) {
         t.Pack(ThreeEntries());
         FailNextCreateWindow();
       },
       0, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TearDown();
    SetUp();
    c.Arrange(*this);

    EXPECT_EQ(UnpackerMain(), c.ExitCode);

    EXPECT_TRUE(Launches().empty());
    EXPECT_EQ(fs::exists(systemDir_ / "splash.exe"), c.FileWritten);
    ASSERT_EQ(MessageBoxes().size(), c.MessageBox ? 1u : 0u);
    if (c.MessageBox) {
      EXPECT_NE(MessageBoxes()[0].find("splash.exe"), std::string::npos);
    }
  }
}

TEST_F(ShellTest, UncreatableFileShowsTheFullPath) {
  Pack(ThreeEntries());
  const std::string sys = (dir_ / "missing").string();
  SetSystemDirectory(sys);

  EXPECT_EQ(UnpackerMain(), 1);

  ASSERT_EQ(MessageBoxes().size(), 1u);
  EXPECT_EQ(MessageBoxes()[0], "Cannot create file " + sys + "\\splash.exe");
}

// ---- the splash protocol ----------------------------------------------------

TEST_F(ShellTest, ExtractAllReportsEveryBufferThenTheResultThenQuits) {
  const auto& entries = ThreeEntries();
  Pack(entries);
  TSplashStandIn splash;
  PlaySplash(splash, Out());

  EXPECT_EQ(UnpackerMain(), 0);

  for (const TEntry& e : entries) EXPECT_EQ(ReadBytes(dir_ / "out" / e.Name), e.Data) << e.Name;
  // The result comes once, after the last progress record.
  ASSERT_GE(splash.Events.size(), 2u);
  EXPECT_EQ(splash.Events.back().Message, static_cast<uint32_t>(UM_EXTRACT_OK));
  EXPECT_EQ(splash.Events.back().WParam, 0u);
  EXPECT_EQ(splash.Events.back().LParam, 0);
  const auto progress = splash.Progress();
  EXPECT_EQ(progress.size() + 1, splash.Events.size());

  // Records come entry by entry, in catalogue order; each one complete.
  const TWParam unpacker = reinterpret_cast<TWParam>(MainWindow);
  std::size_t entry = 0;
  int32_t lastRead = -1;
  int32_t lastWritten = -1;
  for (const auto& p : progress) {
    if (p.Name != entries[entry].Name) {
      // The entry before is complete at its last record.
      EXPECT_EQ(lastWritten, static_cast<int32_t>(entries[entry].Data.size()));
      ++entry;
      ASSERT_LT(entry, entries.size());
      ASSERT_EQ(p.Name, entries[entry].Name);
      lastRead = lastWritten = -1;
    }
    EXPECT_EQ(p.CbData, 265u);
    EXPECT_EQ(p.DwData, 0u);
    EXPECT_EQ(p.WParam, unpacker);
    EXPECT_GE(p.Record.BytesRead, lastRead);
    EXPECT_GE(p.Record.BytesWritten, lastWritten);
    lastRead = p.Record.BytesRead;
    lastWritten = p.Record.BytesWritten;
    const long double exact =
        std::nearbyint(static_cast<long double>(p.Record.BytesRead) / PackedSize(entry) * 100.0L);
    EXPECT_EQ(p.Record.Percent, static_cast<uint8_t>(static_cast<int64_t>(exact) & 0xFF));
  }
  EXPECT_EQ(entry, entries.size() - 1);
  EXPECT_EQ(lastWritten, static_cast<int32_t>(entries.back().Data.size()));
  // The big entry is reported batch by batch.
  EXPECT_GE(std::count_if(progress.begin(), progress.end(),
                          [](const TSplashEvent& e) { return e.Name == "big.dat"; }),
            4);
}

TEST_F(ShellTest, OutputThatCannotBeCreatedReportsFailureAndStillExitsWithZero) {
  struct TCase {
    const char* Name;
    std::function<std::string(ShellTest&)> Target;  // answers the target directory
    std::vector<std::string> Extracted;              // entries reported before the failure
  };
  const std::vector<TCase> cases = {
      {"target directory missing", [](ShellTest& t) { return (t.dir_ / "nowhere").string(); }, {}},
      {"a directory where entry 1 goes",
       [](ShellTest& t) {
         fs::create_directory(t.dir_ / "out" / "big.dat");
         return t.Out();
       },
       {"splash.exe"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TearDown();
    SetUp();
    Pack(ThreeEntries());
    TSplashStandIn splash;
    PlaySplash(splash, c.Target(*this));

    EXPECT_EQ(UnpackerMain(), 0);

    ASSERT_FALSE(splash.Events.empty());
    EXPECT_EQ(splash.Events.back().Message, static_cast<uint32_t>(UM_EXTRACT_FAILED));
    std::vector<std::string> reported;
    for (const auto& p : splash.Progress())
      if (reported.empty() || reported.back() != p.Name) reported.push_back(p.Name);
    EXPECT_EQ(reported, c.Extracted);
    EXPECT_FALSE(fs::exists(dir_ / "out" / "readme.txt"));  // later entries are not tried
  }
}

TEST_F(ShellTest, DamagedEntryReportsFailure) {
  const fs::path installer = Pack(ThreeEntries());
  TSplashStandIn splash;
  // Start-up reads entry 0 only; entry 1 is damaged before the extract-all
  // request reads it.
  SetIdleHandler([&, done = false]() mutable {
    if (done) return false;
    done = true;
    Bytes bytes = ReadBytes(installer);
    bytes[items_[1].StartOffset] ^= 0x55;  // the stream's signature
    WriteBytes(installer, bytes);
    splash.CreateWindow();
    SendTarget(Out());
    SendWindowMessage(FindWindowByName(KVSFX_UNPACKER_WINDOW), UM_EXTRACT_ALL, 0, 0);
    return true;
  });

  EXPECT_EQ(UnpackerMain(), 0);

  ASSERT_FALSE(splash.Events.empty());
  EXPECT_EQ(splash.Events.back().Message, static_cast<uint32_t>(UM_EXTRACT_FAILED));
  EXPECT_EQ(ReadBytes(dir_ / "out" / "splash.exe"), ThreeEntries()[0].Data);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "readme.txt"));
}

TEST_F(ShellTest, RequestsArrivingDuringTheExtractionAreIgnored) {
  const auto& entries = ThreeEntries();
  Pack(entries);
  TSplashStandIn splash;
  const std::string other = (dir_ / "other").string();
  int nested = 0;
  splash.OnProgress = [&](const TSplashEvent&) {
    if (nested++ == 0) {
      SendTarget(other);
      SendWindowMessage(FindWindowByName(KVSFX_UNPACKER_WINDOW), UM_EXTRACT_ALL, 0, 0);
    }
  };
  PlaySplash(splash, Out());

  EXPECT_EQ(UnpackerMain(), 0);

  // One run, to the first target, with one result.
  int results = 0;
  for (const auto& e : splash.Events) results += e.Message != WmCopyData;
  EXPECT_EQ(results, 1);
  EXPECT_EQ(splash.Events.back().Message, static_cast<uint32_t>(UM_EXTRACT_OK));
  for (const TEntry& e : entries) EXPECT_EQ(ReadBytes(dir_ / "out" / e.Name), e.Data) << e.Name;
  EXPECT_FALSE(fs::exists(other));
  // The new target only counts for a later request.
  EXPECT_EQ(TargetDir, other);
}

TEST_F(ShellTest, ExtractionGoesOnWithoutASplashWindow) {
  Pack(ThreeEntries());
  SetIdleHandler([this, done = false]() mutable {
    if (done) return false;
    done = true;
    SendTarget(Out());
    SendWindowMessage(FindWindowByName(KVSFX_UNPACKER_WINDOW), UM_EXTRACT_ALL, 0, 0);
    return true;
  });

  EXPECT_EQ(UnpackerMain(), 0);

  for (const TEntry& e : ThreeEntries()) EXPECT_EQ(ReadBytes(dir_ / "out" / e.Name), e.Data);
}

TEST_F(ShellTest, ClosingTheWindowWhileWaitingQuitsWithZeroAndNoResult) {
  Pack(ThreeEntries());
  TSplashStandIn splash;
  SetIdleHandler([&, done = false]() mutable {
    if (done) return false;
    done = true;
    splash.CreateWindow();
    // Through the message loop: dispatch, default handling, WM_DESTROY.
    PostWindowMessage(FindWindowByName(KVSFX_UNPACKER_WINDOW), WmClose, 0, 0);
    return true;
  });

  EXPECT_EQ(UnpackerMain(), 0);

  EXPECT_TRUE(splash.Events.empty());
  EXPECT_EQ(FindWindowByName(KVSFX_UNPACKER_WINDOW), nullptr);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "big.dat"));
}

// The target directory as a WM_COPYDATA gives it: the counted string, read
// no further than the data reach.
TEST_F(ShellTest, TargetDirectoryFromCopyData) {
  struct TCase {
    const char* Name;
    Bytes Data;
    int32_t CbData;  // -1: the data's size
    bool NullData;
    std::string Expected;
  };
  const Bytes normal = {5, 'C', ':', '\\', 'O', 'u', 'x', 'y'};
  const std::vector<TCase> cases = {
      {"counted string", normal, -1, false, "C:\\Ou"},
      {"length 0", {0, 'a', 'b'}, -1, false, ""},
      {"no data", {}, 0, true, ""},
      {"cbData 0", normal, 0, false, ""},
      {"shorter than its length byte", {200, 'a', 'b', 'c'}, -1, false, "abc"},
      {"cbData cuts the text", normal, 3, false, "C:"},
      {"255 characters", [] {
         Bytes b(256, 'x');
         b[0] = 255;
         return b;
       }(), -1, false, std::string(255, 'x')},
  };
  MainWindow = nullptr;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TargetDir = "previous";
    // A canary after the data: reading it would put '!' into the result.
    Bytes buffer = c.Data;
    buffer.insert(buffer.end(), 8, '!');
    TCopyData data{7, static_cast<uint32_t>(c.CbData < 0 ? c.Data.size() : c.CbData),
                   c.NullData ? nullptr : buffer.data()};
    EXPECT_EQ(MainWndProc(nullptr, WmCopyData, 0, reinterpret_cast<TLParam>(&data)), 0);
    EXPECT_EQ(TargetDir, c.Expected);
  }
}

// ---- the record -------------------------------------------------------------

extern "C" std::size_t SplashRecordLayoutFromC(std::size_t field);

// The record goes byte for byte to another program, which may be written in
// C: FileName at 0, BytesRead at 256, BytesWritten at 260, Percent at 264,
// 265 bytes in all, in both languages.
TEST(SplashRecord, LayoutInCAndCxx) {
  const std::size_t cxx[] = {offsetof(TSplashProgress, FileName),
                             offsetof(TSplashProgress, BytesRead),
                             offsetof(TSplashProgress, BytesWritten),
                             offsetof(TSplashProgress, Percent), sizeof(TSplashProgress)};
  const std::size_t expected[] = {0, 256, 260, 264, 265};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(cxx[i], expected[i]) << i;
    EXPECT_EQ(SplashRecordLayoutFromC(i), expected[i]) << i;
  }
}

// ---- the percentage ---------------------------------------------------------

struct TPercentCase {
  int32_t Read;
  int32_t Packed;
  uint8_t Percent;
};

// Exact ties as fractions (47/40 * 100 = 117.5) come out of the extended
// quotient a hair off the tie, so they do not round to the even neighbour as
// exact arithmetic would (118), nor as double precision would (118).
const TPercentCase kPercentCases[] = {
    {1, 8, 12},           // 12.5: tie to even
    {3, 8, 38},           // 37.5
    {1, 3, 33},           // 33.33...
    {32776, 9106, 104},   // 359.94 -> 360, low 8 bits
    {47, 40, 117},        // exact 117.5 -> 118; extended 117.4999... -> 117
    {81, 40, 203},        // exact 202.5 -> 202; extended 202.5000...1 -> 203
    {32776, 27200, 121},  // exact 120.5 -> 120; extended -> 121
    {0, 100, 0},
    {50, 100, 50},
    {100, 100, 100},
    {256, 100, 0},        // 256 wraps
    {INT32_MAX, 1, static_cast<uint8_t>((int64_t{INT32_MAX} * 100) & 0xFF)},
    {10, 0, 0},           // no packed size: nothing to divide by
    {10, -4, 0},
};

TEST(SplashPercent, Table) {
  for (const auto& c : kPercentCases)
    EXPECT_EQ(SplashPercent(c.Read, c.Packed), c.Percent) << c.Read << " / " << c.Packed;
}

#if defined(KVSFX_HAVE_X87)
// A runtime may leave the x87 unit at double precision or another rounding
// mode; the result must not change, and the caller's setting must survive.
TEST(SplashPercent, IndependentOfTheCallersX87Setting) {
  const uint16_t original = X87ControlWord();
  for (uint16_t bits : {uint16_t{0x0000}, X87Precision53, uint16_t{0x0800}, uint16_t{0x0E00}}) {
    const uint16_t cw =
        static_cast<uint16_t>((original & ~(X87PrecisionMask | X87RoundingMask)) | bits);
    SetX87ControlWord(cw);
    for (const auto& c : kPercentCases) {
      const uint8_t percent = SplashPercent(c.Read, c.Packed);
      const uint16_t after = X87ControlWord();
      SetX87ControlWord(original);
      EXPECT_EQ(percent, c.Percent) << c.Read << " / " << c.Packed << " with " << std::hex << cw;
      EXPECT_EQ(after, cw);
      SetX87ControlWord(cw);
    }
  }
  SetX87ControlWord(original);
}
#endif

}  // namespace
