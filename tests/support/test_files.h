// Helpers shared by the test programs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// The whole file; empty when it cannot be read.
Bytes ReadBytes(const std::filesystem::path& path);
// Replaces the file's contents with data.
void WriteBytes(const std::filesystem::path& path, const Bytes& data);
Bytes TextBytes(const std::string& text);
// Text-like runs with noise: data that the LZH method compresses a little.
// The same size and seed give the same bytes.
Bytes NoisyText(std::size_t size, uint32_t seed);

}  // namespace testsupport
