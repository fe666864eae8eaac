#include "archive_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/fault_injection.h"
#include "platform/memory.h"

Bytes SampleData(std::size_t size, uint32_t seed) {
  // Words from a small vocabulary picked by an LCG: repetitive enough to
  // compress, irregular enough to exercise both codecs.
  static const char* const words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ",
                                      "zeta ",  "eta ",  "theta ", "iota\n",  "kappa "};
  Bytes out;
  out.reserve(size);
  uint32_t x = seed * 2654435761u + 12345u;
  while (out.size() < size) {
    x = x * 1664525u + 1013904223u;
    const char* w = words[(x >> 16) % 10];
    for (; *w && out.size() < size; ++w) out.push_back(static_cast<uint8_t>(*w));
    if ((x & 0xFF) == 7 && out.size() < size) out.push_back(static_cast<uint8_t>(x >> 24));
  }
  return out;
}

std::string Numbered(const char* Prefix, int N) {
  std::string s = Prefix;
  s += std::to_string(N);
  return s;
}

std::string WinPath(const fs::path& path) {
  std::string s = path.string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

Bytes StoredStream(const Bytes& Data) {
  const uint32_t n = static_cast<uint32_t>(Data.size());
  const uint32_t l = n + 1;
  Bytes s = {'W', 'R', 'Z', 'L'};
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(n >> (8 * i)));
  s.push_back(static_cast<uint8_t>(l));
  s.push_back(static_cast<uint8_t>(l >> 8));
  s.push_back(0x80);
  s.insert(s.end(), Data.begin(), Data.end());
  return s;
}

Bytes BuildArchive(const Bytes& Stub, const std::vector<RawEntry>& Entries,
                   std::optional<uint32_t> Count) {
  Bytes out = Stub;
  std::vector<TPackEntry> records(Entries.size());
  for (std::size_t i = 0; i < Entries.size(); ++i) {
    TPackEntry& r = records[i];
    std::memset(&r, 0, sizeof r);
    SetCountedString(r.Signature, SignatureCapacity, Entries[i].Signature);
    r.StartOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), Entries[i].Data.begin(), Entries[i].Data.end());
    r.EndOffset = static_cast<uint32_t>(out.size());
    SetCountedString(r.FileName, FileNameCapacity, Entries[i].FileName);
    SetCountedString(r.SourcePath, SourcePathCapacity, Entries[i].SourcePath);
  }
  const auto* p = reinterpret_cast<const uint8_t*>(records.data());
  out.insert(out.end(), p, p + records.size() * sizeof(TPackEntry));
  const uint32_t n = Count.value_or(static_cast<uint32_t>(Entries.size()));
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
  return out;
}

void ArchiveTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  dir_ = fs::temp_directory_path() / (std::string("kvsfx_archive_") + std::to_string(::getpid()) + "_" + name);
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  std::memset(&PackCatalogue, 0, sizeof PackCatalogue);
  CatalogueLoaded = false;
  CurrentFileName.clear();
  CurrentPackedSize = 0;
  ProgressHook = nullptr;
}

void ArchiveTest::TearDown() {
  InjectFileReadFailure(-1);
  InjectFileWriteFailure(-1);
  InjectAllocFailure(-1);
  ExpectReferencesEmpty();
  ProgressHook = nullptr;
  fs::remove_all(dir_);
}

std::string ArchiveTest::WriteArchive(const std::string& name, const Bytes& Stub,
                                      const std::vector<RawEntry>& Entries,
                                      std::optional<uint32_t> Count) {
  WriteBytes(dir_ / name, BuildArchive(Stub, Entries, Count));
  return Path(name);
}

std::string ArchiveTest::MakeDir(const std::string& rel) const {
  fs::create_directories(dir_ / rel);
  return (dir_ / rel).string();
}

std::vector<std::string> ArchiveTest::FilesBelow() const {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir_))
    if (!e.is_directory()) out.push_back(fs::relative(e.path(), dir_).string());
  std::sort(out.begin(), out.end());
  return out;
}

void ExpectReferencesEmpty() {
  EXPECT_EQ(Decompressor, nullptr);
  EXPECT_EQ(ArchiveStream, nullptr);
  EXPECT_EQ(EntryFile, nullptr);
}
