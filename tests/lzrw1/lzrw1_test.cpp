// Tests of the compression component Tlzrw1: the stream layout it writes,
// round trips of both methods over both channel kinds, the exact progress
// sequence, Advise's sampling, and every failure path in both channel modes
// (through fault-injecting streams, the file backend's fault hook and the
// allocation hook).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lzrw1/lzrw1.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/memory.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// ------------------------------------------------------------------ data

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(size_t n) {
  static const char* words[] = {"the ",  "component ", "reads ", "a ",     "stream ",
                                "and ",  "writes ",    "blocks ", "of ",   "data\n",
                                "while ", "progress ", "is ",     "shown ", "; "};
  std::mt19937 rng(7);
  Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % std::size(words)];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

Bytes Runs(size_t n) {
  Bytes b;
  std::mt19937 rng(3);
  while (b.size() < n) b.insert(b.end(), 1 + rng() % 5000, static_cast<uint8_t>(rng()));
  b.resize(n);
  return b;
}

// Byte k drawn with weight Fibonacci(k): skewed enough that the adaptive
// Huffman code of the rare literals grows past 16 bits.
Bytes Skewed(size_t n) {
  std::vector<double> w;
  for (double a = 1, b = 1; w.size() < 24; std::tie(a, b) = std::pair(b, a + b)) w.push_back(a);
  std::discrete_distribution<int> pick(w.begin(), w.end());
  std::mt19937 rng(11);
  Bytes out(n);
  for (auto& x : out) x = static_cast<uint8_t>(pick(rng));
  return out;
}

// Pieces of programs installed on this machine.
Bytes Binary(size_t n) {
  Bytes b;
  for (const char* p : {"/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/g++", "/usr/bin/ls",
                        "/usr/bin/bash", "/bin/sh"}) {
    std::ifstream f(p, std::ios::binary);
    b.insert(b.end(), std::istreambuf_iterator<char>(f), {});
    if (b.size() >= n) break;
  }
  if (b.size() < n) {
    const Bytes pad = Random(n - b.size(), 5);
    b.insert(b.end(), pad.begin(), pad.end());
  }
  b.resize(n);
  return b;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    std::snprintf(buf, sizeof buf, "%02X ", x);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// --------------------------------------------------- streams with faults

// A memory stream that fails chosen calls and logs its reads and writes
// (with the progress reports, into one shared event log).
class FaultStream : public TMemoryStream {
public:
  using TMemoryStream::TMemoryStream;
  int failRead = -1;   // index of the Read call that answers -1
  int failWrite = -1;  // index of the Write call that answers -1
  bool failPosition = false;
  bool failSize = false;
  bool failSeekStart = false;
  int64_t fakeSize = -1;
  int reads = 0, writes = 0;
  std::vector<int64_t> seeksFromStart;
  std::vector<std::string>* log = nullptr;

  int32_t Read(void* buffer, int32_t count) override {
    if (reads++ == failRead) return -1;
    const int32_t n = TMemoryStream::Read(buffer, count);
    if (log) log->push_back("R" + std::to_string(n));
    return n;
  }
  int32_t Write(const void* buffer, int32_t count) override {
    if (writes++ == failWrite) return -1;
    const int32_t n = TMemoryStream::Write(buffer, count);
    if (log) log->push_back("W" + std::to_string(n));
    return n;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (failPosition && origin == TSeekOrigin::Current && offset == 0) return -1;
    if (origin == TSeekOrigin::Beginning) {
      seeksFromStart.push_back(offset);
      if (failSeekStart && offset == 0) return -1;
    }
    return TMemoryStream::Seek(offset, origin);
  }
  int64_t Size() override {
    if (failSize) return -1;
    return fakeSize >= 0 ? fakeSize : TMemoryStream::Size();
  }
};

// Progress reports go into the current event log as "P<read>,<written>".
std::vector<std::string>* gLog = nullptr;
Tlzrw1* gReporter = nullptr;
void RecordProgress() {
  if (gLog && gReporter)
    gLog->push_back("P" + std::to_string(gReporter->BytesRead) + "," +
                    std::to_string(gReporter->BytesWritten));
}

std::string ExceptionMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

// Every test starts with no hook, no injected fault, and a scratch folder.
class Lzrw1Test : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lzrw1_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    ProgressHook = nullptr;
    gLog = nullptr;
    gReporter = nullptr;
    InjectAllocFailure(-1);
    InjectFileReadFailure(-1);
    InjectFileWriteFailure(-1);
    fs::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
  }
  static Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }
  void Record(Tlzrw1& c) {
    gLog = &log_;
    gReporter = &c;
    ProgressHook = RecordProgress;
  }

  fs::path dir_;
  std::vector<std::string> log_;
};

// Stream-mode helpers.
Bytes CompressBytes(const Bytes& data, TCompressMode mode, int32_t* result = nullptr) {
  Tlzrw1 c;
  TMemoryStream in(data), out;
  c.UseStream = true;
  c.InputStream = &in;
  c.OutputStream = &out;
  c.CompressMode = mode;
  const int32_t r = c.Compress();
  EXPECT_FALSE(c.Failed()) << c.FailureMessage();
  EXPECT_EQ(r, static_cast<int32_t>(out.Data().size()));
  if (result) *result = r;
  return out.Data();
}

