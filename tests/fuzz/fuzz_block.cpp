// Fuzz target: TLZR::DecompressBlock on arbitrary block strings.
//
// Each input is decoded into exact-size heap destinations of two fixed
// capacities (the component's I/O buffer, and a small one that makes the
// capacity checks bite often), so AddressSanitizer sees any write past the
// end. The result must stay within the capacity and must equal what a plain
// byte-at-a-time decoder of the block format produces, bytes included; that
// catches a fast path that decodes differently from the careful one. Then the
// first 32768 bytes of the input go through CompressBlock and back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "lzrw1kh/lzrw1kh.h"

namespace {

// The component's I/O buffer size, and a capacity well below one block.
constexpr uint32_t kCapacities[] = {32784, 100};

// The block format decoded one item at a time. A malformed item (cut off by
// the end of the source, reaching before the start of the output, or not
// fitting the destination) ends decoding before it, as does a control word
// cut off by the end; a stored block is cut to the destination.
std::vector<uint8_t> ReferenceDecode(const uint8_t* s, uint32_t n, uint32_t capacity) {
  std::vector<uint8_t> out;
  capacity = std::min<uint32_t>(capacity, 0xFFFF);
  if (n <= 1) return out;
  if (s[0] == 0x80) {
    out.assign(s + 1, s + 1 + std::min(n - 1, capacity));
    return out;
  }
  if (n < 3) return out;
  uint32_t flags = uint32_t{s[1]} << 8 | s[2];
  int bitsLeft = 16;
  uint32_t x = 3;
  while (x < n) {
    if (bitsLeft == 0) {
      if (n - x < 2) break;
      flags = uint32_t{s[x]} << 8 | s[x + 1];
      x += 2;
      bitsLeft = 16;
      continue;
    }
    if (flags & 0x8000) {
      if (n - x < 2) break;
      const uint32_t d = uint32_t{s[x]} << 4 | s[x + 1] >> 4;
      if (d != 0) {
        const uint32_t len = (s[x + 1] & 15u) + 3;
        if (d > out.size() || len > capacity - out.size()) break;
        for (uint32_t i = 0; i < len; ++i) out.push_back(out[out.size() - d]);
        x += 2;
      } else {
        if (n - x < 4) break;
        const uint32_t count = (uint32_t{s[x + 1]} << 8 | s[x + 2]) + 16;
        if (count > capacity - out.size()) break;
        out.insert(out.end(), count, s[x + 3]);
        x += 4;
      }
    } else {
      if (out.size() == capacity) break;
      out.push_back(s[x++]);
    }
    flags = (flags << 1) & 0xFFFF;
    --bitsLeft;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A block string's length is a 16-bit value; the source is the input itself
  // (libFuzzer hands it over in an exact-size heap copy).
  const auto n = static_cast<uint16_t>(std::min<size_t>(size, 0xFFFF));

  for (const uint32_t capacity : kCapacities) {
    const std::unique_ptr<uint8_t[]> dest(new uint8_t[capacity]);
    const uint16_t got = TLZR::DecompressBlock(data, dest.get(), n, capacity);
    FUZZ_CHECK(got <= capacity);
    const std::vector<uint8_t> want = ReferenceDecode(data, n, capacity);
    FUZZ_CHECK(got == want.size());
    FUZZ_CHECK(std::equal(want.begin(), want.end(), dest.get()));
  }

  // Any piece of up to a block compresses into at most n + 1 bytes (the
  // destination has the documented slack and no more) and decodes back.
  const auto piece = static_cast<uint16_t>(std::min<size_t>(size, TLZR::MaxBlock));
  const std::unique_ptr<uint8_t[]> packed(new uint8_t[piece + TLZR::CompressSlack]);
  TLZR codec;
  const uint16_t packedLength = codec.CompressBlock(data, packed.get(), piece);
  FUZZ_CHECK(packedLength >= 1 && packedLength <= piece + 1u);
  const std::unique_ptr<uint8_t[]> back(new uint8_t[std::max<uint16_t>(piece, 1)]);
  const uint16_t backLength = TLZR::DecompressBlock(packed.get(), back.get(), packedLength, piece);
  FUZZ_CHECK(backLength == piece);
  FUZZ_CHECK(std::equal(data, data + piece, back.get()));
  return 0;
}
