#include "sfx_test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "archive/packerunit.h"
#include "platform/stream.h"

namespace {

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void PutLe32(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const Bytes& b, std::size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
  return v;
}

void PutCounted(Bytes& b, std::size_t at, std::size_t capacity, const std::string& text) {
  const std::size_t n = std::min(text.size(), capacity);
  b[at] = static_cast<uint8_t>(n);
  std::memcpy(b.data() + at + 1, text.data(), n);
}

std::string GetCounted(const Bytes& b, std::size_t at, std::size_t capacity) {
  const std::size_t n = std::min<std::size_t>(b[at], capacity);
  return std::string(reinterpret_cast<const char*>(b.data() + at + 1), n);
}

}  // namespace

RunResult RunSfx(const fs::path& Dir, const std::vector<std::string>& Args,
                 const std::vector<std::string>& Env) {
  const fs::path out = Dir / ".sfx-stdout";
  const fs::path err = Dir / ".sfx-stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(Dir.c_str()) != 0) _exit(126);
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    for (const std::string& kv : Env) putenv(const_cast<char*>(kv.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(SFX_BINARY));
    for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(SFX_BINARY, argv.data());
    _exit(127);
  }
  RunResult r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.Out = Slurp(out);
  r.Err = Slurp(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

Bytes ReadBytes(const fs::path& path) {
  const std::string s = Slurp(path);
  return Bytes(s.begin(), s.end());
}

void WriteBytes(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteText(const fs::path& path, const std::string& text) { WriteBytes(path, TextBytes(text)); }

Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes SampleData(std::size_t size, uint32_t seed, int kind) {
  std::mt19937 rng(seed);
  Bytes b(size);
  if (kind == 1) {
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    return b;
  }
  static const char* const words[] = {"setup ", "file ", "folder ", "install ", "data\n", "0123 "};
  std::size_t i = 0;
  while (i < size) {
    const char* w = words[rng() % 6];
    for (; *w && i < size; ++w) b[i++] = static_cast<uint8_t>(*w);
  }
  return b;
}

Bytes MinimalPe() {
  Bytes b(64 + 24, 0);
  b[0] = 'M';
  b[1] = 'Z';
  PutLe32(b, 60, 64);
  std::memcpy(b.data() + 64, "PE\0\0", 4);
  b[68] = 0x4C;
  b[69] = 0x01;
  return b;
}

Bytes CompressedStream(const Bytes& Data, TCompressMode Mode) {
  TMemoryStream in(Data);
  TMemoryStream out;
  Tlzrw1 c(nullptr);
  c.UseStream = true;
  c.CompressMode = Mode;
  c.InputStream = &in;
  c.OutputStream = &out;
  c.Compress();
  EXPECT_FALSE(c.Failed()) << c.FailureMessage();
  return out.Data();
}

Bytes BuildArchive(const Bytes& Stub, const std::vector<RawEntry>& Entries,
                   std::optional<uint32_t> Count) {
  Bytes out = Stub;
  std::vector<std::pair<uint32_t, uint32_t>> offsets;
  for (const RawEntry& e : Entries) {
    const uint32_t start = static_cast<uint32_t>(out.size());
    out.insert(out.end(), e.Data.begin(), e.Data.end());
    offsets.emplace_back(e.Start.value_or(start), e.End.value_or(static_cast<uint32_t>(out.size())));
  }
  for (std::size_t i = 0; i < Entries.size(); ++i) {
    Bytes r(sizeof(TPackEntry), 0);
    PutCounted(r, 0, 15, "KVFILEID");
    PutLe32(r, 16, offsets[i].first);
    PutLe32(r, 20, offsets[i].second);
    PutCounted(r, 24, 200, Entries[i].FileName);
    PutCounted(r, 225, 202, Entries[i].SourcePath.empty() ? Entries[i].FileName : Entries[i].SourcePath);
    out.insert(out.end(), r.begin(), r.end());
  }
  Bytes count(4);
  PutLe32(count, 0, Count.value_or(static_cast<uint32_t>(Entries.size())));
  out.insert(out.end(), count.begin(), count.end());
  return out;
}

std::vector<Record> ReadRecords(const Bytes& Archive) {
  std::vector<Record> records;
  if (Archive.size() < 4) return records;
  const uint32_t n = GetLe32(Archive, Archive.size() - 4);
  if (n > 501 || Archive.size() < 4 + 428ull * n) return records;
  const std::size_t first = Archive.size() - 4 - 428 * n;
  for (uint32_t i = 0; i < n; ++i) {
    const std::size_t at = first + 428 * i;
    records.push_back({GetLe32(Archive, at + 16), GetLe32(Archive, at + 20),
                       GetCounted(Archive, at + 24, 200), GetCounted(Archive, at + 225, 202),
                       GetCounted(Archive, at, 15)});
  }
  return records;
}

std::vector<std::string> Tree(const fs::path& Dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(Dir)) {
    std::string rel = fs::relative(e.path(), Dir).string();
    if (e.is_directory()) rel += "/";
    found.push_back(rel);
  }
  std::sort(found.begin(), found.end());
  return found;
}

void SfxTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  dir_ = fs::temp_directory_path() / ("sfx_tests_" + std::to_string(getpid())) / name;
  fs::remove_all(dir_);
  fs::create_directories(dir_);
}

void SfxTest::TearDown() {
  if (HasFailure()) return;
  fs::remove_all(dir_);
  std::error_code ec;
  fs::remove(dir_.parent_path(), ec);  // only once the last test left it empty
}

void SfxTest::MakeStubAndSplash() {
  Bytes stub = MinimalPe();
  const Bytes tail = TextBytes("rest of the stub image");
  stub.insert(stub.end(), tail.begin(), tail.end());
  WriteBytes(P("stub.exe"), stub);
  WriteBytes(P("setup.exe"), SampleData(3000, 1));
}