Bytes DecompressBytes(const Bytes& stream, bool* failed = nullptr) {
  Tlzrw1 c;
  TMemoryStream in(stream), out;
  c.UseStream = true;
  c.InputStream = &in;
  c.OutputStream = &out;
  c.Decompress();
  if (failed) *failed = c.Failed();
  return out.Data();
}

// The block lengths L of an LZRW1/KH stream, checking the framing as it goes.
std::vector<uint16_t> BlockLengths(const Bytes& s) {
  std::vector<uint16_t> lengths;
  size_t p = 8;
  while (p + 2 <= s.size()) {
    const uint16_t l = static_cast<uint16_t>(s[p] | s[p + 1] << 8);
    lengths.push_back(l);
    p += 2 + l;
  }
  EXPECT_EQ(p, s.size()) << "blocks do not end with the stream";
  return lengths;
}

// ------------------------------------------------------------ the object

TEST_F(Lzrw1Test, NewInstanceDefaults) {
  Tlzrw1 c;
  EXPECT_EQ(c.CompressMode, TCompressMode::Good);
  EXPECT_FALSE(c.UseStream);
  EXPECT_EQ(c.Threshold, 40);
  EXPECT_TRUE(c.InputFile.empty());
  EXPECT_TRUE(c.OutputFile.empty());
  EXPECT_EQ(c.BytesRead, 0);
  EXPECT_EQ(c.BytesWritten, 0);
  EXPECT_EQ(c.InputStream, nullptr);
  EXPECT_FALSE(c.Failed());
}

TEST_F(Lzrw1Test, OwnerDestroysComponentAndHashTableFailureRaises) {
  {
    TComponent owner;
    new Tlzrw1(&owner);  // freed by the owner (ASan checks)
  }
  InjectAllocFailure(0);
  EXPECT_EQ(ExceptionMessage([] { Tlzrw1 c; }), "LZRW1KH : no memory for HASH table");
}

// -------------------------------------------------------- stream layout

TEST_F(Lzrw1Test, FastStreamLayout) {
  struct Case {
    size_t size;
    std::vector<size_t> pieces;  // bytes per block
  };
  const Case cases[] = {
      {0, {0}},
      {1, {1}},
      {32767, {32767}},
      {32768, {32768, 0}},
      {65536, {32768, 32768, 0}},
      {65537, {32768, 32768, 1}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE("size " + std::to_string(k.size));
    const Bytes data = Random(k.size, 1);  // stored blocks: L = piece + 1
    int32_t result = 0;
    const Bytes s = CompressBytes(data, TCompressMode::Fast, &result);
    ASSERT_GE(s.size(), 8u);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 8), Cat(Str("WRZL"), Le32(uint32_t(k.size))));
    std::vector<uint16_t> expected;
    for (size_t piece : k.pieces) expected.push_back(static_cast<uint16_t>(piece + 1));
    EXPECT_EQ(BlockLengths(s), expected);
    if (k.pieces.back() <= 1) {
      // The last block is stored: 0x80, then the piece.
      EXPECT_EQ(s[s.size() - 1 - k.pieces.back()], 0x80);
    }
    EXPECT_EQ(DecompressBytes(s), data);
  }
  EXPECT_EQ(Hex(CompressBytes({}, TCompressMode::Fast)), "57 52 5A 4C 00 00 00 00 01 00 80");
}

TEST_F(Lzrw1Test, CompressReportsCountsAndEmptyGoodStream) {
  Tlzrw1 c;
  TMemoryStream in, out;
  c.UseStream = true;
  c.InputStream = &in;
  c.OutputStream = &out;
  c.CompressMode = TCompressMode::Fast;
  EXPECT_EQ(c.Compress(), 11);
  EXPECT_EQ(c.BytesRead, 0);
  EXPECT_EQ(c.BytesWritten, 11);

  const Bytes good = CompressBytes({}, TCompressMode::Good);
  ASSERT_GE(good.size(), 8u);
  EXPECT_EQ(Bytes(good.begin(), good.begin() + 8), Cat(Str("!HZL"), Le32(0)));
  // The decoder reads none of the encoder's trailing bytes and writes nothing.
  Record(c);
  c.CompressMode = TCompressMode::Fast;  // ignored by Decompress
  TMemoryStream gin(good), gout;
  c.InputStream = &gin;
  c.OutputStream = &gout;
  EXPECT_EQ(c.Decompress(), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"P8,0", "P8,0"}));
}

// ---------------------------------------------------------- round trips

struct DataCase {
  const char* name;
  Bytes (*make)();
};
const DataCase kData[] = {
    {"empty", [] { return Bytes{}; }},
    {"one byte", [] { return Bytes{0x41}; }},
    {"text 100k", [] { return Text(100000); }},
    {"binary 300k", [] { return Binary(300000); }},
    {"random 70k", [] { return Random(70000, 42); }},
    {"runs 200k", [] { return Runs(200000); }},
    {"zeros 98304", [] { return Bytes(98304, 0); }},
    {"skewed 150k", [] { return Skewed(150000); }},
};

TEST_F(Lzrw1Test, RoundTripsThroughStreams) {
  for (const DataCase& d : kData) {
    const Bytes data = d.make();
    for (TCompressMode mode : {TCompressMode::Good, TCompressMode::Fast, TCompressMode::Auto}) {
      SCOPED_TRACE(std::string(d.name) + " mode " + std::to_string(int(mode)));
      const Bytes s = CompressBytes(data, mode);
      bool failed = true;
      EXPECT_EQ(DecompressBytes(s, &failed), data);
      EXPECT_FALSE(failed);
    }
  }
}

