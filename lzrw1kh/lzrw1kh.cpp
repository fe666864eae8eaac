#include "lzrw1kh/lzrw1kh.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "platform/memory.h"

namespace {

// Block string layout (all multi-byte fields big-endian).
constexpr uint8_t FlagCompressed = 0x40;
constexpr uint8_t FlagStored = 0x80;
constexpr uint32_t FirstControlSlot = 1;  // right after the flag byte
constexpr uint32_t ControlWordSize = 2;
constexpr uint32_t FirstItemOffset = FirstControlSlot + ControlWordSize;
constexpr uint32_t ItemsPerGroup = 16;
constexpr uint16_t CopyFlag = 0x8000;  // control bit of the group's next item

// Match item: distance * 16 + (length - MinMatch) in one word.
constexpr uint32_t MatchItemSize = 2;
constexpr uint32_t MinMatch = 3;
constexpr uint32_t MaxMatch = 18;
constexpr uint32_t MaxDistance = 4095;

// Run item: 0, (count - MinRun) as a word, the byte. A decoder can meet counts
// up to 0x0FFF + MinRun; the compressor writes at most MaxRunWritten.
constexpr uint32_t RunItemSize = 4;
constexpr uint32_t MinRun = 16;
constexpr uint32_t MaxRunWritten = 4095;

// The compressor checks for room only before an item: one step may then add a
// new control word and the largest item past the stored form's length.
static_assert(TLZR::CompressSlack == ControlWordSize + RunItemSize);

// Decoded lengths are reported as 16-bit values.
constexpr uint32_t MaxDecodedLength = 0xFFFF;

inline uint16_t LoadBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline void StoreBE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

TLZR::TLZR() {
  HashTable = static_cast<uint16_t*>(AllocMem(HashSlots * sizeof(uint16_t)));
  if (!HashTable) throw ELzrw1KHCompressor("LZRW1KH : no memory for HASH table");
  // CompressBlock clears the table itself; this only gives ProbeMatch on a
  // fresh instance a defined start.
  std::fill_n(HashTable, HashSlots, EmptySlot);
}

TLZR::~TLZR() { FreeMem(HashTable); }

bool TLZR::ProbeMatch(const uint8_t* source, uint16_t p, uint16_t n, uint16_t& matchPos,
                      uint16_t& matchLen) {
  assert(p < n);
  const uint32_t left = n - p;
  // Near the end the missing bytes hash as 0: no match can start there, since
  // the length is bounded by what is left, so the slot written is never used.
  const uint16_t h = Hash(source[p], left > 1 ? source[p + 1] : 0, left > 2 ? source[p + 2] : 0);
  const uint16_t e = HashTable[h];
  HashTable[h] = p;
  // An empty slot (65535) is never below p, so e < p also rules it out.
  if (e >= p || uint32_t(p) - e > MaxDistance) return false;

  const uint32_t limit = std::min(MaxMatch, left);
  uint32_t len = 0;
  while (len < limit && source[p + len] == source[e + len]) ++len;  // may overlap p
  if (len < MinMatch) return false;
  matchPos = e;
  matchLen = static_cast<uint16_t>(len);
  return true;
}

uint16_t TLZR::CompressBlock(const uint8_t* source, uint8_t* dest, uint16_t n) {
  assert(n <= MaxBlock);
  std::fill_n(HashTable, HashSlots, EmptySlot);

  dest[0] = FlagCompressed;
  uint32_t control = FirstControlSlot;  // where the current group's control word goes
  uint32_t y = FirstItemOffset;
  uint32_t x = 0;
  uint32_t items = 0;  // in the current group
  uint16_t flags = 0;  // older groups' bits drop off the top as new ones enter

  // Stop as soon as the output has outgrown the input: the stored form follows.
  while (x < n && y <= n) {
    if (items == ItemsPerGroup) {
      StoreBE16(dest + control, flags);
      control = y;
      y += ControlWordSize;
      items = 0;
    }

    const uint8_t b = source[x];
    const uint32_t runLimit = std::min(MaxRunWritten, n - x);
    uint32_t run = 1;
    while (run < runLimit && source[x + run] == b) ++run;

    uint16_t matchPos = 0;
    uint16_t matchLen = 0;
    if (run >= MinRun) {
      // The table is neither probed nor updated at the start of a run.
      const uint32_t count = run - MinRun;
      dest[y] = 0;
      StoreBE16(dest + y + 1, count);
      dest[y + 3] = b;
      y += RunItemSize;
      x += run;
      flags = static_cast<uint16_t>((flags << 1) | 1);
    } else if (ProbeMatch(source, static_cast<uint16_t>(x), n, matchPos, matchLen)) {
      StoreBE16(dest + y, ((x - matchPos) << 4) | (matchLen - MinMatch));
      y += MatchItemSize;
      x += matchLen;
      flags = static_cast<uint16_t>((flags << 1) | 1);
    } else {
      dest[y++] = b;
      ++x;
      flags = static_cast<uint16_t>(flags << 1);
    }
    ++items;
  }

  // Move the last group's bits to the top; missing items read as literals.
  StoreBE16(dest + control, static_cast<uint32_t>(flags) << (ItemsPerGroup - items));
  if (y <= n) return static_cast<uint16_t>(y);  // as long as the input still counts

  dest[0] = FlagStored;
  std::copy_n(source, n, dest + 1);
  return static_cast<uint16_t>(n + 1);
}

uint16_t TLZR::DecompressBlock(const uint8_t* source, uint8_t* dest, uint16_t n,
                               uint32_t destCapacity) {
  if (n <= 1) return 0;
  const uint32_t capacity = std::min(destCapacity, MaxDecodedLength);

  if (source[0] == FlagStored) {
    const uint32_t len = std::min<uint32_t>(n - 1u, capacity);
    std::copy_n(source + 1, len, dest);
    return static_cast<uint16_t>(len);
  }

  // Any other flag byte means the compressed form. Every item is checked
  // against what is left of the source and of the destination before it is
  // copied; one that does not fit ends decoding with what was decoded so far.
  if (n < FirstItemOffset) return 0;
  uint16_t flags = LoadBE16(source + FirstControlSlot);
  uint32_t bitsLeft = ItemsPerGroup;
  uint32_t x = FirstItemOffset;
  uint32_t y = 0;
  while (x < n) {
    if (bitsLeft == 0) {
      if (n - x < ControlWordSize) break;
      flags = LoadBE16(source + x);
      x += ControlWordSize;
      bitsLeft = ItemsPerGroup;
      continue;  // a control word at the very end has no item behind it
    }

    if (flags & CopyFlag) {
      if (n - x < MatchItemSize) break;
      const uint32_t distance = (uint32_t(source[x]) << 4) | (source[x + 1] >> 4);
      if (distance != 0) {
        const uint32_t len = (source[x + 1] & 15u) + MinMatch;
        if (distance > y || len > capacity - y) break;
        // Byte by byte in ascending order: a distance shorter than the length
        // repeats the last `distance` bytes.
        const uint8_t* from = dest + (y - distance);
        uint8_t* to = dest + y;
        for (uint32_t i = 0; i < len; ++i) to[i] = from[i];
        x += MatchItemSize;
        y += len;
      } else {
        if (n - x < RunItemSize) break;
        const uint32_t count = LoadBE16(source + x + 1) + MinRun;
        if (count > capacity - y) break;
        std::memset(dest + y, source[x + 3], count);
        x += RunItemSize;
        y += count;
      }
    } else {
      if (y == capacity) break;
      dest[y++] = source[x++];
    }
    flags = static_cast<uint16_t>(flags << 1);
    --bitsLeft;
  }
  return static_cast<uint16_t>(y);
}
