// Pieces of the sfx tests: running the binary, scratch folders, and archives
// made byte by byte so that they can hold what the writer never writes.
#pragma once
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "lzrw1/lzrw1.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct RunResult {
  int Exit = -1;  // exit status, or 128 + signal
  std::string Out;
  std::string Err;
};

// Runs the sfx binary with Args in Dir; stdin is empty. Env entries
// "NAME=value" are added to the environment.
RunResult RunSfx(const fs::path& Dir, const std::vector<std::string>& Args,
                 const std::vector<std::string>& Env = {});

Bytes ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const Bytes& data);
void WriteText(const fs::path& path, const std::string& text);
Bytes TextBytes(const std::string& text);
// Data of the given size: Kind 0 compressible text, 1 random bytes.
Bytes SampleData(std::size_t size, uint32_t seed, int kind = 0);

// The smallest file the PE check accepts: "MZ", e_lfanew = 64, "PE\0\0",
// machine i386.
Bytes MinimalPe();

// One compressed stream of Data made by the component.
Bytes CompressedStream(const Bytes& Data, TCompressMode Mode);

struct RawEntry {
  RawEntry(Bytes data, std::string fileName, std::string sourcePath = {},
           std::optional<uint32_t> start = {}, std::optional<uint32_t> end = {})
      : Data(std::move(data)), FileName(std::move(fileName)), SourcePath(std::move(sourcePath)),
        Start(start), End(end) {}
  Bytes Data;  // the entry's packed bytes (placed back to back)
  std::string FileName;
  std::string SourcePath;
  // Offsets to store instead of the real ones.
  std::optional<uint32_t> Start, End;
};
// Stub, the entries' data, their 428-byte records and the count (or Count).
Bytes BuildArchive(const Bytes& Stub, const std::vector<RawEntry>& Entries,
                   std::optional<uint32_t> Count = std::nullopt);

// A catalogue record as read back from an archive's bytes.
struct Record {
  uint32_t Start = 0, End = 0;
  std::string FileName, SourcePath, Signature;
};
std::vector<Record> ReadRecords(const Bytes& Archive);

// Every regular file and folder below Dir, relative, sorted; folders end in '/'.
std::vector<std::string> Tree(const fs::path& Dir);

class SfxTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  fs::path P(const std::string& rel) const { return dir_ / rel; }
  RunResult Sfx(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {}) {
    return RunSfx(dir_, Args, Env);
  }
  // Writes the stub file "stub.exe" and the splash program "setup.exe".
  void MakeStubAndSplash();
  fs::path dir_;
};