TEST_F(Lzrw1Test, RoundTripsThroughNamedFiles) {
  for (const DataCase& d : kData) {
    const Bytes data = d.make();
    for (TCompressMode mode : {TCompressMode::Good, TCompressMode::Fast}) {
      SCOPED_TRACE(std::string(d.name) + " mode " + std::to_string(int(mode)));
      WriteFile(Path("in"), data);
      Tlzrw1 c;
      c.InputFile = Path("in");
      c.OutputFile = Path("packed");
      c.CompressMode = mode;
      const int32_t packed = c.Compress();
      EXPECT_EQ(packed, static_cast<int32_t>(fs::file_size(Path("packed"))));
      EXPECT_EQ(c.BytesRead, static_cast<int32_t>(data.size()));
      EXPECT_EQ(c.BytesWritten, packed);
      EXPECT_EQ(ReadFile(Path("packed")), CompressBytes(data, mode));
      c.InputFile = Path("packed");
      c.OutputFile = Path("out");
      EXPECT_EQ(c.Decompress(), static_cast<int32_t>(data.size()));
      EXPECT_EQ(ReadFile(Path("out")), data);
      EXPECT_FALSE(c.Failed());
    }
  }
}

// Two streams back to back in one input, as in an archive: the block reader
// stops exactly at its stream's end; the LZH reader reads ahead in batches.
TEST_F(Lzrw1Test, StreamsInsideALargerInput) {
  const Bytes a = Text(40000), b = Runs(5000);
  const Bytes fa = CompressBytes(a, TCompressMode::Fast);
  const Bytes both = Cat(fa, CompressBytes(b, TCompressMode::Good));
  Tlzrw1 c;
  TMemoryStream in(both), out;
  c.UseStream = true;
  c.InputStream = &in;
  c.OutputStream = &out;
  EXPECT_EQ(c.Decompress(), 40000);
  EXPECT_EQ(in.Position(), static_cast<int64_t>(fa.size()));
  EXPECT_EQ(out.Data(), a);
  TMemoryStream out2;
  c.OutputStream = &out2;
  EXPECT_EQ(c.Decompress(), 5000);
  EXPECT_EQ(out2.Data(), b);
  EXPECT_EQ(in.Position(), static_cast<int64_t>(both.size()));  // read ahead to the end

  // An LZH stream followed by other bytes still decodes to its own bytes.
  const Bytes lzhThenJunk = Cat(CompressBytes(a, TCompressMode::Good), Random(50000, 2));
  EXPECT_EQ(DecompressBytes(lzhThenJunk), a);
}

// ------------------------------------------------------------- progress

// Every channel transfer and every report, in order, while decompressing.
std::vector<std::string> DecompressLog(const Bytes& stream, std::vector<std::string>& log,
                                       int32_t* result) {
  Tlzrw1 c;
  FaultStream in(stream), out;
  in.log = out.log = &log;
  c.UseStream = true;
  c.InputStream = &in;
  c.OutputStream = &out;
  gLog = &log;
  gReporter = &c;
  ProgressHook = RecordProgress;
  *result = c.Decompress();
  EXPECT_FALSE(c.Failed()) << c.FailureMessage();
  ProgressHook = nullptr;
  gReporter = nullptr;
  return log;
}

TEST_F(Lzrw1Test, DecompressProgressBlockMethod) {
  const Bytes data = Text(65540);
  const Bytes s = CompressBytes(data, TCompressMode::Fast);
  const std::vector<uint16_t> l = BlockLengths(s);
  ASSERT_EQ(l.size(), 3u);
  const int r1 = 8 + 2 + l[0], r2 = r1 + 2 + l[1], r3 = r2 + 2 + l[2];
  const auto R = [](int n) { return "R" + std::to_string(n); };
  const auto P = [](int r, int w) { return "P" + std::to_string(r) + "," + std::to_string(w); };
  const std::vector<std::string> expected = {
      "R4",  "R4",  "R2",  R(l[0]), "W32768", P(r1, 32768), "R2", R(l[1]), "W32768",
      P(r2, 65536), "R2", R(l[2]), "W4", P(r3, 65540), P(r3, 65540)};
  int32_t result = 0;
  DecompressLog(s, log_, &result);
  EXPECT_EQ(log_, expected);
  EXPECT_EQ(result, 65540);
}

