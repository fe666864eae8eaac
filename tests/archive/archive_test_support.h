// Shared pieces of the archive tests: a scratch directory per test, file
// helpers, and a builder for hand-made archives whose records can hold what
// the writer would never write.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/packerunit.h"
#include "tests/support/test_files.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using testsupport::ReadBytes;
using testsupport::TextBytes;
using testsupport::WriteBytes;
// Compressible, not trivial data of the given size (differs per seed).
Bytes SampleData(std::size_t size, uint32_t seed);
// Prefix followed by the decimal number.
std::string Numbered(const char* Prefix, int N);
// The path in Windows form: every '/' becomes '\'.
std::string WinPath(const fs::path& path);

// A compressed stream holding Data as one stored LZRW1/KH block (Data must be
// shorter than 32768 bytes).
Bytes StoredStream(const Bytes& Data);

struct RawEntry {
  Bytes Data;
  std::string FileName;
  std::string SourcePath;
  std::string Signature = "KVFILEID";
};

// Stub, then each entry's Data, then the records and the count (or Count
// when given).
Bytes BuildArchive(const Bytes& Stub, const std::vector<RawEntry>& Entries,
                   std::optional<uint32_t> Count = std::nullopt);

// Every test runs in its own scratch directory with the unit's state reset,
// and ends with the unit holding no component and no stream.
class ArchiveTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& rel) const { return (dir_ / rel).string(); }
  // Writes a hand-made archive to Path(name) and answers its path.
  std::string WriteArchive(const std::string& name, const Bytes& Stub,
                           const std::vector<RawEntry>& Entries,
                           std::optional<uint32_t> Count = std::nullopt);
  // Makes the directory Path(rel) and answers its path.
  std::string MakeDir(const std::string& rel) const;
  // Every regular file below the scratch directory, relative to it.
  std::vector<std::string> FilesBelow() const;

  fs::path dir_;
};

void ExpectReferencesEmpty();
