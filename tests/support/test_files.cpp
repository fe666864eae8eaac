#include "tests/support/test_files.h"

#include <fstream>
#include <iterator>

namespace testsupport {

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes NoisyText(std::size_t size, uint32_t seed) {
  Bytes data(size);
  uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = (x & 3) ? static_cast<uint8_t>('a' + i % 23) : static_cast<uint8_t>(x >> 24);
  }
  return data;
}

}  // namespace testsupport