TEST_F(Lzrw1Test, DecompressProgressLzh) {
  struct Case {
    const char* name;
    Bytes data;
  };
  const Case cases[] = {{"text: one input batch", Text(65540)},
                        {"random: three input batches", Random(65540, 9)}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    log_.clear();
    const Bytes s = CompressBytes(k.data, TCompressMode::Good);
    const int payload = static_cast<int>(s.size()) - 8;
    // Expected: input batches of up to 32768 bytes (the last one short, then
    // a read of 0 bytes at the end as the decoder looks one byte ahead),
    // output batches of exactly 32768 bytes and a final write of the rest;
    // each transfer followed at once by a report; the run ends with two
    // equal reports.
    int32_t result = 0;
    DecompressLog(s, log_, &result);
    EXPECT_EQ(result, 65540);
    ASSERT_GE(log_.size(), 4u);
    EXPECT_EQ(log_[0], "R4");
    EXPECT_EQ(log_[1], "R4");
    int read = 8, written = 0;
    std::vector<int> writes;
    size_t i = 2;
    for (; i + 1 < log_.size() && log_[i][0] != 'P'; i += 2) {
      const int n = std::stoi(log_[i].substr(1));
      if (log_[i][0] == 'R') {
        EXPECT_LE(n, 32768);
        read += n;
      } else {
        writes.push_back(n);
        written += n;
      }
      EXPECT_EQ(log_[i + 1], "P" + std::to_string(read) + "," + std::to_string(written))
          << "after event " << i;
    }
    EXPECT_EQ(i, log_.size() - 1) << "only the closing report follows the last transfer";
    EXPECT_EQ(log_.back(), log_[log_.size() - 2]);
    EXPECT_EQ(writes, (std::vector<int>{32768, 32768, 4}));
    EXPECT_EQ(read, 8 + payload);
  }
}

// ---------------------------------------------------------------- Advise

TEST_F(Lzrw1Test, AdviseSamplesAtOneAndTwoThirds) {
  struct Case {
    const char* name;
    size_t size;
    std::vector<int64_t> seeks;  // seeks from the start, in order
    int reads;
  };
  const Case cases[] = {
      {"98303: too short, no data read", 98303, {0, 0}, 0},
      {"98304", 98304, {0, 32768, 65536, 0}, 2},
      {"30*32768+100", 30 * 32768 + 100, {0, 10 * 32768, 20 * 32768, 0}, 2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Tlzrw1 c;
    FaultStream in(Bytes(k.size, 0));
    in.Seek(0, TSeekOrigin::Beginning);
    in.seeksFromStart.clear();
    c.UseStream = true;
    c.InputStream = &in;
    c.CompressMode = TCompressMode::Fast;
    const TCompressMode result = c.Advise();
    EXPECT_EQ(in.seeksFromStart, k.seeks);
    EXPECT_EQ(in.reads, k.reads);
    EXPECT_EQ(c.CompressMode, k.reads ? TCompressMode::Fast : TCompressMode::Good);
    EXPECT_EQ(result, k.reads ? TCompressMode::Fast : TCompressMode::Good);  // zeros
  }
}

TEST_F(Lzrw1Test, AdviseThresholds) {
  // The premise of the zero-byte rows: one 32 KB zero sample packs to 38 bytes.
  TLZR lzr;
  Bytes dst(32768 + 6);
  const Bytes zeros(32768, 0);
  ASSERT_EQ(lzr.CompressBlock(zeros.data(), dst.data(), 32768), 38);

  struct Case {
    const char* name;
    Bytes data;
    int32_t threshold;
    TCompressMode expected;
  };
  const Bytes random = Random(200000, 77);
  const Case cases[] = {
      {"zeros, default", Bytes(98304, 0), 40, TCompressMode::Fast},
      {"zeros, 0", Bytes(98304, 0), 0, TCompressMode::Good},
      {"zeros, negative", Bytes(98304, 0), -5, TCompressMode::Good},
      {"zeros, 1", Bytes(98304, 0), 1, TCompressMode::Fast},
      {"random, default", random, 40, TCompressMode::Good},
      {"random, 100", random, 100, TCompressMode::Good},
      {"random, 101", random, 101, TCompressMode::Fast},
      {"random, huge", random, INT32_MAX, TCompressMode::Fast},
      {"runs, default", Runs(300000), 40, TCompressMode::Fast},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Tlzrw1 c;
    TMemoryStream in(k.data);
    c.UseStream = true;
    c.InputStream = &in;
    c.Threshold = k.threshold;
    c.CompressMode = TCompressMode::Auto;
    EXPECT_EQ(c.Advise(), k.expected);
    EXPECT_EQ(c.CompressMode, TCompressMode::Auto);  // kept on the sampled path
  }
}

TEST_F(Lzrw1Test, AdviseRestoresStreamPositionAndClosesFile) {
  Tlzrw1 c;
  TMemoryStream in(Bytes(200000, 0));
  in.Seek(12345, TSeekOrigin::Beginning);
  c.UseStream = true;
  c.InputStream = &in;
  EXPECT_EQ(c.Advise(), TCompressMode::Fast);
  EXPECT_EQ(in.Position(), 12345);

  // Named file: closed again, so Compress can open it exclusively afterwards.
  WriteFile(Path("in"), Random(100000, 4));
  Tlzrw1 f;
  f.InputFile = Path("in");
  EXPECT_EQ(f.Advise(), TCompressMode::Good);
  f.OutputFile = Path("out");
  f.CompressMode = TCompressMode::Auto;
  EXPECT_GT(f.Compress(), 100000);
}

TEST_F(Lzrw1Test, AutoCompressPicksByAdvice) {
  struct Case {
    const char* name;
    Bytes data;
    const char* signature;
    TCompressMode modeAfter;
  };
  const Case cases[] = {
      {"98303 bytes: LZH, mode becomes Good", Bytes(98303, 0), "!HZL", TCompressMode::Good},
      {"98304 zeros: blocks, stays Auto", Bytes(98304, 0), "WRZL", TCompressMode::Auto},
      {"random: LZH, stays Auto", Random(100000, 1), "!HZL", TCompressMode::Auto},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Tlzrw1 c;
    TMemoryStream in(k.data), out;
    c.UseStream = true;
    c.InputStream = &in;
    c.OutputStream = &out;
    c.CompressMode = TCompressMode::Auto;
    c.Compress();
    EXPECT_EQ(Bytes(out.Data().begin(), out.Data().begin() + 4), Str(k.signature));
    EXPECT_EQ(c.CompressMode, k.modeAfter);
    EXPECT_EQ(in.Position(), static_cast<int64_t>(k.data.size()));
    EXPECT_EQ(DecompressBytes(out.Data()), k.data);
  }
}

TEST_F(Lzrw1Test, AdviseFailures) {
  struct Case {
    const char* name;
    std::function<void(Tlzrw1&, FaultStream&)> setup;
    std::string message;
    int64_t positionAfter;  // -1: unchecked
  };
  const std::string missing = Path("missing");
  const std::string present = Path("present");
  WriteFile(present, Bytes(100000, 1));
  const Case cases[] = {
      {"buffers", [](Tlzrw1&, FaultStream&) { InjectAllocFailure(1); },
       "Lzrw1 advise : Error getting I/O buffers", 500},
      {"stream size", [](Tlzrw1&, FaultStream& s) { s.failSize = true; },
       "Lzrw1 advise : can not get size of inputstream !", 500},
      {"stream rewind", [](Tlzrw1&, FaultStream& s) { s.failSeekStart = true; },
       "Lzrw1 edvise : can not initialize the input stream!", -1},
      {"stream position", [](Tlzrw1&, FaultStream& s) { s.failPosition = true; },
       "Lzrw1 edvise : can not initialize the input stream!", -1},
      {"stream read", [](Tlzrw1&, FaultStream& s) { s.failRead = 1; },
       "Lzrw1 advise : input stream read error !", 500},
      {"null stream", [](Tlzrw1& c, FaultStream&) { c.InputStream = nullptr; },
       "Lzrw1 (de)compression : Failed to initialize input stream !", 500},
      {"missing file",
       [&](Tlzrw1& c, FaultStream&) {
         c.UseStream = false;
         c.InputFile = missing;
       },
       "Lzrw1 advise : can not get the size of : " + missing, -1},
      {"file read",
       [&](Tlzrw1& c, FaultStream&) {
         c.UseStream = false;
         c.InputFile = present;
         InjectFileReadFailure(0);
       },
       "Lzrw1 advise : read error on input file : " + present, -1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Tlzrw1 c;
    FaultStream in(Bytes(100000, 0));
    in.Seek(500, TSeekOrigin::Beginning);
    c.UseStream = true;
    c.InputStream = &in;
    k.setup(c, in);
    EXPECT_EQ(ExceptionMessage([&] { c.Advise(); }), k.message);
    EXPECT_TRUE(c.Failed());
    EXPECT_EQ(c.FailureMessage(), k.message);
    if (k.positionAfter >= 0) {
      EXPECT_EQ(in.TMemoryStream::Seek(0, TSeekOrigin::Current), 500);
    }
    InjectAllocFailure(-1);
    InjectFileReadFailure(-1);
  }
  // A failed Advise from Compress passes out unchanged (size message of
  // Advise, not of Compress).
  Tlzrw1 c;
  c.InputFile = missing;
  c.OutputFile = Path("out");
  c.CompressMode = TCompressMode::Auto;
  EXPECT_EQ(ExceptionMessage([&] { c.Compress(); }),
            "Lzrw1 advise : can not get the size of : " + missing);
  EXPECT_FALSE(fs::exists(Path("out")));
}

// ----------------------------------------------------- failure handling

// One failure, run in both channel modes. Stream faults are given by the
// FaultStream fields; the same call indices drive the file backend's hook in
// named-file mode. Messages may hold {IN} and {OUT}.
struct Fault {
  int read = -1;        // index of the failing read
  int write = -1;       // index of the failing write
  int alloc = -1;       // allocations that succeed before one fails
  bool inputPosition = false;
  bool outputPosition = false;
  bool inputSize = false;
  int64_t fakeSize = -1;
  bool nullInput = false;
  bool nullOutput = false;
  bool missingInput = false;  // named-file mode only
  bool badOutput = false;     // named-file mode only
};

struct FailureCase {
  const char* name;
  Bytes input;
  Fault fault;
  std::string streamMessage;  // empty: the row does not apply to stream mode
  std::string fileMessage;    // empty: the row does not apply to named files
  bool streamRaises;          // otherwise absorbed, with Failed() set
  int32_t streamResult;       // returned in stream mode when absorbed
  size_t streamOutput;        // bytes left in the output stream
};

std::string Fill(std::string m, const std::string& in, const std::string& out) {
  const std::pair<std::string, std::string> keys[] = {{"{IN}", in}, {"{OUT}", out}};
  for (const auto& [key, value] : keys)
    for (size_t p; (p = m.find(key)) != std::string::npos;) m.replace(p, key.size(), value);
  return m;
}

class FailureTest : public Lzrw1Test {
protected:
  void RunStream(const FailureCase& k, bool compress, TCompressMode mode) {
    SCOPED_TRACE("stream mode");
    Tlzrw1 c;
    FaultStream in(k.input), out;
    in.failRead = k.fault.read;
    in.failPosition = k.fault.inputPosition;
    in.failSize = k.fault.inputSize;
    in.fakeSize = k.fault.fakeSize;
    out.failWrite = k.fault.write;
    out.failPosition = k.fault.outputPosition;
    c.UseStream = true;
    c.InputStream = k.fault.nullInput ? nullptr : &in;
    c.OutputStream = k.fault.nullOutput ? nullptr : &out;
    c.CompressMode = mode;
    Record(c);
    InjectAllocFailure(k.fault.alloc);
    const auto run = [&] { return compress ? c.Compress() : c.Decompress(); };
    if (k.streamRaises) {
      EXPECT_EQ(ExceptionMessage([&] { run(); }), k.streamMessage);
      EXPECT_TRUE(log_.empty());
      EXPECT_EQ(out.writes, 0);
    } else {
      int32_t result = -1;
      EXPECT_NO_THROW(result = run());
      EXPECT_EQ(result, k.streamResult);
      EXPECT_EQ(out.Data().size(), k.streamOutput);
      // Decompress skips its closing report; Compress always makes it.
      if (compress) {
        ASSERT_FALSE(log_.empty());
        EXPECT_EQ(log_.back(), "P" + std::to_string(c.BytesRead) + "," + std::to_string(result));
      }
    }
    EXPECT_TRUE(c.Failed());
    EXPECT_EQ(c.FailureMessage(), k.streamMessage);
    ProgressHook = nullptr;  // c goes away with this scope
    gReporter = nullptr;
  }

  void RunFile(const FailureCase& k, bool compress, TCompressMode mode) {
    SCOPED_TRACE("named-file mode");
    const std::string in = k.fault.missingInput ? Path("absent") : Path("input");
    const std::string out = k.fault.badOutput ? Path("no/such/dir/out") : Path("output");
    if (!k.fault.missingInput) WriteFile(in, k.input);
    Tlzrw1 c;
    c.InputFile = in;
    c.OutputFile = out;
    c.CompressMode = mode;
    InjectAllocFailure(k.fault.alloc);
    InjectFileReadFailure(k.fault.read);
    InjectFileWriteFailure(k.fault.write);
    const std::string expected = Fill(k.fileMessage, in, out);
    EXPECT_EQ(ExceptionMessage([&] { compress ? c.Compress() : c.Decompress(); }), expected);
    EXPECT_TRUE(c.Failed());
    EXPECT_EQ(c.FailureMessage(), expected);
    EXPECT_FALSE(fs::exists(out)) << "partial output left behind";
    if (!k.fault.missingInput) {
      EXPECT_EQ(ReadFile(in), k.input) << "input touched";
    }
    InjectAllocFailure(-1);
    InjectFileReadFailure(-1);
    InjectFileWriteFailure(-1);
    fs::remove(in);
  }

  void RunTable(const std::vector<FailureCase>& cases, bool compress, TCompressMode mode) {
    for (const FailureCase& k : cases) {
      SCOPED_TRACE(k.name);
      log_.clear();
      if (!k.streamMessage.empty()) RunStream(k, compress, mode);
      log_.clear();
      if (!k.fileMessage.empty()) RunFile(k, compress, mode);
    }
  }
};

const std::string kReadS = "Compression Error, reading from input stream !";
const std::string kReadF = "Compression Error, reading from input file : {IN}";
const std::string kWriteS = "Compression Error, writing to output stream !";
const std::string kWriteF = "Compression Error, writing to output file : {OUT}";
const std::string kBuffers = "Lzrw1 (de)compression : Failed to get memory for I/O buffers !";
const std::string kInitIn = "Lzrw1 (de)compression : Failed to initialize input stream !";
const std::string kInitOut = "Lzrw1 (de)compression : Failed to initialize output stream !";
const std::string kOpenIn = "Lzrw1 (de)compression : Failed to open input file : {IN}";
const std::string kOpenOut = "Lzrw1 (de)compression : Failed to open output file : {OUT}";
const std::string kBlockSizes =
    "Lzrw1 (decompression LZRW1/KH) : Original and compressed sizes do not match !";
const std::string kLzhSizes =
    "Lzrw1 (LZH decompression) : Original and compressed sizes do not match !";
const std::string kLzhTables = "LZH : Cannot get memory for dictionary tables";

TEST_F(FailureTest, DecompressFailures) {
  const Bytes text = Text(70000);
  const Bytes fast = CompressBytes(text, TCompressMode::Fast);
  const Bytes good = CompressBytes(text, TCompressMode::Good);
  const std::vector<uint16_t> l = BlockLengths(fast);
  const size_t firstTwo = 8 + 2 + l[0] + 2 + l[1];
  const Bytes cutBody(fast.begin(), fast.end() - 10);
  const Bytes cutLength(fast.begin(), fast.begin() + static_cast<long>(firstTwo) + 1);
  Bytes bigger = fast;
  bigger[4] ^= 0x01;  // announces 70001 bytes
  // Ten 'a's as a literal and a match of 9; announced as 5 bytes.
  const Bytes overrun = Cat(Cat(Str("!HZL"), Le32(5)), {0xF6, 0xC9, 0x00, 0x00});
  const Bytes hugeBlock = Cat(Cat(Str("WRZL"), Le32(100)), {0xFF, 0xFF, 0x80, 1, 2, 3});
  const std::string badHeader = "{IN} : Lzrw1 decompression : this file has no valid header !";

  const std::vector<FailureCase> cases = {
      {"first buffer", fast, {.alloc = 0}, kBuffers, kBuffers, true, 0, 0},
      {"second buffer", fast, {.alloc = 1}, kBuffers, kBuffers, true, 0, 0},
      {"input position", fast, {.inputPosition = true}, kInitIn, "", true, 0, 0},
      {"output position", fast, {.outputPosition = true}, kInitOut, "", true, 0, 0},
      {"null input stream", fast, {.nullInput = true}, kInitIn, "", true, 0, 0},
      {"null output stream", fast, {.nullOutput = true}, kInitOut, "", true, 0, 0},
      {"missing input file", fast, {.missingInput = true}, "", kOpenIn, true, 0, 0},
      {"output not creatable", fast, {.badOutput = true}, "", kOpenOut, true, 0, 0},
      {"short header", Str("WR"), {}, kReadS, kReadF, false, 0, 0},
      {"no signature", Str("ZLWR\0\0\0\0"), {},
       "Lzrw1 decompression : input stream contains no valid header !", badHeader, false, 0, 0},
      {"empty input", {}, {}, kReadS, kReadF, false, 0, 0},
      {"short size field", Str("WRZL\1\0"), {}, kReadS, kReadF, false, 0, 0},
      {"block body cut short", cutBody, {}, kReadS, kReadF, false, 65536, 65536},
      {"block length cut short", cutLength, {}, kReadS, kReadF, false, 65536, 65536},
      {"blocks end before the size", bigger, {}, kBlockSizes, kBlockSizes, false, 70000, 70000},
      {"block longer than the buffer", hugeBlock, {},
       "Lzrw1 (decompression LZRW1/KH) : block longer than the I/O buffer, the stream is "
       "damaged !",
       "Lzrw1 (decompression LZRW1/KH) : block longer than the I/O buffer, the stream is "
       "damaged !",
       false, 0, 0},
      {"header read fails", fast, {.read = 0}, kReadS, kReadF, false, 0, 0},
      {"block read fails", fast, {.read = 3}, kReadS, kReadF, false, 0, 0},
      {"block write fails", fast, {.write = 1}, kWriteS, kWriteF, false, 32768, 32768},
      {"LZH final match past the size", overrun, {}, kLzhSizes, kLzhSizes, false, 10, 10},
      {"LZH batch read fails", good, {.read = 2}, kReadS + " (LZH)", kReadF + " (LZH)", false,
       0, 0},
      {"LZH flush fails", good, {.write = 1}, kWriteS, kWriteF, false, 32768, 32768},
      {"LZH tables", good, {.alloc = 2}, kLzhTables, kLzhTables, false, 0, 0},
  };
  RunTable(cases, false, TCompressMode::Good);
}

TEST_F(FailureTest, CompressFailures) {
  const Bytes text = Text(100000);
  const std::vector<uint16_t> l = BlockLengths(CompressBytes(text, TCompressMode::Fast));
  const int32_t afterOneBlock = 8 + 2 + l[0];
  const std::string kSizeS = "Lzrw1 compression : Failed to obtain the size of the input stream !";
  const std::string kSizeF = "Lzrw1 compression : Failed to obtain the size of : {IN}";
  const std::string kChanged =
      "Lzrw1 compression : the input changed size while it was compressed !";
  const int64_t twoGiB = int64_t{1} << 31;

  for (TCompressMode mode : {TCompressMode::Fast, TCompressMode::Good}) {
    SCOPED_TRACE(mode == TCompressMode::Fast ? "Fast" : "Good");
    const bool fast = mode == TCompressMode::Fast;
    const std::string suffix = fast ? " (LZRW1/KH)" : " (LZH)";
    std::vector<FailureCase> cases = {
        {"first buffer", text, {.alloc = 0}, kBuffers, kBuffers, true, 0, 0},
        {"second buffer", text, {.alloc = 1}, kBuffers, kBuffers, true, 0, 0},
        {"size query", text, {.inputSize = true}, kSizeS, "", true, 0, 0},
        {"2 GiB input", text, {.fakeSize = twoGiB}, kSizeS, "", true, 0, 0},
        {"missing input", text, {.missingInput = true}, "", kSizeF, true, 0, 0},
        {"input position", text, {.inputPosition = true}, kInitIn, "", true, 0, 0},
        {"output position", text, {.outputPosition = true}, kInitOut, "", true, 0, 0},
        {"null output stream", text, {.nullOutput = true}, kInitOut, "", true, 0, 0},
        {"output not creatable", text, {.badOutput = true}, "", kOpenOut, true, 0, 0},
        {"signature write", text, {.write = 0}, kWriteS, kWriteF, false, 0, 0},
        {"size write", text, {.write = 1}, kWriteS, kWriteF, false, 4, 4},
        {"first read", text, {.read = 0}, kReadS + suffix, kReadF + suffix, false, 8, 8},
        {"input grows after the size was taken", text, {.fakeSize = 50000}, kChanged, "",
         false, -2, 0},
    };
    if (fast) {
      cases.push_back({"second block's length write", text, {.write = 4}, kWriteS, kWriteF,
                       false, afterOneBlock, size_t(afterOneBlock)});
      cases.push_back({"second read", text, {.read = 1}, kReadS + suffix, kReadF + suffix,
                       false, afterOneBlock, size_t(afterOneBlock)});
    } else {
      cases.push_back({"LZH tables", text, {.alloc = 2}, kLzhTables, kLzhTables, false, 8, 8});
    }
    for (FailureCase& k : cases) {
      if (k.streamResult == -2) {  // the whole stream, whose header is wrong
        const Bytes whole = CompressBytes(text, mode);
        k.streamResult = static_cast<int32_t>(whole.size());
        k.streamOutput = whole.size();
      }
    }
    RunTable(cases, true, mode);
  }
}

// A named input of 2 GiB cannot be described by the 32-bit size field: it is
// refused before an output file is made (a sparse file, nothing is read).
TEST_F(Lzrw1Test, CompressRefusesTwoGiBFile) {
  const std::string in = Path("huge");
  { std::ofstream(in, std::ios::binary); }
  fs::resize_file(in, uint64_t{1} << 31);
  Tlzrw1 c;
  c.InputFile = in;
  c.OutputFile = Path("out");
  c.CompressMode = TCompressMode::Fast;
  EXPECT_EQ(ExceptionMessage([&] { c.Compress(); }),
            "Lzrw1 compression : Failed to obtain the size of : " + in);
  EXPECT_FALSE(fs::exists(Path("out")));
}

// Compressing from the middle of a stream announces the bytes actually
// compressed, so the stream decompresses again.
TEST_F(Lzrw1Test, CompressFromMidStream) {
  const Bytes data = Text(50000);
  for (TCompressMode mode : {TCompressMode::Good, TCompressMode::Fast}) {
    Tlzrw1 c;
    TMemoryStream in(data), out;
    in.Seek(20000, TSeekOrigin::Beginning);
    c.UseStream = true;
    c.InputStream = &in;
    c.OutputStream = &out;
    c.CompressMode = mode;
    c.Compress();
    EXPECT_FALSE(c.Failed()) << c.FailureMessage();
    EXPECT_EQ(DecompressBytes(out.Data()), Bytes(data.begin() + 20000, data.end()));
  }
}

TEST_F(Lzrw1Test, FailureRecordResetsAtNextOperation) {
  Tlzrw1 c;
  TMemoryStream bad(Str("nonsense")), good(CompressBytes(Text(1000), TCompressMode::Fast)), out;
  c.UseStream = true;
  c.InputStream = &bad;
  c.OutputStream = &out;
  c.Decompress();
  EXPECT_TRUE(c.Failed());
  c.InputStream = &good;
  EXPECT_EQ(c.Decompress(), 1000);
  EXPECT_FALSE(c.Failed());
  EXPECT_TRUE(c.FailureMessage().empty());
}

// A truncated LZH payload is not detected by the framing: the missing bytes
// read as zeros and decoding goes on to the announced size. Only a final
// match that runs past it is reported, and then as the size mismatch.
// A cut LZH stream stops once the decoder asks past the end of the input a
// second time, instead of decoding zero bits up to the announced size; what
// was decoded before stays written. The last byte of a stream may hold only
// padding beyond its final token: then the data is complete and decodes.
TEST_F(Lzrw1Test, TruncatedLzhPayloadStopsWithASizeMismatch) {
  const Bytes data = Text(20000);
  const Bytes whole = CompressBytes(data, TCompressMode::Good);
  for (size_t cut : {size_t{8}, size_t{9}, whole.size() / 3, whole.size() / 2, whole.size() - 2}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Tlzrw1 c;
    TMemoryStream in(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut))), out;
    c.UseStream = true;
    c.InputStream = &in;
    c.OutputStream = &out;
    const int32_t result = c.Decompress();
    EXPECT_TRUE(c.Failed());
    EXPECT_EQ(c.FailureMessage(),
              "Lzrw1 (LZH decompression) : Original and compressed sizes do not match !");
    EXPECT_LT(out.Data().size(), data.size());
    EXPECT_EQ(result, static_cast<int32_t>(out.Data().size()));
    EXPECT_TRUE(std::equal(out.Data().begin(), out.Data().end(), data.begin()))
        << "the bytes before the cut are the data's";
  }
}

// An 8-byte header announcing 2 GiB writes nothing, not 2 GiB of zero-bit
// tokens; a whole stream that ends exactly at the end of its input decodes.
TEST_F(Lzrw1Test, LzhHeaderAloneCannotInflateAndCompleteStreamsAtTheEndDecode) {
  Bytes header = {0x21, 0x48, 0x5A, 0x4C, 0xFF, 0xFF, 0xFF, 0x7F};
  Tlzrw1 c;
  TMemoryStream in(header), out;
  c.UseStream = true;
  c.InputStream = &in;
  c.OutputStream = &out;
  EXPECT_EQ(c.Decompress(), 0);
  EXPECT_TRUE(c.Failed());
  EXPECT_TRUE(out.Data().empty());

  for (const size_t size : {size_t{0}, size_t{1}, size_t{3}, size_t{100}, size_t{20000}, size_t{70000}}) {
    SCOPED_TRACE(size);
    const Bytes data = Text(size);
    TMemoryStream whole(CompressBytes(data, TCompressMode::Good)), restored;
    c.InputStream = &whole;
    c.OutputStream = &restored;
    c.Decompress();
    EXPECT_FALSE(c.Failed()) << c.FailureMessage();
    EXPECT_EQ(restored.Data(), data);
  }
}

}  // namespace
